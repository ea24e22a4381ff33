// The engine's file access on POSIX systems.
#include "Platform.h"

#include "Names.h"
#include "TempName.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace zip32 {

const int kErrNotDir = ENOTDIR;
const int kErrIsDir = EISDIR;
const int kErrExists = EEXIST;
const int kErrNoMemory = ENOMEM;
const int kErrIO = EIO;
const int kErrBadHandle = EBADF;
const int kErrNameTooLong = ENAMETOOLONG;

int lastError()
{
    return errno;
}

void setLastError(int error)
{
    errno = error;
}

std::string errorText(int error)
{
    return std::strerror(error);
}

bool isNotFound(int error)
{
    return error == ENOENT;
}

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
    return info;
}

} // namespace

bool isAbsolutePath(const std::string &path)
{
    return !path.empty() && path[0] == '/';
}

std::string absolutePath(const std::string &path)
{
    if (isAbsolutePath(path))
        return normalizePath(path);
    std::string cwd(PATH_MAX, '\0');
    if (!::getcwd(cwd.data(), cwd.size()))
        return normalizePath("/" + path);
    cwd.resize(std::strlen(cwd.c_str()));
    return normalizePath(cwd + "/" + path);
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

std::string storedNameOf(const std::string &path, const std::string &root, bool ignorePath)
{
    return storedName(path, root, ignorePath);
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

const bool kTrustsChangeTimes = true;

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

bool resolvedPath(const std::string &path, std::string &resolved)
{
    // The kernel's own name for what the path opens: an open and a readlink
    // instead of realpath's look at every part of the path. realpath where
    // /proc is not at hand, and for what cannot be opened (its error).
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd >= 0) {
        char name[PATH_MAX];
        const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), name, sizeof name);
        ::close(fd);
        static constexpr std::string_view kDeleted = " (deleted)";
        const std::string_view got(name, n > 0 ? static_cast<size_t>(n) : 0);
        if (n > 0 && static_cast<size_t>(n) < sizeof name && got.front() == '/'
            && !(got.size() > kDeleted.size() && got.substr(got.size() - kDeleted.size()) == kDeleted)) {
            resolved.assign(got);
            return true;
        }
    }
    char *real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return false;
    resolved = real;
    std::free(real);
    return true;
}

bool readLink(const std::string &path, std::string &target)
{
    std::string text(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) < text.size()) {
            text.resize(static_cast<size_t>(n));
            target = std::move(text);
            return true;
        }
        text.resize(text.size() * 2);   // it may have been cut: read again
    }
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
    for (const char *top : {"/proc", "/sys", "/dev"})
        if (isWithin(resolved, top))
            return true;
#ifdef __linux__
    struct statfs fs;
    if (::statfs(resolved.c_str(), &fs) == 0) {
        switch (static_cast<unsigned long>(fs.f_type)) {
        case PROC_SUPER_MAGIC: case SYSFS_MAGIC: case DEVPTS_SUPER_MAGIC: case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC: case SECURITYFS_MAGIC: case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC: case BPF_FS_MAGIC:
            return true;
        default:
            break;
        }
    }
#endif
    return false;
}

FolderReader::~FolderReader()
{
    if (dir_)
        ::closedir(static_cast<DIR *>(dir_));
    else if (fd_ >= 0)
        ::close(fd_);
}

bool FolderReader::open(const std::string &path)
{
    path_ = path;
    // opendir opens close-on-exec; fdopendir would ask for the descriptor's
    // flags and set them again, two more calls for every folder.
    DIR *dir = ::opendir(path.c_str());
    dir_ = dir;
    fd_ = dir ? ::dirfd(dir) : -1;
    return dir != nullptr;
}

bool FolderReader::names(bool includeHidden, std::vector<std::string> &out)
{
    out.clear();
    for (;;) {
        // readdir tells its end from an error by errno alone.
        errno = 0;
        const struct dirent *de = ::readdir(static_cast<DIR *>(dir_));
        if (!de)
            return errno == 0;
        std::string_view n = de->d_name;
        if (n == "." || n == "..")
            continue;
        if (!includeHidden && n[0] == '.')
            continue;
        out.emplace_back(n);
    }
}

