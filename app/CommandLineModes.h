#pragma once
// What the program does from its command line without a window: the help,
// the version, a wrong command line, and zipping into --output. The window
// program and its Windows console companion (quillbarrow.com) both start
// here, so both answer a command line alike.
#include "core/CommandLine.h"

#include <QString>
#include <cstdio>

// The command line the program was started with, its list file read (a list
// that cannot be read makes it a wrong command line).
CommandLine ReadProgramCommandLine(int argc, char *argv[]);

// Runs what `line` asks for, which is not the window: the exit code.
int RunWithoutWindow(const CommandLine &line, int argc, char *argv[]);

// The organisation, name and version the settings and messages go by.
void SetApplicationNames();

// Writes text to standard output or standard error, as the console shows it.
void PrintTo(std::FILE *stream, const QString &text);
