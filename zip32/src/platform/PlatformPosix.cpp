// The engine's file access on POSIX systems.
#include "platform/Platform.h"
#include "platform/PseudoFileSystems.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <sys/resource.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#  include <linux/magic.h>
#  include <sys/prctl.h>
#  include <sys/vfs.h>
#endif

namespace zip32 {

const int kErrNotDir = ENOTDIR;
const int kErrIsDir = EISDIR;
const int kErrExists = EEXIST;
const int kErrNoMemory = ENOMEM;
const int kErrIO = EIO;
const int kErrBadHandle = EBADF;
const int kErrNameTooLong = ENAMETOOLONG;

int lastError() { return errno; }

void setLastError(int error) { errno = error; }

std::string errorText(int error) { return std::strerror(error); }

bool isNotFound(int error) { return error == ENOENT; }

namespace {

FileInfo infoOf(const struct stat &st)
{
    FileInfo info;
    info.mode = static_cast<uint32_t>(st.st_mode);
    info.size = static_cast<uint64_t>(st.st_size);
    info.dev = static_cast<uint64_t>(st.st_dev);
    info.ino = static_cast<uint64_t>(st.st_ino);
    info.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
    info.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_nsec);
    info.ctime = static_cast<int64_t>(st.st_ctim.tv_sec);
    info.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_nsec);
    info.uid = static_cast<uint32_t>(st.st_uid);
    info.gid = static_cast<uint32_t>(st.st_gid);
    return info;
}

} // namespace

bool isAbsolutePath(const std::string &path) { return !path.empty() && path[0] == '/'; }

std::string absolutePath(const std::string &path)
{
    if (isAbsolutePath(path))
        return normalizePath(path);
    // Any length: glibc walks up from a folder deeper than PATH_MAX. One
    // that cannot be told at all makes no path: never one read from "/".
    char *cwd = ::getcwd(nullptr, 0);
    if (!cwd)
        return {};
    std::string full = normalizePath(std::string(cwd) + "/" + path);
    std::free(cwd);
    return full;
}

std::string resolvePath(const std::string &root, const std::string &name)
{
    return normalizePath(isAbsolutePath(name) ? name : joinPath(root, name));
}

void splitPath(std::string_view path, std::string_view &dir, std::string_view &last)
{
    const size_t slash = path.rfind('/');
    dir = slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
    last = path.substr(slash + 1);
}

std::string storedName(const std::string &fullPath, const std::string &rootPath, bool ignorePath)
{
    const std::string_view path = fullPath, root = rootPath;
    if (ignorePath) {
        size_t slash = path.rfind('/');
        return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
    }
    if (root == "/")
        return std::string(path.substr(1));
    if (path == root)
        return {};
    if (path.size() > root.size() && path.substr(0, root.size()) == root && path[root.size()] == '/')
        return std::string(path.substr(root.size() + 1));
    return std::string(path.substr(path.empty() ? 0 : 1));
}

bool statPath(const std::string &path, bool follow, FileInfo &info)
{
    struct stat st;
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
        return false;
    info = infoOf(st);
    return true;
}

const bool kStoresLinks = true;

bool fileSystemNow(int64_t &seconds, int64_t &nanoseconds)
{
    struct timespec now;
#ifdef CLOCK_REALTIME_COARSE
    if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0)
#endif
        if (::clock_gettime(CLOCK_REALTIME, &now) != 0)
            return false;
    seconds = static_cast<int64_t>(now.tv_sec);
    nanoseconds = static_cast<int64_t>(now.tv_nsec);
    return true;
}

bool setModifiedTime(FileHandle file, int64_t seconds, int64_t nanoseconds)
{
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(nanoseconds);
    return ::futimens(file, times) == 0;
}

bool isWithin(const std::string &path, const std::string &folder)
{
    if (folder == "/")
        return true;
    return path.compare(0, folder.size(), folder) == 0
           && (path.size() == folder.size() || path[folder.size()] == '/');
}

bool isPseudoFileSystem(const std::string &resolved)
{
    return liesOnPseudoFileSystem(resolved.c_str(), resolved.size());
}

const int kErrIsLink = ELOOP;
const int kErrChanged = ESTALE;

FolderHandle openFolder(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
    return fd;
}

FolderHandle openFolderIn(FolderHandle parent, const std::string &name, bool follow)
{
    const int nofollow = follow ? 0 : O_NOFOLLOW;
    int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | nofollow);
