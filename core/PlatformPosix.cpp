// The core's system calls on POSIX systems (see core/Platform.h). The build
// compiles this file everywhere but on Windows, which has PlatformWindows.cpp.
#include "core/Platform.h"
#include "core/FileNames.h"

#include "zip32/src/platform/PseudoFileSystems.h"

#include <QSettings>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#  include <linux/fs.h>
#  include <linux/magic.h>
#  include <sys/ioctl.h>
#  include <sys/vfs.h>
#endif

namespace {

FolderId idOf(const struct stat &st) { return FolderId{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)}; }

} // namespace

QString NativeSeparators(const QString &path) { return path; }

bool IsTerminal(std::FILE *stream) { return ::isatty(::fileno(stream)) != 0; }

void WriteText(std::FILE *stream, const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stream);
    std::fflush(stream);
}

QString WorkingFolder(QString *error)
{
    // Qt asks with a buffer of PATH_MAX; glibc finds a deeper folder too.
    char *folder = ::getcwd(nullptr, 0);
    if (!folder) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return QString();
    }
    const QString path = FileNameFromNative(QByteArray(folder));
    std::free(folder);
    return path;
}

QStringList ProgramArguments(int argc, const char *const *argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << FileNameFromNative(QByteArray(argv[i]));
    return arguments;
}

QString EngineLibraryFileName() { return QStringLiteral("libzip32.so"); }

// File names are case-sensitive here: the root passes unchanged.
QByteArray EngineRootText(const QString &root) { return FileNameToNative(root); }

bool MeansNotThere(const QString &reason) { return reason == QString::fromLocal8Bit(std::strerror(ENOENT)); }

QSettings *OpenSettingsStore(const QString &organisation)
{
    return new QSettings(QSettings::NativeFormat, QSettings::UserScope, organisation, QString());
}

NativePath ToNativePath(const QString &path) { return FileNameToNative(path); }

QString FromNativePath(const NativePath &path) { return FileNameFromNative(path); }

