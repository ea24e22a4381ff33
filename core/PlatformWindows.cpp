// The core's system calls on Windows (see core/Platform.h). The build
// compiles this file on Windows only, and PlatformPosix.cpp elsewhere.
#include "core/Platform.h"

#include <QDir>
#include <QSettings>

#include <algorithm>

#ifndef NOMINMAX
#  define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <shellapi.h>

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
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
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

bool FolderExists(const QString &path)
{
    if (!IsUsablePath(path))
        return false;
    const DWORD attrs = attributesOf(ToNativePath(path));
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileIsThere(const QString &path)
{
    if (!IsUsablePath(path))
        return false;
    const DWORD attrs = attributesOf(ToNativePath(path));
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

Qt::CaseSensitivity FileNameCaseIn(const QString &) { return Qt::CaseInsensitive; }

Removal RemoveFileOnce(const QString &path)
{
    if (!IsUsablePath(path))
        return Removal::NotThere;
    if (DeleteFileW(systemPath(ToNativePath(path)).c_str()))
        return Removal::Removed;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Removal::NotThere
                                                                          : Removal::Refused;
}

void ForceRemoveFile(const QString &path)
{
    if (!IsUsablePath(path))
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
    return IsUsablePath(path) && IsFileSystemRoot(ResolvedPath(ToNativePath(path)));
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

WalkFolder::WalkFolder(WalkFolder &&other) noexcept : m_path(std::move(other.m_path))
{
    other.m_path.clear();
}

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

bool FolderIdAt(const QString &path, FolderId &id)
{
    return IsUsablePath(path) && folderIdAt(ToNativePath(path), id);
}

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
    return resolved.rfind(L"\\\\", 0) == 0 && std::count(resolved.begin() + 2, resolved.end(), L'\\') <= 1;
}

bool IsSystemFileSystem(const NativePath &) { return false; }