#ifdef O_PATH
    // A folder that may be entered but not read (mode 0311) still leads to
    // what lies in it.
    if (fd < 0 && errno == EACCES)
        fd = ::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | nofollow);
#endif
    // A link where a folder is wanted: O_DIRECTORY says "not a directory".
    struct stat st;
    if (fd < 0 && !follow && (errno == ENOTDIR || errno == ELOOP)
        && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        errno = ELOOP;
    return fd;
}

void closeFolder(FolderHandle folder)
{
    if (folder >= 0)
        ::close(folder);
}

bool statIn(FolderHandle folder, const std::string &name, bool follow, FileInfo &info)
{
    struct stat st;
    if (::fstatat(folder, name.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    info = infoOf(st);
    return true;
}

FileHandle openIn(FolderHandle folder, const std::string &name, bool follow)
{
    return ::openat(folder, name.c_str(),
                    O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}

namespace {

// The kernel's own name for what `fd` is open on: one readlink instead of
// realpath's look at every part of a path. False where /proc is not at
// hand, for a file no longer there, or a name longer than a path can be.
bool nameOfDescriptor(int fd, std::string &resolved)
{
    char name[PATH_MAX];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), name, sizeof name);
    static constexpr std::string_view kDeleted = " (deleted)";
    const std::string_view got(name, n > 0 ? static_cast<size_t>(n) : 0);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof name || got.front() != '/'
        || (got.size() > kDeleted.size() && got.substr(got.size() - kDeleted.size()) == kDeleted))
        return false;
    resolved.assign(got);
    return true;
}

bool realPathOf(const std::string &path, std::string &resolved)
{
    char *real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return false;
    resolved = real;
    std::free(real);
    return true;
}

} // namespace

bool resolveIn(FolderHandle folder, const std::string &name, const std::string &path, std::string &resolved,
               FileInfo &target)
{
#ifdef O_PATH
    // The one file the link reaches now: its name and its attributes both
    // come from the descriptor, so they cannot be of two different files.
    const int fd = ::openat(folder, name.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !nameOfDescriptor(fd, resolved)) {
        // Without /proc the system can only say where the path leads.
        std::string real;
        struct stat named;
        ok = realPathOf(path, real) && ::stat(real.c_str(), &named) == 0 && named.st_dev == st.st_dev
             && named.st_ino == st.st_ino;
        resolved = real;
        if (!ok && errno == 0)
            errno = ENOENT;
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    if (ok)
        target = infoOf(st);
    return ok;
#else
    (void)folder;
    (void)name;
    return realPathOf(path, resolved) && statPath(resolved, true, target);
#endif
}

bool readLinkIn(FolderHandle folder, const std::string &name, std::string &target)
{
    std::string text(256, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(folder, name.c_str(), text.data(), text.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) < text.size()) {
            text.resize(static_cast<size_t>(n));
            target = std::move(text);
            return true;
        }
        text.resize(text.size() * 2); // it may have been cut: read again
    }
}

bool resolvedFolder(FolderHandle folder, const std::string &path, std::string &resolved)
{
    return nameOfDescriptor(folder, resolved) || realPathOf(path, resolved);
}

