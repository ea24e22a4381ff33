// Platform: everything the engine asks of the file system, one implementation
// per system (PlatformPosix.cpp, PlatformWindows.cpp; the build picks one).
// The rest of the engine sees paths as UTF-8 text, errors as numbers with a
// text, and files as handles, the same on every system.
//
// Paths. On POSIX a path is the byte string the program gave, normalised by
// normalizePath. On Windows it is a full path in the system's own spelling,
// "C:\folder\file" or "\\server\share\file", with '\' between parts; it is
// opened with the "\\?\" prefix, so a path is not limited to 260 characters.
//
// Errors. A failing call returns false (or kNoFile, or -1) and leaves the
// system's error number for lastError(): errno on POSIX, GetLastError() on
// Windows. errorText turns such a number into the system's own message,
// UTF-8 on every system.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

#ifdef _WIN32
// Kinds the Windows headers have no names for; the engine makes up a POSIX
// mode for every file it meets (see FileInfo).
#  ifndef S_IFLNK
#    define S_IFLNK 0120000
#  endif
#  ifndef S_IFSOCK
#    define S_IFSOCK 0140000
#  endif
#  ifndef S_ISLNK
#    define S_ISLNK(m) (((m)&S_IFMT) == S_IFLNK)
#  endif
#  ifndef S_ISSOCK
#    define S_ISSOCK(m) (((m)&S_IFMT) == S_IFSOCK)
#  endif
#endif

