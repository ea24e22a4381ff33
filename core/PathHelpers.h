#pragma once
// Small file and text helpers shared by the window's commands.
#include "core/Platform.h"
#include "core/Yield.h"
#include <QString>

// Removes doubled separators. Windows style: pairs of `\` become one, and a
// leading run of `\` becomes exactly two (network-share prefix). POSIX style:
// pairs of `/` become one, and a leading run of `/` becomes exactly one.
QString CleanBackslashes(const QString &path, PathStyle style = kNativePathStyle);

// True when the path names an existing folder. Never fails.
bool FolderExists(const QString &path);

// The text after the last native separator; the whole path when there is
// none; empty when the path ends in a separator.
QString GetLastPathPart(const QString &path);

// Removes a file if it can, silently: a plain removal first, then a forced
// one (ForceDeleteFile). Yields once before it starts.
void DeleteExistingFile(const QString &path, const Yield &yield = ProcessPendingEvents);

// Makes a read-only file writable and removes it. Silent.
void ForceDeleteFile(const QString &path);

// True for empty text and for any spelling of a file-system root ("/",
// "//", "/tmp/..", a link to "/"; "C:\\" on Windows): folders that are never
// zipped or listed, as they stand for the whole disk.
bool IsRootFolder(const QString &path);

// What "Start Zipping" says when the output folder is not there.
inline const QString kNoSuchOutputFolder =
    QStringLiteral("Folder does not exist. Please select another folder.");

// The folder an output-folder text names: "~" and "~/..." stand for the home
// folder, as in every file chooser; a full path stands for itself. Any other
// text (relative to nothing a person can see) names no folder: the answer is
// empty.
QString ResolveOutputFolder(const QString &text);