namespace {

// A local file system of Linux's own (ext4, XFS, Btrfs, tmpfs...): not
// FAT, exFAT, FUSE, SMB or NFS, whose servers and drivers do what they like.
bool onLocalFileSystem(FolderHandle folder)
{
#ifdef __linux__
    struct statfs fs;
    if (::fstatfs(folder, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC: // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case 0x2FC12FC1: // ZFS
    case 0xCA451A4E: // bcachefs
    case 0x3153464A: // JFS
    case REISERFS_SUPER_MAGIC:
    case NILFS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
#else
    (void)folder;
    return false;
#endif
}

} // namespace

// Their change time the kernel alone sets, on every change of data, mode,
// owner or name. FAT and exFAT have none (their "change time" is the
// modification time, which any program sets), and a FUSE, SMB or NFS
// server reports what it likes.
bool keepsChangeTimes(FolderHandle folder) { return onLocalFileSystem(folder); }

// A share may refuse to replace a file its client holds (see
// isHeldElsewhere), and a FUSE server may do as it likes.
bool replacesHeldFiles(FolderHandle folder) { return onLocalFileSystem(folder); }

size_t folderBudget()
{
    // Asked once: thousands of small archives need not ask each time.
    static const size_t budget = [] {
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
            return size_t(256);
        // An eighth of what the process may open: the program, its
        // libraries and the engine's own files keep the rest.
        return std::clamp<size_t>(static_cast<size_t>(limit.rlim_cur) / 8, 8, 256);
    }();
    return budget;
}

FolderReader::~FolderReader()
{
#ifndef __linux__
    if (dir_)
        ::closedir(static_cast<DIR *>(dir_));
#endif
}

#ifdef __linux__
namespace {

// One read of a folder's entries. A folder opened only to pass through it
// (O_PATH) cannot be read: the reason it was opened so is given.
ssize_t readEntries(int fd, char *buffer, size_t size)
{
    for (;;) {
        const ssize_t n = ::getdents64(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            if (n < 0 && errno == EBADF)
                errno = EACCES;
            return n;
        }
    }
}

} // namespace
#endif

bool FolderReader::open(FolderHandle folder)
{
#ifdef __linux__
    // The folder's descriptor is read with getdents64 from its start: no
    // second descriptor, no DIR. The first piece is read here, so that a
    // folder that cannot be read at all says so now.
    fd_ = folder;
    if (::lseek(fd_, 0, SEEK_SET) != 0 && errno != ESPIPE && errno != EBADF)
        return false;
    buffer_.resize(32768);
    filled_ = readEntries(fd_, buffer_.data(), buffer_.size());
    return filled_ >= 0;
#else
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir && fd >= 0)
        ::close(fd);
    dir_ = dir;
    fd_ = folder;
    return dir != nullptr;
#endif
}

bool FolderReader::names(bool includeHidden, std::vector<std::string> &out)
{
    out.clear();
    auto take = [&](std::string_view n) {
        if (n == "." || n == "..")
            return;
        if (!includeHidden && n[0] == '.')
            return;
        out.emplace_back(n);
    };
#ifdef __linux__
    for (ssize_t n = filled_; n != 0; n = readEntries(fd_, buffer_.data(), buffer_.size())) {
        if (n < 0)
            return false;
        for (ssize_t at = 0; at < n;) {
            const auto *de = reinterpret_cast<const struct dirent64 *>(buffer_.data() + at);
            take(de->d_name);
            at += de->d_reclen;
        }
    }
    return true;
#else
    for (;;) {
        // readdir tells its end from an error by errno alone.
        errno = 0;
        const struct dirent *de = ::readdir(static_cast<DIR *>(dir_));
        if (!de)
            return errno == 0;
        take(de->d_name);
    }
#endif
}

namespace {

// A folder followed through inotify: the temporary names in it, kept up to
// date from its events. Its owner is the process that made it: a child
// after fork shares the inotify file, and must not read its events.
struct FollowedFolder {
    std::string path;
    NameTest isTemporary = nullptr; // what the names kept were chosen by
    dev_t dev = 0;
    ino_t ino = 0;
    pid_t owner = 0;
    int fd = -1;
    std::set<std::string> temps;
    uint64_t used = 0;
};

struct Followed {
    std::mutex mutex;
    std::vector<FollowedFolder> folders;
    uint64_t uses = 0;
};

constexpr size_t kFollowedFolders = 4;

Followed &followed()
{
    static auto *all = new Followed; // never destroyed: used until exit
    return *all;
}

// Takes in the events so far; false when the names can no longer be known
// from them (events lost, the folder gone or moved).
bool takeEvents(FollowedFolder &f)
{
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(f.fd, buffer, sizeof buffer);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || (errno == EINTR && takeEvents(f));
        if (n == 0)
            return false;
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
                return false;
            const std::string_view name = e->len ? std::string_view(e->name) : std::string_view();
            if (!f.isTemporary(name))
                continue;
            if (e->mask & (IN_CREATE | IN_MOVED_TO))
                f.temps.emplace(name);
            else if (e->mask & (IN_DELETE | IN_MOVED_FROM))
                f.temps.erase(std::string(name));
        }
    }
}

} // namespace