namespace zip32 {

#ifdef _WIN32
constexpr char kSeparator = '\\';
using FileHandle = intptr_t; // a HANDLE; INVALID_HANDLE_VALUE is -1
#else
constexpr char kSeparator = '/';
using FileHandle = int;
#endif
constexpr FileHandle kNoFile = -1;

// The error number of the last failing call on this thread, and setting it.
int lastError();
void setLastError(int error);
// The system's text for an error number, without a trailing full stop.
std::string errorText(int error);
// True for "no such file or folder".
bool isNotFound(int error);
// Error numbers the engine reports for conditions it finds itself.
extern const int kErrNotDir, kErrIsDir, kErrExists, kErrNoMemory, kErrIO, kErrBadHandle, kErrNameTooLong;

// What the engine knows of a file. On Windows the mode is made up: a folder
// is S_IFDIR | 0755, a file S_IFREG | 0644 (0444 when read-only), a reparse
// point (symbolic link, junction) seen without following it S_IFLNK | 0777;
// dev and ino are the volume serial number and the file index.
struct FileInfo {
    uint32_t mode = 0;
    uint64_t size = 0;
    uint64_t dev = 0;
    uint64_t ino = 0;
    int64_t mtime = 0; // seconds since 1970
    int64_t mtimeNs = 0; // and nanoseconds
    int64_t ctime = 0; // last change of data or attributes (Windows:
    int64_t ctimeNs = 0; // FILE_BASIC_INFO.ChangeTime; 0 where unknown)
    uint32_t uid = 0; // owner and group (POSIX only)
    uint32_t gid = 0;
};

// Names and paths.
bool isAbsolutePath(const std::string &path);
// A path made absolute (against the current folder) and normalised; empty,
// with lastError() set, for a relative path when the current folder cannot
// be told.
std::string absolutePath(const std::string &path);
// `name` taken relative to the absolute `root` unless it is absolute itself,
// normalised.
std::string resolvePath(const std::string &root, const std::string &name);
// The folder holding a normalised path, and the path's last part; the
// views look into `path`.
void splitPath(std::string_view path, std::string_view &dir, std::string_view &last);
inline void splitPath(const std::string &path, std::string &dir, std::string &last)
{
    std::string_view d, l;
    splitPath(std::string_view(path), d, l);
    dir = d;
    last = l;
}
// Whether `c` separates the parts of a path (on Windows '/' does too).
constexpr bool isPathSeparator(char c) { return c == kSeparator || (kSeparator == '\\' && c == '/'); }
// `dir` and `name` joined by the separator.
inline std::string joinPath(std::string_view dir, std::string_view name)
{
    std::string out;
    out.reserve(dir.size() + 1 + name.size());
    out += dir;
    if (out.empty() || !isPathSeparator(out.back()))
        out += kSeparator;
    out += name;
    return out;
}
// Whether joinPath(dir, name) would be `path`, without making it.
inline bool isJoinOf(std::string_view path, std::string_view dir, std::string_view name)
{
    const size_t separator = dir.empty() || !isPathSeparator(dir.back()) ? 1 : 0;
    return path.size() == dir.size() + separator + name.size() && path.substr(0, dir.size()) == dir
           && (separator == 0 || path[dir.size()] == kSeparator)
           && path.substr(path.size() - name.size()) == name;
}
// Lexical clean-up of an absolute POSIX path: repeated and trailing '/'
// removed, "." parts dropped, ".." parts take away the part before them
// (never going above "/"). The result starts with '/' and is "/" for the
// root itself. The same on every system (Windows cleans the part after a
// drive with it).
std::string normalizePath(std::string_view absolutePath);
// The name an entry gets in the archive: the path relative to the root, or,
// for a path outside the root, the whole path without its leading '/'. With
// ignorePath only the last part. Empty for the root itself. Both arguments
// are normalised paths. On Windows the root is compared without regard to
// letter case, the drive or the "\\" of a share is not stored, and the
// parts are joined with '/'.
std::string storedName(const std::string &path, const std::string &root, bool ignorePath);

// Attributes of a path: with follow, of what a link leads to.
bool statPath(const std::string &path, bool follow, FileInfo &info);

// Links.
// True where archives keep a link as a link entry (POSIX). On Windows the
// common readers do not restore such entries: a link that is not followed
// is left out instead.
extern const bool kStoresLinks;
// True when `path` is `folder` or lies in it at any depth; both resolved.
// On Windows letter case does not count.
bool isWithin(const std::string &path, const std::string &folder);
// True for a resolved path on a file system the kernel makes up (/proc,
// /sys, /dev and the like), whose files are no data to archive.
bool isPseudoFileSystem(const std::string &resolved);

// Folders held open. Everything in a folder is opened, looked at and
// listed relative to the folder's handle (a descriptor on POSIX, a handle on
// Windows), by its one name, and never through a link unless asked: a link
// put in the place of a folder or file after it was listed cannot lead
// anywhere else, and no path grows past the system's length limit. A
// failing call leaves lastError(); where a link stands and none is to be
// followed, that is kErrIsLink.
using FolderHandle = FileHandle;
// kErrChanged: what the engine says of a folder or file that is another one
// than it listed (its own word for it, "changed while being zipped").
extern const int kErrIsLink, kErrChanged;

// The folder `path` names, links followed (the program named it); as for
// openFolderIn, one that may only be passed through is opened too.
FolderHandle openFolder(const std::string &path);
// The folder `name` in `parent`; a link there is followed only with `follow`.
// A folder that may be passed through but not listed is still opened, for
// what lies in it (listing it then fails with the system's reason).
FolderHandle openFolderIn(FolderHandle parent, const std::string &name, bool follow);
void closeFolder(FolderHandle folder);
// Attributes of `name` in `folder`: with follow, of what a link leads to.
bool statIn(FolderHandle folder, const std::string &name, bool follow, FileInfo &info);
// Opens `name` in `folder` for reading, as openForReading does a path; a
// link there is followed only with `follow`.
FileHandle openIn(FolderHandle folder, const std::string &name, bool follow);
// Where the link `name` in `folder` leads: the resolved path of what it
// reaches, and that file's attributes, both of the one file reached. False
// when it reaches nothing (missing, a loop, no permission). `path` is the
// link's full path, for systems that can only resolve by path.
bool resolveIn(FolderHandle folder, const std::string &name, const std::string &path, std::string &resolved,
               FileInfo &target);
// The text the link `name` in `folder` holds, byte for byte.
bool readLinkIn(FolderHandle folder, const std::string &name, std::string &target);
// The resolved path of a folder held open; `path` as for resolveIn.
bool resolvedFolder(FolderHandle folder, const std::string &path, std::string &resolved);
// True when the file system holding `folder` keeps change times that move
// with every change of a file's data: on Linux ext2/3/4, XFS, Btrfs, tmpfs,
// ZFS, F2FS and the like, whose change times no program can set; on Windows
// NTFS and ReFS on a local drive, where a program may
// set one through SetFileInformationByHandle, which few do. False for FAT,
// exFAT, FUSE, SMB, NFS, network drives and every file system not known.
bool keepsChangeTimes(FolderHandle folder);

// True when a file in `folder` may be replaced by rename while this
// process still holds it open, so that the space it frees is freed when it
// is closed, not in the rename: Linux's local file systems. False on
// Windows, on shares, FUSE, FAT and exFAT, where it is closed first.
bool replacesHeldFiles(FolderHandle folder);

// How many folders the engine may hold open at once, from the process's
// limit on open files (RLIMIT_NOFILE), leaving most of it to the program.
size_t folderBudget();

// One folder's listing, from its handle (which stays the caller's).
class FolderReader {
public:
    FolderReader() = default;
    ~FolderReader();
    FolderReader(const FolderReader &) = delete;
    FolderReader &operator=(const FolderReader &) = delete;

