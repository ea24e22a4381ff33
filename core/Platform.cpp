#include "core/Platform.h"
#include "core/FileNames.h"

#include <QDir>
#include <QSettings>

#include <algorithm>

#ifdef Q_OS_WIN
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#  include <io.h>
#  include <shellapi.h>
#else
#  include <cerrno>
#  include <climits>
#  include <cstdlib>
#  include <cstring>
#  include <dirent.h>
#  include <fcntl.h>
#  include <sys/resource.h>
#  include <sys/stat.h>
#  include <unistd.h>
#  ifdef __linux__
#    include <linux/fs.h>
#    include <linux/magic.h>
#    include <sys/ioctl.h>
#    include <sys/vfs.h>
#  endif
#endif

namespace {

// A path the OS would read only up to an embedded NUL names a different
// file than the text shows; such a path is never handed to the OS.
bool usable(const QString &path)
{
    return !path.isEmpty() && !path.contains(QChar(u'\0'));
}

} // namespace

bool IsWithin(const NativePath &path, const NativePath &folder)
{
    const auto sep = static_cast<NativePath::value_type>(kNativeSeparator.unicode());
    if (folder.size() == 0)
        return false;
    if (path.size() < folder.size())
        return false;
    const QString head = FromNativePath(NativePath(path.data(), folder.size()));
    if (QString::compare(head, FromNativePath(folder), kFileNameCase) != 0)
        return false;
    // A root ends in its separator; any other folder is followed by one.
    return folder.back() == sep || path.size() == folder.size() || path[folder.size()] == sep;
}

#ifdef Q_OS_WIN

namespace {

// What FormatMessage says for an error, trimmed as the engine trims it.
QString systemText(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString out = n > 0 && text ? QString::fromWCharArray(text, int(n)) : QString();
    if (text)
        LocalFree(text);
    while (!out.isEmpty() && QStringLiteral("\r\n .").contains(out.back()))
        out.chop(1);
    return out;
}

// The form of a path that the system takes at any length: near MAX_PATH
// the plain form fails unless long paths are switched on for the whole
// machine (the manifest's longPathAware counts only then), so a long path
// is handed over as "\\?\C:\..." or "\\?\UNC\server\share\...", made full
// first, as the prefix turns off the system's own tidying of the path.
NativePath systemPath(const NativePath &path)
{
    const bool prefixed = path.size() > 3 && path[0] == L'\\' && path[1] == L'\\'
        && (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\';
    if (path.size() < MAX_PATH - 12 || prefixed)
        return path;
    NativePath full(path.size() + 16, L'\0');
    DWORD n = GetFullPathNameW(path.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (n >= full.size()) {
        full.resize(n);
        n = GetFullPathNameW(path.c_str(), DWORD(full.size()), full.data(), nullptr);
    }
    if (n == 0 || n >= full.size())
        return path;
    full.resize(n);
    // A folder's trailing separator, which the prefixed form does not take.
    if (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    return full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

DWORD attributesOf(const NativePath &path) { return GetFileAttributesW(systemPath(path).c_str()); }

HANDLE openForAttributes(const NativePath &path)
{
    return CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

QString NativeSeparators(const QString &path) { return QDir::toNativeSeparators(path); }

namespace {

// The console behind `stream` and its mode; nullptr for a file, a pipe or
// no handle at all (a window program started without one).
HANDLE consoleOf(std::FILE *stream, DWORD &mode)
{
    const int fd = _fileno(stream);
    const auto handle = fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE || !handle || !GetConsoleMode(handle, &mode))
        return nullptr;
    return handle;
}

} // namespace

bool IsTerminal(std::FILE *stream)
{
    DWORD mode = 0;
    HANDLE console = consoleOf(stream, mode);
    return console
        && ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
            || SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
}

void WriteText(std::FILE *stream, const QByteArray &text)
{
    DWORD mode = 0;
    HANDLE console = consoleOf(stream, mode);
    if (!console) {
        std::fwrite(text.constData(), 1, size_t(text.size()), stream);
        std::fflush(stream);
        return;
    }
    std::fflush(stream);
    const std::wstring wide = QString::fromUtf8(text).toStdWString();
    // In pieces that end between characters: a console refuses a write of
    // more than some tens of KiB.
    for (std::size_t at = 0; at < wide.size();) {
        std::size_t count = std::min<std::size_t>(wide.size() - at, 8192);
        if (count > 1 && IS_HIGH_SURROGATE(wide[at + count - 1]))
            --count;
        DWORD written = 0;
        if (!WriteConsoleW(console, wide.data() + at, DWORD(count), &written, nullptr) || written == 0)
            return;
        at += written;
    }
}

namespace {

// This program's own file, of any length.
std::wstring ownFileName()
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, name.data(), DWORD(name.size()));
        if (n == 0)
            return {};
        if (n < name.size()) {
            name.resize(n);
            return name;
        }
        name.resize(name.size() * 2);
    }
}

// The command line after the program's name, as the caller wrote it: the
// name ends as CommandLineToArgvW ends it (at the closing quote, or at the
// first blank).
const wchar_t *afterProgramName(const wchar_t *line)
{
    if (*line == L'"') {
        ++line;
        while (*line && *line != L'"')
            ++line;
        return *line ? line + 1 : line;
    }
    while (*line && *line != L' ' && *line != L'\t')
        ++line;
    return line;
}

} // namespace

bool StartBesideWithOwnArguments(const QString &fileName, QString &error)
{
    const std::wstring own = ownFileName();
    const std::size_t slash = own.find_last_of(L"\\/");
    if (own.empty() || slash == std::wstring::npos) {
        error = systemText(GetLastError());
        return false;
    }
    const std::wstring program = own.substr(0, slash + 1) + fileName.toStdWString();
    std::wstring line = L"\"" + program + L"\"" + afterProgramName(GetCommandLineW());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
        error = QStringLiteral("%1: %2").arg(QString::fromStdWString(program), systemText(GetLastError()));
        return false;
    }
    // The window may come to the front, although this console program is
    // the one the user started.
    AllowSetForegroundWindow(started.dwProcessId);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}


QString WorkingFolder(QString *error)
{
    const QString folder = QDir::toNativeSeparators(QDir::currentPath());
    if (folder.isEmpty() && error)
        *error = systemText(GetLastError());
    return folder;
}

QStringList ProgramArguments(int, const char *const *)
{
    QStringList arguments;
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; wide && i < count; ++i)
        arguments << QString::fromWCharArray(wide[i]);
    LocalFree(wide);
    return arguments;
}

