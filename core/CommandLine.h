#pragma once
// What the program was asked to do on its command line:
//
//   quillbarrow                          the window
//   quillbarrow FOLDER...                the window, with the folders listed
//   quillbarrow --output DIR FOLDER...   no window: zip each folder into DIR
//   quillbarrow --beside FOLDER...       no window: zip each folder into its parent
//   quillbarrow --list FILE ...          folders read from FILE, one per line
//   quillbarrow --help | --version
//
// Parsing needs no application object, so the program can tell before it
// makes one whether it needs a display at all.
#include <QString>
#include <QStringList>

struct CommandLine {
    enum class Action { Window, Zip, Help, Version, BadUsage };
    Action action = Action::Window;
    // The folders named on the line, in order, as full paths (relative ones
    // taken from the current folder), then those of the list file.
    QStringList folders;
    // The output folder as given (see ResolveOutputFolder); Action::Zip only,
    // and empty with `beside`.
    QString outputFolder;
    bool beside = false; // --beside: each archive goes into its folder's parent
    bool notify = false; // --notify: the outcome told in a desktop notification too
    QString listFile; // as given; "-" is standard input
    bool quiet = false;
    bool followLinks = false; // --follow-links: links out of a folder are followed
    QString error; // Action::BadUsage: what was wrong, one line
};

// Exit codes of the command line.
enum CommandLineExit {
    kExitAllZipped = 0, // every archive written, with everything in it
    kExitSomeFailed = 1, // a folder missing or not archived in full
    kExitBadUsage = 2, // the command line itself was wrong
    kExitSignalBase = 128, // stopped by a signal: 128 + its number (130 for Ctrl+C)
};

// The options and arguments `arguments` (the program's name first) ask for.
// The folders of a list file are not read here (see ReadFolderList).
CommandLine ParseCommandLine(const QStringList &arguments);

// The help text: usage, options, exit codes.
QString CommandLineHelp();

// Reads the list file: one folder per line, as full paths or relative to the
// current folder. Blank lines and lines starting with "#" are skipped; a
// carriage return before the line end is dropped. Names are taken byte for
// byte (FileNameFromNative). On failure returns false and says why in
// `error`, with the system's own text; a list that names no folder, holds a
// line over 64 KiB or is larger than 64 MiB is a failure too.
bool ReadFolderList(const QString &listFile, QStringList &folders, QString &error);

// The program's arguments as text without loss: names that are not valid
// UTF-8 keep their bytes (FileNameFromNative); on Windows they come from the
// UTF-16 command line.
QStringList ArgumentsFromNative(int argc, const char *const *argv);

// A folder as given on the command line, as a full path resolved as the
// system resolves it (ResolvedFolderPath); a path it cannot resolve stays as
// given, made absolute, and is then found missing. Empty, with why in
// `error`, for a relative path when the working folder cannot be told.
QString FullFolderPath(const QString &given, QString *error = nullptr);
