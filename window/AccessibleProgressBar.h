#pragma once
// The progress bar as a screen reader meets it: its name and its value are
// the text it shows ("Progress Bar", "Processing: Trip", "Adding folders:
// 12,345"); its numbers are those of the bar.

// Makes every TextProgressBar answer so. Safe to call more than once; call
// it before the first bar is shown.
void InstallAccessibleProgressBar();