QString EngineLibraryFileName() { return QStringLiteral("zip32.dll"); }

QByteArray EngineRootText(const QString &root) { return root.toUpper().toUtf8(); }

bool MeansNotThere(const QString &reason)
{
    return reason == systemText(ERROR_PATH_NOT_FOUND) || reason == systemText(ERROR_FILE_NOT_FOUND);
}

QSettings *OpenSettingsStore(const QString &organisation)
{
    // Qt's own addressing by organisation alone would put the values under
    // "<organisation>\OrganizationDefaults".
    return new QSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\") + organisation,
                         QSettings::NativeFormat);
}

NativePath ToNativePath(const QString &path) { return path.toStdWString(); }

QString FromNativePath(const NativePath &path) { return QString::fromStdWString(path); }

bool IsFolder(const QString &path)
{
    if (!usable(path))
        return false;
    const DWORD attrs = attributesOf(ToNativePath(path));
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsNonFolder(const QString &path)
{
    if (!usable(path))
        return false;
    const DWORD attrs = attributesOf(ToNativePath(path));
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

Qt::CaseSensitivity FileNameCaseIn(const QString &) { return Qt::CaseInsensitive; }

Removal RemoveFileOnce(const QString &path)
{
    if (!usable(path))
        return Removal::NotThere;
    if (DeleteFileW(systemPath(ToNativePath(path)).c_str()))
        return Removal::Removed;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Removal::NotThere
                                                                        : Removal::Refused;
}

void ForceRemoveFile(const QString &path)
{
    if (!usable(path))
        return;
    const NativePath wide = systemPath(ToNativePath(path));
    const DWORD attrs = GetFileAttributesW(wide.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY))
        return;
    const bool madeWritable = (attrs & FILE_ATTRIBUTE_READONLY)
        && SetFileAttributesW(wide.c_str(), attrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (DeleteFileW(wide.c_str()))
        return;
    if (madeWritable)
        SetFileAttributesW(wide.c_str(), attrs);
}

bool ResolvesToRoot(const QString &path)
{
    return usable(path) && IsFileSystemRoot(ResolvedPath(ToNativePath(path)));
}

namespace {

bool folderIdAt(const NativePath &path, FolderId &id)
{
    HANDLE h = openForAttributes(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!ok || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    id.device = info.dwVolumeSerialNumber;
    id.node = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

} // namespace

WalkFolder::WalkFolder(WalkFolder &&other) noexcept : m_path(std::move(other.m_path)) { other.m_path.clear(); }

WalkFolder &WalkFolder::operator=(WalkFolder &&other) noexcept
{
    m_path = std::move(other.m_path);
    other.m_path.clear();
    return *this;
}

bool WalkFolder::isOpen() const { return !m_path.empty(); }

void WalkFolder::close() { m_path.clear(); }

WalkFolder WalkFolder::open(const NativePath &path)
{
    WalkFolder folder;
    FolderId id;
    if (folderIdAt(path, id))
        folder.m_path = path.back() == L'\\' ? path : path + L"\\";
    return folder;
}

WalkFolder WalkFolder::child(const NativePath &name, bool follow, const FolderId &id) const
{
    WalkFolder folder;
    const NativePath path = m_path + name + L"\\";
    const DWORD attrs = attributesOf(path);
    FolderId found;
    if (attrs != INVALID_FILE_ATTRIBUTES && (follow || !(attrs & FILE_ATTRIBUTE_REPARSE_POINT))
        && folderIdAt(path, found) && found == id)
        folder.m_path = path;
    return folder;
}

std::size_t WalkFolderBudget() { return 64; }

bool FolderIdOf(const WalkFolder &folder, FolderId &id) { return folderIdAt(folder.m_path, id); }

bool ListFolders(const WalkFolder &held, const std::function<void()> &yield,
                 const std::function<void(ListedFolder &&)> &found)
{
    const NativePath &folder = held.m_path;
    WIN32_FIND_DATAW data;
    const NativePath pattern = folder + L"*";
    HANDLE find = FindFirstFileExW(systemPath(pattern).c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    yield();
    do {
        yield();
        const DWORD attrs = data.dwFileAttributes;
        if ((attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) || !(attrs & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        ListedFolder entry;
        entry.name = data.cFileName;
        if (entry.name == L"." || entry.name == L".." || !folderIdAt(folder + entry.name + L"\\", entry.id))
            continue;
        // Symbolic links, junctions and mount points alike.
        entry.link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        found(std::move(entry));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return true;
}

NativePath ResolvedPathIn(const WalkFolder &folder, const NativePath &name)
{
    return ResolvedPath(folder.m_path + name);
}

QString LinkTextIn(const WalkFolder &folder, const NativePath &name)
{
    return FromNativePath(ResolvedPath(folder.m_path + name));
}

NativePath ResolvedPath(const NativePath &path)
{
    HANDLE h = openForAttributes(path);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    wchar_t buffer[32768];
    const DWORD n = GetFinalPathNameByHandleW(h, buffer, DWORD(std::size(buffer)), FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= std::size(buffer))
        return {};
    NativePath out(buffer, n);
    // "\\?\C:\..." and "\\?\UNC\server\..." as a person writes them.
    if (out.rfind(L"\\\\?\\UNC\\", 0) == 0)
        out = L"\\\\" + out.substr(8);
    else if (out.rfind(L"\\\\?\\", 0) == 0)
        out = out.substr(4);
    if (out.size() > 3 && out.back() == L'\\')
        out.pop_back();
    return out;
}

bool IsFileSystemRoot(const NativePath &resolved)
{
    if (resolved.size() == 3 && resolved[1] == L':' && resolved[2] == L'\\')
        return true;
    // "\\server\share": a share's root.
    return resolved.rfind(L"\\\\", 0) == 0
        && std::count(resolved.begin() + 2, resolved.end(), L'\\') <= 1;
}

bool IsSystemFileSystem(const NativePath &) { return false; }

#else // POSIX

namespace {

FolderId idOf(const struct stat &st)
{
    return FolderId{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

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

bool MeansNotThere(const QString &reason)
{
    return reason == QString::fromLocal8Bit(std::strerror(ENOENT));
}

QSettings *OpenSettingsStore(const QString &organisation)
{
    return new QSettings(QSettings::NativeFormat, QSettings::UserScope, organisation, QString());
}

NativePath ToNativePath(const QString &path) { return FileNameToNative(path); }

QString FromNativePath(const NativePath &path) { return FileNameFromNative(path); }

bool IsFolder(const QString &path)
{
    struct stat st;
    return usable(path) && ::stat(FileNameToNative(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsNonFolder(const QString &path)
{
    struct stat st;
    return usable(path) && ::lstat(FileNameToNative(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

namespace {

// Makes a name in the folder held as `fd` and looks for it in upper case:
// the file system's own answer, where its type does not tell.
Qt::CaseSensitivity probedCase(int fd)
{
    const QByteArray name = ".quillbarrow-names-" + QByteArray::number(qint64(::getpid())) + "-case";
    const int made = ::openat(fd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made < 0)
        return Qt::CaseSensitive;   // nothing can be written there anyway
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
    const int fd = usable(folder) ? ::open(FileNameToNative(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd < 0)
        return Qt::CaseSensitive;
    Qt::CaseSensitivity names = Qt::CaseSensitive;
#  ifdef __linux__
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
#  else
    names = probedCase(fd);
#  endif
    ::close(fd);
    return names;
}

Removal RemoveFileOnce(const QString &path)
{
    if (!usable(path))
        return Removal::NotThere;
    // unlink never removes a directory, and removes a link rather than
    // what it points to.
    if (::unlink(FileNameToNative(path).constData()) == 0)
        return Removal::Removed;
    return errno == ENOENT ? Removal::NotThere : Removal::Refused;
}

void ForceRemoveFile(const QString &path)
{
    if (!usable(path))
        return;
    const QByteArray native = FileNameToNative(path);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return;
    // chmod follows links, so only a plain file gets its mode changed; a
    // link is removed as it is.
    const mode_t oldMode = st.st_mode & 07777;
    const bool madeWritable = S_ISREG(st.st_mode) && !(oldMode & S_IWUSR)
        && ::chmod(native.constData(), oldMode | S_IWUSR) == 0;
    if (::unlink(native.constData()) == 0)
        return;
    if (madeWritable)
        ::chmod(native.constData(), oldMode);
}

bool ResolvesToRoot(const QString &path)
{
    // A link to "/" is a root too; the name's bytes are resolved as they are.
    return usable(path) && IsFileSystemRoot(ResolvedPath(FileNameToNative(path)));
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
    folder.m_fd = ::openat(m_fd, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    FolderId found;
    if (folder.isOpen() && !(FolderIdOf(folder, found) && found == id))
        folder.close();   // another folder than the one listed: not walked
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

namespace {

// Calls `each` with every name in the folder held as `fd`, in the
// directory's own order, with its type when the listing tells it
// (DT_UNKNOWN otherwise). False when the folder cannot be read.
bool eachName(int fd, const std::function<void(const char *name, unsigned char type)> &each)
{
#  ifdef __linux__
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
#  else
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
#  endif
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

NativePath ResolvedPathIn(const WalkFolder &folder, const NativePath &name)
{
#  ifdef O_PATH
    const int fd = ::openat(folder.m_fd, name.constData(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return {};
    char path[PATH_MAX];
    const ssize_t n = ::readlink(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), path, sizeof path);
    ::close(fd);
    const QByteArray got(path, n > 0 ? n : 0);
    if (n > 0 && size_t(n) < sizeof path && got.startsWith('/') && !got.endsWith(" (deleted)"))
        return got;
#  endif
    return {};
}

NativePath ResolvedPath(const NativePath &path)
{
    // The kernel's own name for what the path opens: an open and a readlink
    // instead of realpath's look at every part of the path (the engine
    // resolves its folders the same way).
#  ifdef O_PATH
    const int fd = ::open(path.constData(), O_PATH | O_CLOEXEC);
    if (fd >= 0) {
        char name[PATH_MAX];
        const ssize_t n = ::readlink(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), name,
                                     sizeof name);
        ::close(fd);
        const QByteArray got(name, n > 0 ? n : 0);
        if (n > 0 && size_t(n) < sizeof name && got.startsWith('/') && !got.endsWith(" (deleted)"))
            return got;
    }
#  endif
    char *resolved = ::realpath(path.constData(), nullptr);
    QByteArray out(resolved ? resolved : "");
    std::free(resolved);
    return out;
}

bool IsFileSystemRoot(const NativePath &resolved) { return resolved == "/"; }

bool IsSystemFileSystem(const NativePath &resolved)
{
    for (const char *top : {"/proc", "/sys", "/dev"})
        if (IsWithin(resolved, QByteArray(top)))
            return true;
#ifdef __linux__
    struct statfs fs;
    if (::statfs(resolved.constData(), &fs) == 0) {
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

QString LinkTextIn(const WalkFolder &folder, const NativePath &name)
{
    QByteArray text(4096, '\0');
    const ssize_t n = ::readlinkat(folder.m_fd, name.constData(), text.data(), size_t(text.size()));
    text.resize(n > 0 ? n : 0);
    return FileNameFromNative(text);
}

#endif