    bool open(FolderHandle folder);
    // The names in the folder, "." and ".." left out, and hidden ones left
    // out unless includeHidden: on POSIX names starting with '.', on Windows
    // entries marked hidden or system. In the order the system gives them.
    // False with lastError() set when the listing broke off part way; `out`
    // then holds the names read before.
    bool names(bool includeHidden, std::vector<std::string> &out);

private:
#ifdef _WIN32
    std::vector<std::pair<std::string, uint32_t>> entries_; // name, attributes
    int error_ = 0; // the listing broke off part way
#else
    int fd_ = -1;
#  ifdef __linux__
    std::vector<char> buffer_; // getdents64's pieces, the first read by open
    long filled_ = 0;
#  else
    void *dir_ = nullptr;
#  endif
#endif
};

// Which names a listing is to give: the caller's rule, which the platform
// applies without knowing it.
using NameTest = bool (*)(std::string_view name);
// The names in the folder held as `dir` (at `path`) that `isTemporary`
// takes for the engine's temporary files, hidden ones too, as a listing
// gives them; false when it cannot be listed. On Linux a folder is listed
// once per process and then followed through inotify (a few folders at a
// time), so that a run writing thousands of archives into one folder does
// not list it for each one; elsewhere it is listed every time.
bool temporaryNamesIn(FolderHandle dir, const std::string &path, NameTest isTemporary,
                      std::vector<std::string> &out);
// The names in the folder held as `dir` that pass `wanted`, hidden ones
// too, read from a listing of it; false when it cannot be listed (`out` then
// holds what could be).
bool namesMatching(FolderHandle dir, NameTest wanted, std::vector<std::string> &out);

// Change times. fileSystemNow is the clock the kernel stamps file times with
// (Linux: CLOCK_REALTIME_COARSE; Windows: the system time, taken a tick
// early); setModifiedTime sets a file's modification time.
bool fileSystemNow(int64_t &seconds, int64_t &nanoseconds);
bool setModifiedTime(FileHandle file, int64_t seconds, int64_t nanoseconds);

// Files. Opening for reading lets other programs go on reading and writing
// the file, and never blocks on a FIFO or device; without `follow`, a link
// at the path is not opened (kErrIsLink).
FileHandle openForReading(const std::string &path, bool follow = true);
bool fileInfo(FileHandle file, FileInfo &info);
// Reads up to `length` bytes; 0 at the end, -1 on an error.
int64_t readFile(FileHandle file, void *buffer, size_t length);
int64_t readFileAt(FileHandle file, void *buffer, size_t length, uint64_t offset);
// The same into two buffers, `head` first, in one call where the system has
// one: the number of bytes read into both, which may be short.
int64_t readFileAt(FileHandle file, void *head, size_t headLength, void *buffer, size_t length,
                   uint64_t offset);
int64_t writeFileAt(FileHandle file, const void *buffer, size_t length, uint64_t offset);
bool truncateFile(FileHandle file, uint64_t length);
// Puts the file's data on the disk; true also where the file system cannot.
bool syncFile(FileHandle file);
// Starts writing a range of the file to the disk without waiting for it, so
// a later syncFile has less left to do. Only a hint: does nothing where the
// system has no such call.
void startWriteBack(FileHandle file, uint64_t offset, uint64_t length);
bool closeFile(FileHandle file);

// The archive's temporary file `name` in the folder held as `dir`: created
// new, never over an existing file, with at most the permissions `mode`
// (less the umask), hidden (on Windows; on POSIX its leading '.' hides it),
// and held so that no other writer takes it for abandoned while it lives.
// Fails with kErrExists also when a writer cleaning up took the new file for
// abandoned before it was held: the caller tries another name.
FileHandle createTemporary(FolderHandle dir, const std::string &name, uint32_t mode);
// Removes temporary file `name` in `dir` when no live writer holds it; true
// when it did. A file that a writer holds, or that another one replaced
// under that name meanwhile, is left alone.
bool removeIfAbandoned(FolderHandle dir, const std::string &name);
// Renames the temporary file `from` in `dir`, held open as `file`, to `to`
// in the same folder, replacing a file there in one step, while still
// holding it, so that no other writer can take it for abandoned on the way,
// and gives the file the attributes of an ordinary one. The new name lasts
// on disk once the folder is flushed (syncFolder). `file` stays open. Whatever happened to the folder's path
// meanwhile, the names are those in the folder held.
// One try: a name held by another program (isHeldElsewhere) is the
// caller's to try again. On Windows the archive takes the attributes
// keepAttributes gave it as it takes its name.
bool replaceWithTemporary(FolderHandle dir, FileHandle file, const std::string &from, const std::string &to);
// Makes the names in `dir` last on disk (fsync of the folder on POSIX);
// nothing on Windows, where the file system journals every rename.
void syncFolder(FolderHandle dir);
// A handle of its own on the folder `dir`, to flush it later; kNoFile where
// there is nothing to flush (Windows) or none can be had.
FolderHandle copyOfFolder(FolderHandle dir);
// True for an error that says another program holds the file for now (on
// Windows a sharing or access error, on POSIX a busy file), which a later
// try may not meet.
bool isHeldElsewhere(int error);
bool removeFile(FolderHandle dir, const std::string &name);
// Makes (or empties) the file `name` in `dir` for writing, with at most the
// permissions `mode`; a link there is not followed.
FileHandle createIn(FolderHandle dir, const std::string &name, uint32_t mode);
// Renames `from` to `to` in `dir`, replacing a file there, without waiting
// for the disk.
bool renameIn(FolderHandle dir, const std::string &from, const std::string &to);

// The folder where the engine keeps what it knows of the archives it wrote
// (ReuseIndex.h): "quillbarrow/reuse" in the user's cache folder
// ($XDG_CACHE_HOME, else ~/.cache), made for the user alone, held open for
// the life of the process. kNoFile when there is none that is the user's
// own and no one else's (and always on Windows, where no re-run takes a
// file's change time for proof).
FolderHandle reuseIndexFolder();
// Owners. What an archive keeps of the one it replaces (see Replace.h) and
// who else could have put the earlier one there.
// The user the process acts as (0 on Windows).
uint32_t processUser();
// True when user `uid` may make or replace files in `folder`; also when it
// cannot be told (an ACL on the folder, an unknown user).
bool userMayWrite(uint32_t uid, const std::string &folder);
// True when anyone but the process's user and the system's own may make or
// replace files in `folder`, or when it cannot be told; always on Windows.
bool othersMayWrite(const std::string &folder);
// What of the file it replaces an archive keeps (POSIX; nothing on Windows).
struct KeptAttributes {
    uint32_t mode = 0666; // the permissions the archive has at most
    bool owner = false; // uid and gid, where the process may set them
    bool group = false; // gid alone
    uint32_t uid = 0, gid = 0;
    FileHandle from = kNoFile; // its extended attributes (user.*) and ACL, from this file
};
// Gives `to` what `kept` says, as far as the process may; the permissions
// end as they were when `to` was made, but never wider than kept.mode. Best
// effort: what cannot be set is left.
void keepAttributes(FileHandle to, const KeptAttributes &kept);

// A number that differs between processes, for temporary names.
uint64_t processNumber();

// The process. True where threads left waiting for more work may outlive
// the work: on Windows not, since a DLL that is unloaded must not leave
// threads of its code behind (on Linux the library is never unmapped; see
// its link options).
extern const bool kKeepsIdleThreads;
// Names the calling thread, for debuggers, `top -H` and /proc (Linux keeps
// 15 bytes of it); best effort, nothing where the system has no way.
void nameThisThread(const char *name);
// Makes a write past the process's file-size limit fail (EFBIG), instead of
// the signal ending the program in the middle of it; a handler the program
// installed itself is left alone. Nothing on Windows, which has no such
// signal.
void ignoreFileSizeSignal();

// The temporary file an exit handler removes if the program ends while the
// archive is written, by its name in the folder held as `dir`; exitRemove
// takes no locks and allocates nothing.
void armExitRemoval(FolderHandle dir, const std::string &name);
void disarmExitRemoval();
void exitRemove();
// Registers `handler` with std::at_quick_exit where the C runtime has it
// (everywhere but the older Windows runtime, msvcrt).
void alsoAtQuickExit(void (*handler)());

// The local time of `t` into `out`, from any thread; `out` is left as it was
// when the C runtime cannot say.
void localTimeOf(time_t t, std::tm &out);

} // namespace zip32