bool FolderExists(const QString &path)
{
    struct stat st;
    return IsUsablePath(path) && ::stat(FileNameToNative(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileIsThere(const QString &path)
{
    struct stat st;
    return IsUsablePath(path) && ::lstat(FileNameToNative(path).constData(), &st) == 0
           && !S_ISDIR(st.st_mode);
}

namespace {

// Makes a name in the folder held as `fd` and looks for it in upper case:
// the file system's own answer, where its type does not tell.
Qt::CaseSensitivity probedCase(int fd)
{
    const QByteArray name = ".quillbarrow-names-" + QByteArray::number(qint64(::getpid())) + "-case";
    const int made =
        ::openat(fd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made < 0)
        return Qt::CaseSensitive; // nothing can be written there anyway
    // Found by its name in upper case, it is the file just made (a FUSE
    // server may give it another inode number for each name it is asked).
    struct stat other;
    const bool same = ::fstatat(fd, name.toUpper().constData(), &other, AT_SYMLINK_NOFOLLOW) == 0;
    ::close(made);
    ::unlinkat(fd, name.constData(), 0);
    return same ? Qt::CaseInsensitive : Qt::CaseSensitive;
}

} // namespace

Qt::CaseSensitivity FileNameCaseIn(const QString &folder)
{
    const int fd = IsUsablePath(folder)
                       ? ::open(FileNameToNative(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                       : -1;
    if (fd < 0)
        return Qt::CaseSensitive;
    Qt::CaseSensitivity names = Qt::CaseSensitive;
#ifdef __linux__
    struct statfs fs;
    int flags = 0;
    const unsigned long type = ::fstatfs(fd, &fs) == 0 ? static_cast<unsigned long>(fs.f_type) : 0;
    switch (type) {
    case MSDOS_SUPER_MAGIC:
    case EXFAT_SUPER_MAGIC:
        names = Qt::CaseInsensitive;
        break;
    case EXT4_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
        // Case folding is a folder's own attribute there.
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL))
            names = Qt::CaseInsensitive;
        break;
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case RAMFS_MAGIC:
        break;
    default:
        names = probedCase(fd);
        break;
    }
#else
    names = probedCase(fd);
#endif
    ::close(fd);
    return names;
}

Removal RemoveFileOnce(const QString &path)
{
    if (!IsUsablePath(path))
        return Removal::NotThere;
    // unlink never removes a directory, and removes a link rather than
    // what it points to.
    if (::unlink(FileNameToNative(path).constData()) == 0)
        return Removal::Removed;
    return errno == ENOENT ? Removal::NotThere : Removal::Refused;
}

void ForceRemoveFile(const QString &path)
{
    if (!IsUsablePath(path))
        return;
    const QByteArray native = FileNameToNative(path);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return;
    // chmod follows links, so only a plain file gets its mode changed; a
    // link is removed as it is.
    const mode_t oldMode = st.st_mode & 07777;
    const bool madeWritable =
        S_ISREG(st.st_mode) && !(oldMode & S_IWUSR) && ::chmod(native.constData(), oldMode | S_IWUSR) == 0;
    if (::unlink(native.constData()) == 0)
        return;
    if (madeWritable)
        ::chmod(native.constData(), oldMode);
}

bool ResolvesToRoot(const QString &path)
{
    // A link to "/" is a root too; the name's bytes are resolved as they are.
    return IsUsablePath(path) && IsFileSystemRoot(ResolvedPath(FileNameToNative(path)));
}

WalkFolder::WalkFolder(WalkFolder &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

WalkFolder &WalkFolder::operator=(WalkFolder &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool WalkFolder::isOpen() const { return m_fd >= 0; }

void WalkFolder::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

WalkFolder WalkFolder::open(const NativePath &path)
{
    WalkFolder folder;
    folder.m_fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return folder;
}

WalkFolder WalkFolder::child(const NativePath &name, bool follow, const FolderId &id) const
{
    WalkFolder folder;
    if (m_fd < 0)
        return folder;
    folder.m_fd =
        ::openat(m_fd, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    FolderId found;
    if (folder.isOpen() && !(FolderIdOf(folder, found) && found == id))
        folder.close(); // another folder than the one listed: not walked
    return folder;
}

std::size_t WalkFolderBudget()
{
    static const std::size_t budget = [] {
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
            return std::size_t(64);
        // A sixteenth of what the process may open: the engine holds
        // folders of its own while the next folder is walked.
        return std::clamp<std::size_t>(std::size_t(limit.rlim_cur) / 16, 4, 64);
    }();
    return budget;
}

bool FolderIdOf(const WalkFolder &folder, FolderId &id)
{
    struct stat st;
    if (::fstat(folder.m_fd, &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    id = idOf(st);
    return true;
}

bool FolderIdAt(const QString &path, FolderId &id)
{
    struct stat st;
    if (!IsUsablePath(path) || ::stat(FileNameToNative(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    id = idOf(st);
    return true;
}

namespace {

// Calls `each` with every name in the folder held as `fd`, in the
// directory's own order, with its type when the listing tells it
// (DT_UNKNOWN otherwise). False when the folder cannot be read.
bool eachName(int fd, const std::function<void(const char *name, unsigned char type)> &each)
{
#ifdef __linux__
    // Each folder is listed once, right after it is opened: from its start.
    alignas(8) char buffer[32768];
    for (;;) {
        const ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        for (ssize_t at = 0; at < n;) {
            const auto *de = reinterpret_cast<const struct dirent64 *>(buffer + at);
            at += de->d_reclen;
            each(de->d_name, de->d_type);
        }
    }
#else
    const int copy = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        return false;
    }
    while (const dirent *ent = ::readdir(dir))
        each(ent->d_name, DT_UNKNOWN);
    ::closedir(dir);
    return true;
#endif
}

} // namespace

bool ListFolders(const WalkFolder &folder, const std::function<void()> &yield,
                 const std::function<void(ListedFolder &&)> &found)
{
    const int fd = folder.m_fd;
    bool opened = false;
    return eachName(fd, [&](const char *name, unsigned char type) {
        if (!opened) {
            yield();
            opened = true;
        }
        yield();
        // Names beginning with "." are hidden; that covers "." and ".." too.
        if (name[0] == '.')
            return;
        // The listing says what most entries are; only folders, links and
        // entries of unknown kind need a look at their attributes.
        if (type != DT_DIR && type != DT_LNK && type != DT_UNKNOWN)
            return;
        const bool maybeLink = type != DT_DIR;
        struct stat st;
        if (::fstatat(fd, name, &st, 0) != 0 || !S_ISDIR(st.st_mode))
            return;
        ListedFolder entry;
        entry.name = QByteArray(name);
        entry.id = idOf(st);
        struct stat lst;
        entry.link = maybeLink && ::fstatat(fd, name, &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode);
        found(std::move(entry));
    });
}

#ifdef O_PATH
namespace {

// The kernel's own name for what `fd` (an O_PATH descriptor, closed here)
// opens: an absolute path, or empty when there is none (negative fd, a name
// too long, or what it opened is gone).
NativePath KernelNameOf(int fd)
{
    if (fd < 0)
        return {};
    char path[PATH_MAX];
    const ssize_t n =
        ::readlink(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), path, sizeof path);
    ::close(fd);
    const QByteArray got(path, n > 0 ? n : 0);
    if (n > 0 && size_t(n) < sizeof path && got.startsWith('/') && !got.endsWith(" (deleted)"))
        return got;
    return {};
}

} // namespace
#endif

NativePath ResolvedPathIn(const WalkFolder &folder, const NativePath &name)
{
#ifdef O_PATH
    return KernelNameOf(::openat(folder.m_fd, name.constData(), O_PATH | O_CLOEXEC));
#else
    return {};
#endif
}

NativePath ResolvedPath(const NativePath &path)
{
    // The kernel's own name for what the path opens: an open and a readlink
    // instead of realpath's look at every part of the path (the engine
    // resolves its folders the same way).
#ifdef O_PATH
    if (NativePath got = KernelNameOf(::open(path.constData(), O_PATH | O_CLOEXEC)); !got.isEmpty())
        return got;
#endif
    char *resolved = ::realpath(path.constData(), nullptr);
    QByteArray out(resolved ? resolved : "");
    std::free(resolved);
    return out;
}

bool IsFileSystemRoot(const NativePath &resolved) { return resolved == "/"; }

bool IsSystemFileSystem(const NativePath &resolved)
{
    return zip32::liesOnPseudoFileSystem(resolved.constData(), std::size_t(resolved.size()));
}

QString LinkTextIn(const WalkFolder &folder, const NativePath &name)
{
    QByteArray text(4096, '\0');
    const ssize_t n = ::readlinkat(folder.m_fd, name.constData(), text.data(), size_t(text.size()));
    text.resize(n > 0 ? n : 0);
    return FileNameFromNative(text);
}
