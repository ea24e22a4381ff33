#pragma once
// Helpers of start-up: the program's folder, the desktop folder, the
// application title.
#include <QString>
#include <functional>

inline const QString kProductTitle = QStringLiteral("Quillbarrow");

// True when the path's time stamp can be read. Never fails.
bool FileExists(const QString &path);

// The user's desktop folder (the XDG user-dirs setting on Linux) followed by
// one native separator; the home folder when the desktop folder does not
// exist. Throws QbError when the desktop's location cannot be had.
QString GetDesktopFolder();

// Replaces where GetDesktopFolder asks for the desktop (tests); an empty
// answer means the location is not known. nullptr restores the system's.
void SetDesktopLocatorForTesting(std::function<QString()> locator);

// The product title cut before its last blank, repeated while it is longer
// than 40 characters (at least one cut). A title without a blank stays as it is.
QString ApplicationTitleFor(const QString &productTitle);

// Makes ApplicationTitleFor(kProductTitle) the application title.
void SetApplicationTitle();

// The title every message box without a title of its own carries.
QString ApplicationTitle();

// The folder the program runs from, native separators, no trailing separator
// (except a root). Overridable for tests.
QString ProgramFolder();
void SetProgramFolderForTesting(const QString &folder);