bool FolderReader::stat(const std::string &name, bool follow, FileInfo &info) const
{
    struct stat st;
    if (::fstatat(fd_, name.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    info = infoOf(st);
    return true;
}

namespace {

// A folder followed through inotify: the temporary names in it, kept up to
// date from its events. Its owner is the process that made it: a child
// after fork shares the inotify file, and must not read its events.
struct FollowedFolder {
    std::string path;
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
    static auto *all = new Followed;   // never destroyed: used until exit
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
            if (!isTemporaryName(name))
                continue;
            if (e->mask & (IN_CREATE | IN_MOVED_TO))
                f.temps.emplace(name);
            else if (e->mask & (IN_DELETE | IN_MOVED_FROM))
                f.temps.erase(std::string(name));
        }
    }
}

} // namespace

bool temporaryNamesIn(const std::string &dir, std::vector<std::string> &out)
{
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        return false;
    Followed &all = followed();
    std::lock_guard lock(all.mutex);
    auto &folders = all.folders;
    auto it = std::find_if(folders.begin(), folders.end(), [&](const FollowedFolder &f) { return f.path == dir; });
    if (it != folders.end() && (it->owner != ::getpid() || it->dev != st.st_dev || it->ino != st.st_ino || !takeEvents(*it))) {
        if (it->owner == ::getpid())
            ::close(it->fd);
        folders.erase(it);
        it = folders.end();
    }
    if (it == folders.end()) {
        FollowedFolder f;
        f.path = dir;
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        f.owner = ::getpid();
        // Followed from before the listing: nothing made meanwhile is missed.
        f.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (f.fd >= 0
            && ::inotify_add_watch(f.fd, dir.c_str(),
                                   IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF
                                       | IN_ONLYDIR) < 0) {
            ::close(f.fd);
            f.fd = -1;
        }
        std::vector<std::string> names;
        const bool listed = listTemporaryNames(dir, names);
        f.temps.insert(names.begin(), names.end());
        if (!listed || f.fd < 0 || !takeEvents(f)) {
            if (f.fd >= 0)
                ::close(f.fd);
            out.assign(f.temps.begin(), f.temps.end());
            return listed;
        }
        if (folders.size() >= kFollowedFolders) {
            auto oldest = std::min_element(folders.begin(), folders.end(),
                                           [](const FollowedFolder &a, const FollowedFolder &b) { return a.used < b.used; });
            if (oldest->owner == ::getpid())
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

FileHandle openForReading(const std::string &path)
{
    return ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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

int64_t readFileAt(FileHandle file, void *head, size_t headLength, void *buffer, size_t length, uint64_t offset)
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

bool closeFile(FileHandle file)
{
    return ::close(file) == 0;
}

namespace {

// True when the file open as `fd` is still the one under `path`: not
// removed, and not replaced by another of the same name.
bool stillNamed(int fd, const std::string &path)
{
    struct stat held, named;
    return ::fstat(fd, &held) == 0 && held.st_nlink > 0 && ::stat(path.c_str(), &named) == 0
           && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace

FileHandle createTemporary(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return kNoFile;
    // The lock is held until the file is closed, and by the system until this
    // process ends, however it ends. Between open and lock another writer
    // cleaning up may have locked the new file as abandoned, and may have
    // removed it already: it is theirs then, and this writer takes another
    // name. A file system without locks (ENOLCK, EINVAL) has no cleaners.
    const bool taken = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (taken || !stillNamed(fd, path)) {
        ::close(fd);
        errno = EEXIST;
        return kNoFile;
    }
    return fd;
}

bool removeIfAbandoned(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    // Removed while the lock is held, and only the file the lock is on: a
    // writer that created this name meanwhile sees it gone and starts over.
    const bool removed = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0
                         && stillNamed(fd, path) && ::unlink(path.c_str()) == 0;
    ::close(fd);
    return removed;
}

bool replaceWithTemporary(FileHandle, const std::string &from, const std::string &to)
{
    if (::rename(from.c_str(), to.c_str()) != 0)
        return false;
    std::string dir, last;
    splitPath(to, dir, last);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool removeFile(const std::string &path)
{
    return ::unlink(path.c_str()) == 0;
}

uint64_t processNumber()
{
    return static_cast<uint64_t>(::getpid());
}

namespace {

char g_exitPath[PATH_MAX + 1];
std::atomic<bool> g_exitArmed{false};

} // namespace

void armExitRemoval(const std::string &path)
{
    if (path.size() > PATH_MAX)
        return;
    std::memcpy(g_exitPath, path.c_str(), path.size() + 1);
    g_exitArmed.store(true, std::memory_order_release);
}

void disarmExitRemoval()
{
    g_exitArmed.store(false, std::memory_order_release);
}

void exitRemove()
{
    if (g_exitArmed.exchange(false))
        ::unlink(g_exitPath);
}

} // namespace zip32
