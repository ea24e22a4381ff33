#pragma once
// Small file and text helpers shared by the window's commands.
#include "core/Platform.h"
#include "core/Yield.h"
#include <QHash>
#include <QString>

// Removes doubled separators. Windows style: pairs of `\` become one, and a
// leading run of `\` becomes exactly two (network-share prefix). POSIX style:
// pairs of `/` become one, and a leading run of `/` becomes exactly one.
QString CleanBackslashes(const QString &path, PathStyle style = kNativePathStyle);

// The text after the last native separator; the whole path when there is
// none; empty when the path ends in a separator.
QString GetLastPathPart(const QString &path);

// Removes a file if it can, silently: a plain removal first, then a forced
// one (ForceRemoveFile). Yields once before it starts.
void DeleteExistingFile(const QString &path, const Yield &yield = ProcessPendingEvents);

// The one test for a root: true when the text as it is written, with either
// separator, names the root of a file system ("/", "//"; on Windows "C:\"
// and a share's root). Nothing is cleaned or resolved first: the tests that
// need that add it on top of this one.
bool IsRootPath(const QString &path);

// True for empty text and for any spelling of a file-system root ("/",
// "//", "/tmp/..", a link to "/"; "C:\\" on Windows): folders that are never
// zipped or listed, as they stand for the whole disk. IsRootPath of the
// cleaned text, and the path resolved (ResolvesToRoot).
bool IsRootFolder(const QString &path);
// The same for a path the caller has just resolved (CanonicalPath gave
// `resolved`), without resolving it again.
bool IsRootFolder(const QString &path, const QString &resolved);

// What "Start Zipping" says when the output folder is not there.
inline const QString kNoSuchOutputFolder =
    QStringLiteral("Folder does not exist. Please select another folder.");

// A full path resolved as the system resolves it when the path is used:
// links and ".." parts in turn, so "lnk/.." is the folder holding what
// `lnk` leads to, as `cd` finds it. The last part keeps its own name when it
// is an ordinary name (a folder reached through a link keeps the link's
// name, and its archive is named after it). Empty when a part before the
// last is missing, or the last part is "." or ".." and cannot be resolved.
QString ResolvedFolderPath(const QString &path);

// True when the folder `inner` is `outer` or lies below it, as the system
// finds both (every link followed). False when either cannot be resolved.
bool FolderIsWithin(const QString &inner, const QString &outer);
// The same for two paths as the system found them already (CanonicalPath).
bool ResolvedFolderIsWithin(const QString &in, QString out);
// The system's own resolution of a path that must exist: every link and
// ".." followed. Empty when it cannot be resolved.
QString CanonicalPath(const QString &path);

// The folder an output-folder text names, resolved (ResolvedFolderPath): "~" and
// "~/..." stand for the home folder, as in every file chooser; a full path
// stands for itself. Any other text (relative to nothing a person can see)
// names no folder, and nor does a path that cannot be resolved: the answer
// is then empty.
QString ResolveOutputFolder(const QString &text);

// The output folders of one run, each resolved (ResolveOutputFolder) when
// first asked for, and afterwards only looked at: while the text still
// names the same folder, its resolution is the one found before. A run of
// thousands of small folders resolves its output folder once, not once per
// archive.
class OutputFolderLookup {
public:
    QString resolve(const QString &text);

private:
    struct Known {
        FolderId id;
        QString resolved;
    };
    QHash<QString, Known> m_known; // by the full path the text stands for
};