bool temporaryNamesIn(FolderHandle dir, const std::string &path, NameTest isTemporary,
                      std::vector<std::string> &out)
{
    struct stat st;
    if (::fstat(dir, &st) != 0)
        return false;
    Followed &all = followed();
    std::lock_guard lock(all.mutex);
    auto &folders = all.folders;
    auto it = std::find_if(folders.begin(), folders.end(), [&](const FollowedFolder &f) {
        return f.dev == st.st_dev && f.ino == st.st_ino && f.isTemporary == isTemporary;
    });
    if (it != folders.end() && (it->owner != static_cast<pid_t>(processNumber()) || !takeEvents(*it))) {
        if (it->owner == static_cast<pid_t>(processNumber()))
            ::close(it->fd);
        folders.erase(it);
        it = folders.end();
    }
    if (it == folders.end()) {
        FollowedFolder f;
        f.path = path;
        f.isTemporary = isTemporary;
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        f.owner = static_cast<pid_t>(processNumber());
        // Followed from before the listing: nothing made meanwhile is missed.
        // The watch is put on the folder held, not on whatever its path
        // names now.
        f.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        const std::string held = "/proc/self/fd/" + std::to_string(dir);
        constexpr uint32_t kEvents =
            IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        if (f.fd >= 0 && ::inotify_add_watch(f.fd, held.c_str(), kEvents) < 0) {
            ::close(f.fd);
            f.fd = -1;
        }
        std::vector<std::string> names;
        const bool listed = namesMatching(dir, isTemporary, names);
        f.temps.insert(names.begin(), names.end());
        if (!listed || f.fd < 0 || !takeEvents(f)) {
            if (f.fd >= 0)
                ::close(f.fd);
            out.assign(f.temps.begin(), f.temps.end());
            return listed;
        }
        if (folders.size() >= kFollowedFolders) {
            auto oldest = std::min_element(
                folders.begin(), folders.end(),
                [](const FollowedFolder &a, const FollowedFolder &b) { return a.used < b.used; });
            if (oldest->owner == static_cast<pid_t>(processNumber()))
                ::close(oldest->fd);
            folders.erase(oldest);
        }
        folders.push_back(std::move(f));
        it = folders.end() - 1;
    }
    it->used = ++all.uses;
    out.assign(it->temps.begin(), it->temps.end());
    return true;
}

FileHandle openForReading(const std::string &path, bool follow)
{
    return ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}

bool fileInfo(FileHandle file, FileInfo &info)
{
    struct stat st;
    if (::fstat(file, &st) != 0)
        return false;
    info = infoOf(st);
    return true;
}

