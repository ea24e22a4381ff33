#pragma once
// What differs between Windows and the POSIX systems, for the core. Every
// branch on the system in core/ is here and in the platform files beside
// it: PlatformWindows.cpp (Windows) and PlatformPosix.cpp (the others) make
// the system calls, and the build compiles the one of its system, as the
// engine has zip32/src/platform; Platform.cpp holds what they share. The
// rest of the core is written once.
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

class QSettings;

enum class PathStyle { Windows, Posix };

#ifdef Q_OS_WIN
constexpr PathStyle kNativePathStyle = PathStyle::Windows;
constexpr QChar kNativeSeparator = u'\\';
// File names that differ in letter case only name the same file.
constexpr Qt::CaseSensitivity kFileNameCase = Qt::CaseInsensitive;
// A path the system takes as it is: UTF-16 on Windows, bytes elsewhere.
using NativePath = std::wstring;
#else
constexpr PathStyle kNativePathStyle = PathStyle::Posix;
constexpr QChar kNativeSeparator = u'/';
constexpr Qt::CaseSensitivity kFileNameCase = Qt::CaseSensitive;
using NativePath = QByteArray;
#endif

// ---- Text

// The path with the system's separator: on Windows "/" is one too, and
// becomes "\"; elsewhere the path is returned as it is.
QString NativeSeparators(const QString &path);

// The program's arguments as the user gave them (on Windows from the UTF-16
// command line, which `argv` holds only in the ANSI code page).
QStringList ProgramArguments(int argc, const char *const *argv);

// The engine library's file name beside the program.
QString EngineLibraryFileName();

// The root folder as the engine is given it: upper-case on Windows, where
// the engine compares names without regard to case.
QByteArray EngineRootText(const QString &root);

// True when a reason the engine gives for a name it could not match says
// that the name is not there (the system's own wording).
bool MeansNotThere(const QString &reason);

// The per-user settings store of an organisation: the registry key
// HKEY_CURRENT_USER\Software\<organisation> on Windows, <organisation>.conf
// in the user's configuration folder elsewhere. The caller owns it.
QSettings *OpenSettingsStore(const QString &organisation);

// The process's working folder as a full path, of any length; empty, with
// the system's reason in `error`, when it cannot be told (it was removed, or
// a folder above it cannot be read).
QString WorkingFolder(QString *error = nullptr);

// ---- The console

// True when `stream` is a terminal that redraws a line in place ("\r" and
// ESC [K): a tty; on Windows a console, its virtual-terminal processing
// switched on for that (false where the console cannot do it).
bool IsTerminal(std::FILE *stream);

// Writes `text` (bytes as FileNameToNative makes them) to `stream`, flushed.
// On Windows a console is given it as UTF-16 (WriteConsoleW), so that every
// name shows as it is whatever the console's code page; a file or a pipe
// gets the UTF-8 bytes, as everywhere else.
void WriteText(std::FILE *stream, const QByteArray &text);

#ifdef Q_OS_WIN
// Starts the program `fileName` of this program's folder with this
// process's own arguments, exactly as they were written, and does not wait
// for it. False, with the system's reason in `error`, when it cannot start.
bool StartBesideWithOwnArguments(const QString &fileName, QString &error);
#endif

// ---- Files. None of these fails loudly: a path that cannot be used is a "no".

// True for a path that may be handed to the system: not empty, and with no
// NUL in it (the system would read it only up to the NUL, and so find
// another file than the text names).
bool IsUsablePath(const QString &path);

NativePath ToNativePath(const QString &path);
QString FromNativePath(const NativePath &path);

// True when the path names an existing folder (links followed).
bool FolderExists(const QString &path);
// True when the path names an existing file of any kind but a folder (a
// link counts as itself, whatever it leads to).
bool FileIsThere(const QString &path);

// How the file system holding `folder` compares file names: ignoring case
// on FAT and exFAT, on folders of ext4, F2FS and tmpfs made case-folding,
// and where a name made in it is found again in another case (SMB shares,
// FUSE); always on Windows.
Qt::CaseSensitivity FileNameCaseIn(const QString &folder);

