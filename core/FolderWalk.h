#pragma once
// The folder walk.
#include "core/Yield.h"
#include <QStringList>

// Appends to `out` every folder below `root` (which ends in a separator):
// each full path ending in exactly one native separator, with doubled
// separators cleaned, every folder after all of its descendants, siblings
// together in the directory's own listing order. The root itself is never
// appended; entries already in `out` stay in front. Hidden folders (and, on
// Windows, system folders) and everything below them are passed over; a
// folder that cannot be listed contributes nothing. Links to folders
// elsewhere are followed, but no folder is entered twice in one walk; a link
// to the root, to a folder holding the walked tree, into the walked tree
// itself or onto a system pseudo file system is not followed, and is named
// as "PATH -> TARGET: link not followed, REASON" in `linksLeftOut` when given.
// Names that are not valid UTF-8 come through FileNameFromNative, losslessly.
//
// With `recurse` false only the immediate sub-folders are appended.
// `yield` runs once after each listing is opened, once before each listed
// entry is examined, and once before each append to `out`.
void CollectSubFolders(const QString &root, QStringList &out, bool recurse = true,
                       const Yield &yield = ProcessPendingEvents,
                       QStringList *linksLeftOut = nullptr);