int64_t readFile(FileHandle file, void *buffer, size_t length)
{
    for (;;) {
        const ssize_t n = ::read(file, buffer, length);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

int64_t readFileAt(FileHandle file, void *buffer, size_t length, uint64_t offset)
{
    for (;;) {
        const ssize_t n = ::pread(file, buffer, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

int64_t readFileAt(FileHandle file, void *head, size_t headLength, void *buffer, size_t length,
                   uint64_t offset)
{
    struct iovec parts[2] = {{head, headLength}, {buffer, length}};
    for (;;) {
        const ssize_t n = ::preadv(file, parts, 2, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

int64_t writeFileAt(FileHandle file, const void *buffer, size_t length, uint64_t offset)
{
    for (;;) {
        const ssize_t n = ::pwrite(file, buffer, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

bool truncateFile(FileHandle file, uint64_t length)
{
    return ::ftruncate(file, static_cast<off_t>(length)) == 0;
}

bool syncFile(FileHandle file)
{
    // File systems that cannot sync (EINVAL, EROFS) have nothing to put on disk.
    return ::fsync(file) == 0 || errno == EINVAL || errno == EROFS;
}

void startWriteBack(FileHandle file, uint64_t offset, uint64_t length)
{
#ifdef __linux__
    ::sync_file_range(file, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
    (void)offset;
    (void)length;
#endif
}

bool closeFile(FileHandle file) { return ::close(file) == 0; }

namespace {

// True when the file open as `fd` is still the one named `name` in `dir`:
// not removed, and not replaced by another of the same name.
bool stillNamed(int dir, int fd, const std::string &name)
{
    struct stat held, named;
    return ::fstat(fd, &held) == 0 && held.st_nlink > 0 && ::fstatat(dir, name.c_str(), &named, 0) == 0
           && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace

FileHandle createTemporary(FolderHandle dir, const std::string &name, uint32_t mode)
{
    const int fd = ::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            static_cast<mode_t>(mode & 0666));
    if (fd < 0)
        return kNoFile;
    // The lock is held until the file is closed, and by the system until this
    // process ends, however it ends. Between open and lock another writer
    // cleaning up may have locked the new file as abandoned, and may have
    // removed it already: it is theirs then, and this writer takes another
    // name. A file system without locks (ENOLCK, EINVAL) has no cleaners.
    const bool taken = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (taken || !stillNamed(dir, fd, name)) {
        ::close(fd);
        errno = EEXIST;
        return kNoFile;
    }
    return fd;
}

bool removeIfAbandoned(FolderHandle dir, const std::string &name)
{
    const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    // Removed while the lock is held, and only the file the lock is on: a
    // writer that created this name meanwhile sees it gone and starts over.
    const bool removed = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0
                         && stillNamed(dir, fd, name) && ::unlinkat(dir, name.c_str(), 0) == 0;
    ::close(fd);
    return removed;
}

bool replaceWithTemporary(FolderHandle dir, FileHandle, const std::string &from, const std::string &to)
{
    return ::renameat(dir, from.c_str(), dir, to.c_str()) == 0;
}

void syncFolder(FolderHandle dir) { ::fsync(dir); }

FolderHandle copyOfFolder(FolderHandle dir) { return ::fcntl(dir, F_DUPFD_CLOEXEC, 0); }

bool isHeldElsewhere(int error)
{
    // A share served from Windows refuses to replace a file that a program
    // there holds.
    return error == EBUSY || error == ETXTBSY;
}

bool removeFile(FolderHandle dir, const std::string &name) { return ::unlinkat(dir, name.c_str(), 0) == 0; }

FileHandle createIn(FolderHandle dir, const std::string &name, uint32_t mode)
{
    return ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                    static_cast<mode_t>(mode & 0666));
}

bool renameIn(FolderHandle dir, const std::string &from, const std::string &to)
{
    return ::renameat(dir, from.c_str(), dir, to.c_str()) == 0;
}

namespace {

// `name` in the folder `parent`, made for this user alone when it is not
// there, and held when it is this user's and no one else can write it (and,
// with `alone`, no one else can read it either).
int ownFolderIn(int parent, const char *name, bool alone)
{
    ::mkdirat(parent, name, 0700);
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    const mode_t others = alone ? 077 : 022;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & others) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The cache folder `path` (absolute), when it is this user's.
int cacheFolderAt(const std::string &path)
{
    if (!isAbsolutePath(path))
        return -1;
    std::string parent, last;
    splitPath(normalizePath(path), parent, last);
    const int up = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (up < 0)
        return -1;
    const int fd = ownFolderIn(up, last.c_str(), false);
    ::close(up);
    return fd;
}

int findReuseIndexFolder()
{
    std::vector<std::string> caches;
    if (const char *xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg)
        caches.emplace_back(xdg);
    if (const char *home = std::getenv("HOME"); home && *home)
        caches.push_back(std::string(home) + "/.cache");
    // HOME may be another user's (sudo -E): the user's own home then.
    if (const struct passwd *pw = ::getpwuid(::geteuid()); pw && pw->pw_dir)
        caches.push_back(std::string(pw->pw_dir) + "/.cache");
    for (const std::string &cache : caches) {
        const int base = cacheFolderAt(cache);
        if (base < 0)
            continue;
        const int own = ownFolderIn(base, "quillbarrow", false);
        ::close(base);
        if (own < 0)
            continue;
        const int reuse = ownFolderIn(own, "reuse", true);
        ::close(own);
        if (reuse >= 0)
            return reuse;
    }
    return -1;
}

} // namespace

FolderHandle reuseIndexFolder()
{
    static const int folder = findReuseIndexFolder();
    return folder;
}

uint32_t processUser() { return static_cast<uint32_t>(::geteuid()); }

namespace {

// An access ACL beyond the mode bits (the kernel keeps none for a plain
// mode): who it lets write is not worked out here.
bool hasExtendedAcl(const std::string &path)
{
    return ::getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) > 0;
}

// True when user `uid` is in group `gid`; also when the user is unknown.
bool inGroup(uid_t uid, gid_t gid)
{
    std::vector<char> buffer(16384);
    struct passwd pw, *found = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
        return true;
    if (pw.pw_gid == gid)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0 && count > int(groups.size()))
        groups.resize(static_cast<size_t>(count));
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

} // namespace

bool userMayWrite(uint32_t uid, const std::string &folder)
{
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || uid == 0 || hasExtendedAcl(folder))
        return true;
    if (st.st_uid == uid)
        return (st.st_mode & S_IWUSR) != 0;
    return (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) && inGroup(uid, st.st_gid));
}

bool othersMayWrite(const std::string &folder)
{
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || (st.st_uid != ::geteuid() && st.st_uid != 0))
        return true;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || hasExtendedAcl(folder);
}

namespace {

// The attributes a replaced archive passes on: the user's own (user.*) and
// its access ACL. Others are the system's (security.*, trusted.*).
bool keptAttribute(std::string_view name)
{
    return name.substr(0, 5) == "user." || name == "system.posix_acl_access";
}

// True when it set an ACL.
bool copyAttributes(int from, int to)
{
    bool acl = false;
    std::vector<char> names(4096);
    ssize_t n;
    while ((n = ::flistxattr(from, names.data(), names.size())) < 0 && errno == ERANGE)
        names.resize(names.size() * 2);
    std::vector<char> value;
    for (ssize_t at = 0; n > 0 && at < n;) {
        const std::string_view name(names.data() + at);
        at += static_cast<ssize_t>(name.size()) + 1;
        if (!keptAttribute(name))
            continue;
        const std::string key(name);
        const ssize_t size = ::fgetxattr(from, key.c_str(), nullptr, 0);
        if (size < 0)
            continue;
        value.resize(static_cast<size_t>(size) + 1);
        const ssize_t got = ::fgetxattr(from, key.c_str(), value.data(), value.size());
        if (got >= 0 && ::fsetxattr(to, key.c_str(), value.data(), static_cast<size_t>(got), 0) == 0)
            acl = acl || key == "system.posix_acl_access";
    }
    return acl;
}

} // namespace

void keepAttributes(FileHandle to, const KeptAttributes &kept)
{
    struct stat made;
    if (::fstat(to, &made) != 0)
        return;
    if (kept.owner && (made.st_uid != kept.uid || made.st_gid != kept.gid))
        (void)::fchown(to, static_cast<uid_t>(kept.uid), static_cast<gid_t>(kept.gid));
    else if (kept.group && made.st_gid != kept.gid)
        (void)::fchown(to, static_cast<uid_t>(-1), static_cast<gid_t>(kept.gid));
    const bool acl = kept.from != kNoFile && copyAttributes(kept.from, to);
    // An ACL set above changed the group bits with its mask: the mode ends
    // as the file was made, never wider than the file it replaces.
    const mode_t mode = made.st_mode & 0777 & static_cast<mode_t>(kept.mode);
    if (acl || mode != (made.st_mode & 0777))
        ::fchmod(to, mode);
}

namespace {

// The process's number, asked of the system once per process: a child made
// by fork() asks again.
std::atomic<pid_t> g_processNumber{0};

void forgetProcessNumber() { g_processNumber.store(0, std::memory_order_relaxed); }

} // namespace

uint64_t processNumber()
{
    pid_t pid = g_processNumber.load(std::memory_order_relaxed);
    if (pid == 0) {
        static std::once_flag once;
        std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, forgetProcessNumber); });
        pid = ::getpid();
        g_processNumber.store(pid, std::memory_order_relaxed);
    }
    return static_cast<uint64_t>(pid);
}

const bool kKeepsIdleThreads = true;

void nameThisThread(const char *name)
{
#ifdef __linux__
    ::prctl(PR_SET_NAME, name, 0, 0, 0); // cut to 15 bytes, where pthread_setname_np fails
#else
    (void)name;
#endif
}

void ignoreFileSizeSignal()
{
    // Under a file-size limit the default action of SIGXFSZ kills the
    // program in the middle of a write, leaving the temporary file behind
    // and the rest of the caller's work undone. Ignored, the write fails
    // with EFBIG and takes the ordinary "cannot write" road.
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        ::signal(SIGXFSZ, SIG_IGN);
}

namespace {

// The folder and name of the temporary file in flight, where an exit handler
// reaches them without locks or allocation.
char g_exitName[NAME_MAX + 1];
std::atomic<int> g_exitFolder{-1};

} // namespace

void armExitRemoval(FolderHandle dir, const std::string &name)
{
    if (name.size() > NAME_MAX)
        return;
    std::memcpy(g_exitName, name.c_str(), name.size() + 1);
    g_exitFolder.store(dir, std::memory_order_release);
}

void disarmExitRemoval() { g_exitFolder.store(-1, std::memory_order_release); }

void exitRemove()
{
    const int dir = g_exitFolder.exchange(-1);
    if (dir >= 0)
        ::unlinkat(dir, g_exitName, 0);
}

void localTimeOf(time_t t, std::tm &out) { localtime_r(&t, &out); }

void alsoAtQuickExit(void (*handler)()) { std::at_quick_exit(handler); }

} // namespace zip32