enum class Removal { Removed, NotThere, Refused };
// One plain attempt to remove a file (never a folder; a link, not its target).
Removal RemoveFileOnce(const QString &path);
// Removes a read-only file too, by making it writable first; a file that
// stays keeps its mode.
void ForceRemoveFile(const QString &path);

// True when the path, with its links resolved, is the root of a file system
// ("/"; "C:\").
bool ResolvesToRoot(const QString &path);

// ---- The folder walk's view of the file system

struct FolderId {
    std::uint64_t device = 0; // device, or volume serial number
    std::uint64_t node = 0; // inode, or file index
    bool operator==(const FolderId &) const = default;
};

// A folder met in a listing: its name, its identity (links followed) and
// whether the entry itself is a link (symbolic link, junction, mount point).
struct ListedFolder {
    NativePath name;
    FolderId id;
    bool link = false;
};

// A folder the walk holds open while it is in it: what lies in it is listed
// and opened relative to it, by its one name, so that no link put in the
// place of a listed folder leads the walk elsewhere, and no path grows past
// the system's length limit. (On Windows it is held by its path for now.)
class WalkFolder {
public:
    WalkFolder() = default;
    ~WalkFolder() { close(); }
    WalkFolder(WalkFolder &&other) noexcept;
    WalkFolder &operator=(WalkFolder &&other) noexcept;

    bool isOpen() const;
    void close();
    // The folder `path` names, links followed; closed when it cannot be
    // opened or is no folder.
    static WalkFolder open(const NativePath &path);
    // The folder `name` in this one, where the listing found the folder
    // `id`: a link there is followed only with `follow`, and the folder
    // opened must be `id`; closed otherwise.
    WalkFolder child(const NativePath &name, bool follow, const FolderId &id) const;

private:
    friend bool ListFolders(const WalkFolder &, const std::function<void()> &,
                            const std::function<void(ListedFolder &&)> &);
    friend NativePath ResolvedPathIn(const WalkFolder &, const NativePath &);
    friend QString LinkTextIn(const WalkFolder &, const NativePath &);
    friend bool FolderIdOf(const WalkFolder &, FolderId &);
#ifdef Q_OS_WIN
    NativePath m_path; // ends in a separator; empty: closed
#else
    int m_fd = -1;
#endif
};

// How many folders one walk holds open at once, from the process's limit on
// open files (RLIMIT_NOFILE).
std::size_t WalkFolderBudget();

// The identity of the folder held.
bool FolderIdOf(const WalkFolder &folder, FolderId &id);
// The identity of the folder `path` names, links followed; false when it
// names no folder.
bool FolderIdAt(const QString &path, FolderId &id);

// Lists the folders of `folder`: entries that are folders or links to
// folders, hidden ones (and on Windows system ones) passed over. `yield`
// runs once the listing is open and before each entry is looked at. False
// when the folder cannot be listed.
bool ListFolders(const WalkFolder &folder, const std::function<void()> &yield,
                 const std::function<void(ListedFolder &&)> &found);

// Where the link `name` in `folder` leads, resolved and absolute; empty
// when it cannot be resolved.
NativePath ResolvedPathIn(const WalkFolder &folder, const NativePath &name);

// What the link `name` in `folder` says it leads to, for a note; empty when
// it cannot be read.
QString LinkTextIn(const WalkFolder &folder, const NativePath &name);

// The path with every link resolved, absolute; empty when it cannot be.
NativePath ResolvedPath(const NativePath &path);

// True when `path` is `folder` or lies below it; both resolved.
bool IsWithin(const NativePath &path, const NativePath &folder);

// True for the resolved root of a file system.
bool IsFileSystemRoot(const NativePath &resolved);

// True for file systems the kernel makes up (/proc, /sys, /dev): following
// a link onto one walks thousands of entries that are not files. The rule
// is the engine's own (zip32/src/platform/PseudoFileSystems.h).
bool IsSystemFileSystem(const NativePath &resolved);
