// The engine's file access on Windows: wide-character calls throughout, paths
// opened with the "\\?\" prefix, UTF-8 everywhere else.
#include "platform/Platform.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifndef NOMINMAX
#  define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <winternl.h>

// ntdll's folder listing from a handle, which winternl.h does not declare.
extern "C" NTSYSAPI NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                                        PVOID context, PIO_STATUS_BLOCK io, PVOID information,
                                                        ULONG length, FILE_INFORMATION_CLASS kind,
                                                        BOOLEAN single, PUNICODE_STRING name,
                                                        BOOLEAN restart);

namespace zip32 {

const int kErrNotDir = ERROR_DIRECTORY;
const int kErrIsDir = ERROR_ACCESS_DENIED; // what Windows says when a folder is opened as a file
const int kErrExists = ERROR_FILE_EXISTS;
const int kErrNoMemory = ERROR_NOT_ENOUGH_MEMORY;
const int kErrIO = ERROR_READ_FAULT;
const int kErrBadHandle = ERROR_INVALID_HANDLE;
const int kErrNameTooLong = ERROR_FILENAME_EXCED_RANGE;

namespace {

// UTF-8 to UTF-16. A UTF-16 name may hold a lone surrogate, which the other
// direction writes as its three-byte form; such forms come back here as the
// same surrogate, so no name read from a folder is changed on the way. Bytes
// that are not UTF-8 at all become U+FFFD.
std::wstring widen(std::string_view s)
{
    std::wstring out;
    out.reserve(s.size());
    const auto *bytes = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t i = 0; i < s.size();) {
        char32_t cp;
        const size_t length = utf8::sequence(bytes + i, s.size() - i, cp, true);
        if (length == 0) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (cp >> 10));
            out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
        i += length;
    }
    return out;
}

std::string narrow(std::wstring_view w)
{
    std::string out;
    out.reserve(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        char32_t cp = static_cast<uint16_t>(w[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < w.size()) {
            const uint32_t low = static_cast<uint16_t>(w[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        utf8::append(out, cp);
    }
    return out;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool hasDrive(std::string_view p)
{
    return p.size() >= 2 && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':';
}

// Length of the part of a full path that names the drive ("C:") or the
// share ("\\server\share"); 0 for anything else.
size_t prefixLength(std::string_view p)
{
    if (hasDrive(p))
        return 2;
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {
        size_t server = p.find('\\', 2);
        if (server == std::string::npos)
            return p.size();
        size_t share = p.find('\\', server + 1);
        return share == std::string::npos ? p.size() : share;
    }
    return 0;
}

// A full path in the engine's spelling: '\' between parts, no "\\?\", no
// "." or ".." parts, no doubled or trailing separators except for the root
// of a drive or share ("C:\").
std::string normalizeFull(std::string p)
{
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.rfind("\\\\?\\UNC\\", 0) == 0)
        p = "\\\\" + p.substr(8);
    else if (p.rfind("\\\\?\\", 0) == 0 || p.rfind("\\\\.\\", 0) == 0)
        p = p.substr(4);
    const size_t prefix = prefixLength(p);
    std::string rest = p.substr(prefix);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    // normalizePath never climbs above its root, which here is the drive's.
    std::string clean = normalizePath("/" + rest);
    std::replace(clean.begin(), clean.end(), '/', '\\');
    return p.substr(0, prefix) + clean;
}

// The form handed to the system: "\\?\C:\..." or "\\?\UNC\server\share\...",
// so that no length limit and no name rewriting applies.
std::wstring longPath(const std::string &path)
{
    if (hasDrive(path) && path.size() >= 3 && path[2] == '\\')
        return L"\\\\?\\" + widen(path);
    if (path.size() > 2 && path[0] == '\\' && path[1] == '\\' && path[2] != '?' && path[2] != '.')
        return L"\\\\?\\UNC\\" + widen(path.substr(2));
    return widen(path);
}

// A time in 100 ns since 1601 as seconds and nanoseconds since 1970.
void splitTime(uint64_t ticks, int64_t &seconds, int64_t &nanoseconds)
{
    const int64_t t = static_cast<int64_t>(ticks) - INT64_C(116444736000000000);
    seconds = t / 10000000;
    int64_t rest = t % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    nanoseconds = rest * 100;
}

uint64_t ticksOf(const FILETIME &ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void setTime(FileInfo &info, const FILETIME &ft) { splitTime(ticksOf(ft), info.mtime, info.mtimeNs); }

uint32_t modeOf(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return S_IFDIR | 0755;
    return S_IFREG | ((attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644);
}

FileInfo infoOf(const BY_HANDLE_FILE_INFORMATION &bi)
{
    FileInfo info;
    info.mode = modeOf(bi.dwFileAttributes);
    info.size = (static_cast<uint64_t>(bi.nFileSizeHigh) << 32) | bi.nFileSizeLow;
    info.dev = bi.dwVolumeSerialNumber;
    info.ino = (static_cast<uint64_t>(bi.nFileIndexHigh) << 32) | bi.nFileIndexLow;
    setTime(info, bi.ftLastWriteTime);
    return info;
}

// Closes `h` after a call that gave `ok`, keeping that call's error.
bool closeAfter(HANDLE h, bool ok)
{
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!ok)
        SetLastError(error);
    return ok;
}

// The file index of the file open as `h`: what nFileIndex holds.
bool fileIndexOf(HANDLE h, uint64_t &index)
{
    IO_STATUS_BLOCK io{};
    FILE_INTERNAL_INFORMATION internal{};
    const NTSTATUS status =
        NtQueryInformationFile(h, &io, &internal, sizeof internal, FileInternalInformation);
    index = static_cast<uint64_t>(internal.IndexNumber.QuadPart);
    return NT_SUCCESS(status);
}

// The volume serial number of the folder open as `folder`, remembered for
// the last few folders a thread asked about (a folder is known again by its
// handle, index and creation time): under Wine every look at a volume is a
// round trip to its mount manager, for each file of a folder otherwise.
bool volumeOf(HANDLE folder, uint64_t &serial)
{
    struct Known {
        HANDLE folder = nullptr;
        uint64_t index = 0;
        int64_t created = 0;
        uint64_t serial = 0;
    };
    thread_local Known known[8];
    thread_local unsigned next = 0;
    FILE_BASIC_INFO basic{};
    uint64_t index = 0;
    if (!GetFileInformationByHandleEx(folder, FileBasicInfo, &basic, sizeof basic)
        || !fileIndexOf(folder, index))
        return false;
    for (const Known &k : known) {
        if (k.folder == folder && k.index == index && k.created == basic.CreationTime.QuadPart) {
            serial = k.serial;
            return true;
        }
    }
    BY_HANDLE_FILE_INFORMATION bi;
    if (!GetFileInformationByHandle(folder, &bi))
        return false;
    serial = bi.dwVolumeSerialNumber;
    known[next++ % 8] = {folder, index, basic.CreationTime.QuadPart, serial};
    return true;
}

// What the engine knows of the file open as `h`; `folder`, when not null,
// is the folder it was opened in. The change time is the file system's own
// (FILE_BASIC_INFO.ChangeTime), moved by every change of the file's data or
// attributes; neither the C runtime's st_ctime (the creation time) nor a
// folder listing's copy of it, which can lag behind for a file held open
// elsewhere. A file that is neither a folder nor a link lies on the volume
// of the folder holding it.
bool handleInfo(HANDLE h, FileInfo &info, HANDLE folder = nullptr)
{
    info = FileInfo{};
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    const bool basics = GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) != 0;
    constexpr DWORD kOwnVolume = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (basics && folder && !(basic.FileAttributes & kOwnVolume)
        && GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard)
        && fileIndexOf(h, info.ino) && volumeOf(folder, info.dev)) {
        info.mode = modeOf(basic.FileAttributes);
        info.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
        splitTime(static_cast<uint64_t>(basic.LastWriteTime.QuadPart), info.mtime, info.mtimeNs);
    } else {
        BY_HANDLE_FILE_INFORMATION bi;
        if (!GetFileInformationByHandle(h, &bi))
            return false;
        info = infoOf(bi);
    }
    info.ctime = info.ctimeNs = 0;
    if (basics && basic.ChangeTime.QuadPart > 0)
        splitTime(static_cast<uint64_t>(basic.ChangeTime.QuadPart), info.ctime, info.ctimeNs);
    return true;
}

// A file that cannot even be opened to read its attributes (another program
// holds it with no sharing at all) still gets an identity of its own, so it
// is listed and its read fails with the system's reason.
std::atomic<uint64_t> g_madeUpIdentity{0};

} // namespace

int lastError() { return static_cast<int>(GetLastError()); }

void setLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

std::string errorText(int error)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text)
        out = narrow(std::wstring_view(text, n));
    if (text)
        LocalFree(text);
    while (!out.empty()
           && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    if (out.empty())
        out = "system error " + std::to_string(static_cast<unsigned long>(error));
    return out;
}

bool isNotFound(int error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool isAbsolutePath(const std::string &path)
{
    return (hasDrive(path) && path.size() >= 3 && isSeparator(path[2]))
           || (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]));
}

std::string absolutePath(const std::string &path)
{
    if (isAbsolutePath(path))
        return normalizeFull(path);
    // "\folder" (the current drive's), "C:folder" and plain relative names
    // depend on the current folder: the system resolves them.
    const std::wstring wide = widen(path);
    std::wstring full(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0)
            break;
        if (n < full.size()) {
            full.resize(n);
            return normalizeFull(narrow(full));
        }
        full.assign(n + 1, L'\0');
    }
    return {};
}

std::string resolvePath(const std::string &root, const std::string &name)
{
    if (isAbsolutePath(name))
        return normalizeFull(name);
    if ((!name.empty() && isSeparator(name[0])) || hasDrive(name))
        return absolutePath(name);
    return normalizeFull(joinPath(root, name));
}

void splitPath(std::string_view path, std::string_view &dir, std::string_view &last)
{
    const size_t prefix = prefixLength(path);
    const size_t sep = path.rfind('\\');
    if (sep == std::string::npos || sep < prefix) {
        dir = path;
        last = {};
        return;
    }
    dir = sep == prefix ? path.substr(0, prefix + 1) : path.substr(0, sep);
    last = path.substr(sep + 1);
}

std::string storedName(const std::string &path, const std::string &root, bool ignorePath)
{
    if (ignorePath) {
        const size_t sep = path.rfind('\\');
        return sep == std::string::npos ? path : path.substr(sep + 1);
    }
    const std::wstring p = widen(path);
    const std::wstring r = widen(root);
    auto startsWithRoot = [&] {
        return p.size() >= r.size()
               && CompareStringOrdinal(p.data(), static_cast<int>(r.size()), r.data(),
                                       static_cast<int>(r.size()), TRUE)
                      == CSTR_EQUAL;
    };
    std::wstring rel;
    if (!r.empty() && r.back() == L'\\' && startsWithRoot()) {
        rel = p.substr(r.size()); // the root of a drive or share
    } else if (startsWithRoot() && p.size() == r.size()) {
        return {};
    } else if (startsWithRoot() && p[r.size()] == L'\\') {
        rel = p.substr(r.size() + 1);
    } else {
        // Outside the root: the whole path without the drive ("C:\") or the
        // "\\" before a server's name.
        const size_t prefix = hasDrive(path) ? 2 : 0;
        size_t start = prefix;
        while (start < p.size() && p[start] == L'\\')
            ++start;
        rel = p.substr(start);
    }
    std::replace(rel.begin(), rel.end(), L'\\', L'/');
    return narrow(rel);
}

bool statPath(const std::string &path, bool follow, FileInfo &info)
{
    const std::wstring wide = longPath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
        return false;
    const bool reparse = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (reparse && !follow) {
        // Symbolic links, junctions and mount points are links to the walk.
        info = FileInfo{};
        info.mode = S_IFLNK | 0777;
        return true;
    }
    HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        return closeAfter(h, handleInfo(h, info));
    if (reparse)
        return false; // where the link leads is not there
    info = FileInfo{};
    info.mode = modeOf(data.dwFileAttributes);
    info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info.dev = UINT64_MAX;
    info.ino = ++g_madeUpIdentity;
    setTime(info, data.ftLastWriteTime);
    return true;
}

const bool kStoresLinks = false;

// The file system stamps its times from the system clock: on Windows from
// the very tick GetSystemTimeAsFileTime reads; under Wine from the Linux
// kernel's coarse clock, up to a tick behind the one Wine reads here. Taken
// this much early, the moment is never later than a stamp made after it.
constexpr int64_t kStampLag = 320000; // 32 ms in 100 ns

bool fileSystemNow(int64_t &seconds, int64_t &nanoseconds)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    splitTime(ticksOf(now) - kStampLag, seconds, nanoseconds);
    return true;
}

bool setModifiedTime(FileHandle file, int64_t seconds, int64_t nanoseconds)
{
    FILE_BASIC_INFO basic{}; // times of 0 and attributes of 0 are left as they are
    basic.LastWriteTime.QuadPart = seconds * 10000000 + nanoseconds / 100 + INT64_C(116444736000000000);
    return SetFileInformationByHandle(reinterpret_cast<HANDLE>(file), FileBasicInfo, &basic, sizeof basic)
           != 0;
}

namespace {

// The fixed part of a reparse point's data as FSCTL_GET_REPARSE_POINT
// returns it for symbolic links and junctions (REPARSE_DATA_BUFFER, which
// the user-mode headers do not declare).
struct ReparseHeader {
    DWORD tag;
    WORD dataLength;
    WORD reserved;
    WORD substituteOffset, substituteLength, printOffset, printLength;
};

} // namespace

namespace {

// The text a symbolic link or junction open as `h` holds.
bool reparseTarget(HANDLE h, std::string &target)
{
    std::vector<unsigned char> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    const BOOL ok = DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                                    static_cast<DWORD>(data.size()), &got, nullptr);
    ReparseHeader head{};
    if (!ok || got < sizeof head) {
        if (ok)
            SetLastError(ERROR_INVALID_REPARSE_DATA);
        return false;
    }
    std::memcpy(&head, data.data(), sizeof head);
    // A symbolic link's names follow a flags field that a junction lacks.
    const size_t names = sizeof head + (head.tag == IO_REPARSE_TAG_SYMLINK ? 4 : 0);
    if (head.tag != IO_REPARSE_TAG_SYMLINK && head.tag != IO_REPARSE_TAG_MOUNT_POINT) {
        SetLastError(ERROR_NOT_A_REPARSE_POINT);
        return false;
    }
    const bool print = head.printLength > 0;
    const size_t offset = names + (print ? head.printOffset : head.substituteOffset);
    const size_t length = print ? head.printLength : head.substituteLength;
    if (offset + length > got) {
        SetLastError(ERROR_INVALID_REPARSE_DATA);
        return false;
    }
    std::wstring text(length / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), data.data() + offset, text.size() * sizeof(wchar_t));
    target = narrow(text);
    return true;
}

} // namespace

bool isWithin(const std::string &path, const std::string &folder)
{
    const std::wstring p = widen(path);
    const std::wstring f = widen(folder);
    if (p.size() < f.size()
        || CompareStringOrdinal(p.data(), static_cast<int>(f.size()), f.data(), static_cast<int>(f.size()),
                                TRUE)
               != CSTR_EQUAL)
        return false;
    // "C:\" (a drive's root) ends in its separator already.
    return p.size() == f.size() || (!f.empty() && f.back() == L'\\') || p[f.size()] == L'\\';
}

bool isPseudoFileSystem(const std::string &)
{
    // Windows shows no kernel-made file systems as folders of a drive.
    return false;
}

// "The file cannot be accessed by the system": what a link met where none is
// followed is taken for.
const int kErrIsLink = ERROR_CANT_ACCESS_FILE;
const int kErrChanged = ERROR_FILE_INVALID;

namespace {

// Opens `name` in the folder held as `folder` by the system's own call for
// it, relative to the folder's handle: nothing on the way can be swapped.
// `options` are NtCreateFile's; on failure INVALID_HANDLE_VALUE with the
// Win32 error set.
HANDLE openRelative(FolderHandle folder, const std::string &name, ACCESS_MASK access, ULONG share,
                    ULONG disposition, ULONG options, ULONG attributes = 0)
{
    std::wstring wide = widen(name);
    UNICODE_STRING text;
    text.Buffer = wide.data();
    text.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, reinterpret_cast<HANDLE>(folder),
                               nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE h = INVALID_HANDLE_VALUE;
    const NTSTATUS status = NtCreateFile(&h, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share,
                                         disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        DWORD error = RtlNtStatusToDosError(status);
        if (error == ERROR_ALREADY_EXISTS)
            error = ERROR_FILE_EXISTS; // as CreateFileW says it
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

bool isReparsePoint(HANDLE h)
{
    FILE_BASIC_INFO basic{};
    return GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)
           && (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A handle opened on a link itself where none is to be followed: closed,
// and said to be a link.
HANDLE refuseLink(HANDLE h, bool follow)
{
    if (h == INVALID_HANDLE_VALUE || follow || !isReparsePoint(h))
        return h;
    CloseHandle(h);
    SetLastError(kErrIsLink);
    return INVALID_HANDLE_VALUE;
}

bool finalPathOf(HANDLE h, std::string &resolved)
{
    std::wstring finalPath(MAX_PATH, L'\0');
    DWORD n = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        n = GetFinalPathNameByHandleW(h, finalPath.data(), static_cast<DWORD>(finalPath.size()),
                                      FILE_NAME_NORMALIZED);
        if (n == 0 || n < finalPath.size())
            break;
        finalPath.assign(n + 1, L'\0');
    }
    if (n == 0 || n >= finalPath.size()) {
        if (n != 0)
            SetLastError(ERROR_BUFFER_OVERFLOW);
        return false;
    }
    finalPath.resize(n);
    resolved = normalizeFull(narrow(finalPath)); // drops the "\\?\" (or "\\?\UNC\") prefix
    return true;
}

bool markForDeletion(HANDLE h)
{
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose) != 0;
}

} // namespace

FolderHandle openFolder(const std::string &path)
{
    HANDLE h = CreateFileW(longPath(path).c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // One that may be passed through, not listed, still leads inside.
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = CreateFileW(longPath(path).c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION bi;
    if (h != INVALID_HANDLE_VALUE
        && (!GetFileInformationByHandle(h, &bi) || !(bi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(h);
        SetLastError(ERROR_DIRECTORY);
        h = INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<FolderHandle>(h);
}

FolderHandle openFolderIn(FolderHandle parent, const std::string &name, bool follow)
{
    const ULONG options =
        FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | (follow ? 0 : FILE_OPEN_REPARSE_POINT);
    HANDLE h = openRelative(parent, name, kFolderAccess, kShareAll, FILE_OPEN, options);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = openRelative(parent, name, FILE_TRAVERSE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, options);
    // A link to a file where a folder is wanted.
    FileInfo st;
    if (h == INVALID_HANDLE_VALUE && !follow && GetLastError() == ERROR_DIRECTORY
        && statIn(parent, name, false, st) && S_ISLNK(st.mode))
        SetLastError(kErrIsLink);
    return reinterpret_cast<FolderHandle>(refuseLink(h, follow));
}

void closeFolder(FolderHandle folder)
{
    if (folder != kNoFile)
        CloseHandle(reinterpret_cast<HANDLE>(folder));
}

bool statIn(FolderHandle folder, const std::string &name, bool follow, FileInfo &info)
{
    HANDLE h = openRelative(folder, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                            FILE_OPEN_FOR_BACKUP_INTENT | (follow ? 0 : FILE_OPEN_REPARSE_POINT));
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool reparse = !follow && isReparsePoint(h);
    if (!closeAfter(h, handleInfo(h, info, reinterpret_cast<HANDLE>(folder))))
        return false;
    // Symbolic links, junctions and mount points are links to the walk.
    if (reparse) {
        info.mode = S_IFLNK | 0777;
        info.size = 0;
    }
    return true;
}

FileHandle openIn(FolderHandle folder, const std::string &name, bool follow)
{
    HANDLE h =
        openRelative(folder, name, FILE_GENERIC_READ, kShareAll, FILE_OPEN,
                     FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | (follow ? 0 : FILE_OPEN_REPARSE_POINT));
    return reinterpret_cast<FileHandle>(refuseLink(h, follow));
}

bool resolveIn(FolderHandle folder, const std::string &name, const std::string &, std::string &resolved,
               FileInfo &target)
{
    HANDLE h =
        openRelative(folder, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    return closeAfter(h, finalPathOf(h, resolved) && handleInfo(h, target));
}

bool readLinkIn(FolderHandle folder, const std::string &name, std::string &target)
{
    HANDLE h = openRelative(folder, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                            FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    return closeAfter(h, reparseTarget(h, target));
}

bool resolvedFolder(FolderHandle folder, const std::string &, std::string &resolved)
{
    return finalPathOf(reinterpret_cast<HANDLE>(folder), resolved);
}

namespace {

// The volume's file system by its name, and its kind of drive.
bool changeTimesAreReal(std::wstring_view fileSystem, unsigned driveType)
{
    // NTFS and ReFS keep a change time of their own. FAT and exFAT have none,
    // and a share says what its server likes (Samba calls itself "NTFS").
    const bool keeps = fileSystem == L"NTFS" || fileSystem == L"ReFS";
    return keeps && (driveType == DRIVE_FIXED || driveType == DRIVE_REMOVABLE || driveType == DRIVE_RAMDISK);
}

} // namespace

bool keepsChangeTimes(FolderHandle folder)
{
    const auto h = reinterpret_cast<HANDLE>(folder);
    wchar_t fileSystem[MAX_PATH + 1] = {};
    if (!GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1))
        return false;
    // The kind of drive, from the root of the volume the folder lies on.
    std::string path;
    if (!finalPathOf(h, path))
        return false;
    std::wstring root(path.size() + 2, L'\0');
    if (!GetVolumePathNameW(longPath(path).c_str(), root.data(), static_cast<DWORD>(root.size())))
        return false;
    return changeTimesAreReal(fileSystem, GetDriveTypeW(root.c_str()));
}

// Windows replaces no file that a handle is open on, even this process's.
bool replacesHeldFiles(FolderHandle) { return false; }

size_t folderBudget() { return 256; }

FolderReader::~FolderReader() = default;

bool FolderReader::open(FolderHandle folder)
{
    entries_.clear();
    error_ = 0;
    // The folder's entries from its handle, from the start, in the layout of
    // FILE_ID_BOTH_DIR_INFO.
    std::vector<unsigned char> buffer(64u << 10);
    for (bool first = true;; first = false) {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = NtQueryDirectoryFile(
            reinterpret_cast<HANDLE>(folder), nullptr, nullptr, nullptr, &io, buffer.data(),
            static_cast<ULONG>(buffer.size()), FileIdBothDirectoryInformation, FALSE, nullptr, first);
        constexpr auto kNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
        constexpr auto kNoSuchFile = static_cast<NTSTATUS>(0xC000000FL); // an empty drive root
        if (status == kNoMoreFiles || status == kNoSuchFile)
            return true;
        if (!NT_SUCCESS(status)) {
            SetLastError(RtlNtStatusToDosError(status));
            if (first)
                return false;
            // Broken off part way: what was read is still listed, and
            // names() tells.
            error_ = static_cast<int>(GetLastError());
            return true;
        }
        for (size_t at = 0;;) {
            const auto *entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(buffer.data() + at);
            const std::wstring_view name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            entries_.emplace_back(narrow(name), static_cast<uint32_t>(entry->FileAttributes));
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
    }
}

bool FolderReader::names(bool includeHidden, std::vector<std::string> &out)
{
    out.clear();
    for (const auto &[name, attributes] : entries_) {
        if (name == "." || name == "..")
            continue;
        // Hidden and system entries are what Windows leaves out of a listing.
        if (!includeHidden && (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
            continue;
        out.push_back(name);
    }
    if (error_ != 0)
        SetLastError(static_cast<DWORD>(error_));
    return error_ == 0;
}

bool temporaryNamesIn(FolderHandle dir, const std::string &, NameTest isTemporary,
                      std::vector<std::string> &out)
{
    return namesMatching(dir, isTemporary, out);
}

FileHandle openForReading(const std::string &path, bool follow)
{
    HANDLE h = CreateFileW(longPath(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    return reinterpret_cast<FileHandle>(refuseLink(h, follow));
}

bool fileInfo(FileHandle file, FileInfo &info)
{
    if (!handleInfo(reinterpret_cast<HANDLE>(file), info))
        return false;
    if (GetFileType(reinterpret_cast<HANDLE>(file)) != FILE_TYPE_DISK)
        info.mode = (info.mode & ~S_IFMT) | S_IFCHR;
    return true;
}

namespace {

constexpr size_t kMaxIo = 1u << 30;

int64_t transfer(FileHandle file, void *buffer, size_t length, const uint64_t *offset, bool write)
{
    OVERLAPPED at{};
    if (offset) {
        at.Offset = static_cast<DWORD>(*offset);
        at.OffsetHigh = static_cast<DWORD>(*offset >> 32);
    }
    DWORD done = 0;
    const DWORD n = static_cast<DWORD>(std::min(length, kMaxIo));
    const BOOL ok = write
                        ? WriteFile(reinterpret_cast<HANDLE>(file), buffer, n, &done, offset ? &at : nullptr)
                        : ReadFile(reinterpret_cast<HANDLE>(file), buffer, n, &done, offset ? &at : nullptr);
    if (!ok)
        return !write && GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return done;
}

} // namespace

int64_t readFile(FileHandle file, void *buffer, size_t length)
{
    return transfer(file, buffer, length, nullptr, false);
}

int64_t readFileAt(FileHandle file, void *buffer, size_t length, uint64_t offset)
{
    return transfer(file, buffer, length, &offset, false);
}

int64_t readFileAt(FileHandle file, void *head, size_t headLength, void *buffer, size_t length,
                   uint64_t offset)
{
    const int64_t n = readFileAt(file, head, headLength, offset);
    if (n < 0 || static_cast<uint64_t>(n) < headLength)
        return n;
    const int64_t m = readFileAt(file, buffer, length, offset + headLength);
    return m < 0 ? m : n + m;
}

int64_t writeFileAt(FileHandle file, const void *buffer, size_t length, uint64_t offset)
{
    return transfer(file, const_cast<void *>(buffer), length, &offset, true);
}

bool truncateFile(FileHandle file, uint64_t length)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(reinterpret_cast<HANDLE>(file), at, nullptr, FILE_BEGIN)
           && SetEndOfFile(reinterpret_cast<HANDLE>(file));
}

bool syncFile(FileHandle file) { return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) != 0; }

void startWriteBack(FileHandle, uint64_t, uint64_t)
{
    // Windows has no call that starts a write-back without waiting for it.
}

namespace {

// The temporary file in flight, by its handle, for exitRemove.
std::atomic<bool> g_exitArmed{false};
std::atomic<FileHandle> g_tempHandle{kNoFile};

// What the archive being written keeps of the file it replaces: its
// attributes (read-only, hidden, system, not indexed), set as it takes its
// name. One temporary file is in flight at a time (g_tempHandle).
std::atomic<DWORD> g_keptAttributes{0};

constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
                                  | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

} // namespace

bool closeFile(FileHandle file)
{
    FileHandle expected = file;
    g_tempHandle.compare_exchange_strong(expected, kNoFile);
    return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0;
}

FileHandle createTemporary(FolderHandle dir, const std::string &name, uint32_t)
{
    // Shared for reading only: while this writer lives no other one can
    // delete the file, which is how a live writer's file is told from an
    // abandoned one; the file is held from the moment it exists. DELETE lets
    // the exit handler remove it, and the commit rename it, through this
    // handle, and WRITE_DAC the permissions it keeps of the archive it
    // replaces. Hidden, as the leading '.' hides it on POSIX systems.
    HANDLE h = openRelative(dir, name, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_READ,
                            FILE_CREATE, FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_HIDDEN);
    const auto file = reinterpret_cast<FileHandle>(h);
    if (h != INVALID_HANDLE_VALUE) {
        g_tempHandle.store(file);
        g_keptAttributes.store(0);
    }
    return file;
}

bool removeIfAbandoned(FolderHandle dir, const std::string &name)
{
    // A live writer's file cannot be opened for deletion (see
    // createTemporary): trying is the test.
    HANDLE h = openRelative(dir, name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                            FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool removed = !isReparsePoint(h) && markForDeletion(h);
    CloseHandle(h);
    return removed;
}

namespace {

// FILE_RENAME_INFORMATION_EX's flags (Windows 10 1709 and later).
constexpr ULONG kRenameReplace = 0x1, kRenamePosix = 0x2, kRenameIgnoreReadOnly = 0x40;
constexpr auto kRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);

// Renames the file open as `h` to `to` in the folder held as `dir`,
// replacing a file there. By the system's own call: SetFileInformationByHandle
// makes a name without a folder into a path in the current folder. POSIX
// semantics first, under which a file that others hold open (sharing its
// deletion, as this engine's readers do) is replaced all the same, and a
// read-only one too; where the system has no such rename, the classic one.
bool renameHandle(HANDLE h, FolderHandle dir, const std::string &to)
{
    const std::wstring target = widen(to);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + target.size() * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFORMATION *>(buffer.data());
    rename->RootDirectory = reinterpret_cast<HANDLE>(dir);
    rename->FileNameLength = static_cast<ULONG>(target.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
    const ULONG flags = kRenameReplace | kRenamePosix | kRenameIgnoreReadOnly;
    std::memcpy(buffer.data(), &flags, sizeof flags); // the Ex form's Flags overlay ReplaceIfExists
    IO_STATUS_BLOCK io{};
    NTSTATUS status =
        NtSetInformationFile(h, &io, rename, static_cast<ULONG>(buffer.size()), kRenameInformationEx);
    constexpr auto kNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
    constexpr auto kInvalidClass = static_cast<NTSTATUS>(0xC0000003L);
    constexpr auto kInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
    constexpr auto kNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
    if (status == kNotImplemented || status == kInvalidClass || status == kInvalidParameter
        || status == kNotSupported) {
        std::memset(buffer.data(), 0, sizeof flags);
        rename->ReplaceIfExists = TRUE;
        status =
            NtSetInformationFile(h, &io, rename, static_cast<ULONG>(buffer.size()), FileRenameInformation);
    }
    if (!NT_SUCCESS(status))
        SetLastError(RtlNtStatusToDosError(status));
    return NT_SUCCESS(status);
}

} // namespace

bool replaceWithTemporary(FolderHandle dir, FileHandle file, const std::string &, const std::string &to)
{
    const HANDLE h = reinterpret_cast<HANDLE>(file);
    // Renamed through its own handle, which no other writer can open: a
    // rename by name would need the file closed first, and in that moment
    // another writer could take it for abandoned.
    if (!renameHandle(h, dir, to))
        return false;
    // The archive is an ordinary file, not hidden as its temporary was, with
    // the attributes of the one it replaced.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = g_keptAttributes.exchange(0) & kKeptAttributes;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
    return true;
}

// NTFS journals a rename as it makes it: there is no folder to flush, and
// so none to hold.
void syncFolder(FolderHandle) {}

FolderHandle copyOfFolder(FolderHandle) { return kNoFile; }

bool isHeldElsewhere(int error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION
           || error == ERROR_USER_MAPPED_FILE;
}

FileHandle createIn(FolderHandle dir, const std::string &name, uint32_t)
{
    HANDLE h = openRelative(dir, name, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    return reinterpret_cast<FileHandle>(refuseLink(h, false));
}

bool renameIn(FolderHandle dir, const std::string &from, const std::string &to)
{
    HANDLE h = openRelative(dir, from, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                            FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    return closeAfter(h, renameHandle(h, dir, to));
}

namespace {

// `name` in the folder held as `parent`, made when it is not there, and held
// when it is a folder and no link.
HANDLE ownFolderIn(HANDLE parent, const std::string &name)
{
    HANDLE h = openRelative(reinterpret_cast<FolderHandle>(parent), name, kFolderAccess, kShareAll,
                            FILE_OPEN_IF, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    return refuseLink(h, false);
}

// The user's own local application data (%LOCALAPPDATA%, in the profile
// only the user and the system may enter), then Quillbarrow\reuse there.
HANDLE findReuseIndexFolder()
{
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    std::wstring base(n, L'\0');
    if (n == 0 || GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), n) != n - 1)
        return INVALID_HANDLE_VALUE;
    base.resize(n - 1);
    const std::string path = normalizeFull(narrow(base));
    if (!isAbsolutePath(path))
        return INVALID_HANDLE_VALUE;
    HANDLE h = reinterpret_cast<HANDLE>(openFolder(path));
    for (const char *part : {"Quillbarrow", "reuse"}) {
        if (h == INVALID_HANDLE_VALUE)
            break;
        HANDLE inner = ownFolderIn(h, part);
        CloseHandle(h);
        h = inner;
    }
    return h;
}

} // namespace

FolderHandle reuseIndexFolder()
{
    static const auto folder = reinterpret_cast<FolderHandle>(findReuseIndexFolder());
    return folder;
}

bool removeFile(FolderHandle dir, const std::string &name)
{
    HANDLE h = openRelative(dir, name, DELETE, kShareAll, FILE_OPEN,
                            FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool removed = markForDeletion(h);
    CloseHandle(h);
    return removed;
}

uint32_t processUser() { return 0; }

// Who else may write a folder is not worked out from its ACL here: a link
// at an archive's name is never written through, and the ACL of an earlier
// archive is kept only when it is the user's own (keepAttributes).
bool userMayWrite(uint32_t, const std::string &) { return true; }

bool othersMayWrite(const std::string &) { return true; }

namespace {

// True when `owner` is the user this process acts as, or the owner it gives
// the files it makes (an administrator's may be the Administrators group).
bool isOwnOwner(PSID owner)
{
    HANDLE token;
    if (!owner || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    bool own = false;
    for (TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        unsigned char buffer[512];
        DWORD length = 0;
        if (!GetTokenInformation(token, kind, buffer, sizeof buffer, &length))
            continue;
        // TOKEN_USER and TOKEN_OWNER both begin with the SID's pointer.
        PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid
                                     : reinterpret_cast<TOKEN_OWNER *>(buffer)->Owner;
        own = own || EqualSid(owner, sid);
    }
    CloseHandle(token);
    return own;
}

// The entries of `dacl` set on the file itself, those it did not inherit
// from its folder, as a new ACL in `out`.
bool explicitEntries(PACL dacl, std::vector<unsigned char> &out, size_t &count)
{
    out.assign(dacl->AclSize, 0);
    auto *acl = reinterpret_cast<PACL>(out.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(out.size()), ACL_REVISION_DS))
        return false;
    count = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            return false;
        const auto *header = static_cast<ACE_HEADER *>(ace);
        if (header->AceFlags & INHERITED_ACE)
            continue;
        if (!AddAce(acl, ACL_REVISION_DS, MAXDWORD, ace, header->AceSize))
            return false;
        ++count;
    }
    return true;
}

} // namespace

// What a replaced archive passes on: its attributes, and the permissions
// set on it rather than inherited from its folder (the new archive inherits
// those itself), when it is the user's own: an archive planted by someone
// else passes on no ACL of theirs.
void keepAttributes(FileHandle to, const KeptAttributes &kept)
{
    const auto from = reinterpret_cast<HANDLE>(kept.from);
    FILE_BASIC_INFO basic{};
    if (kept.from == kNoFile || !GetFileInformationByHandleEx(from, FileBasicInfo, &basic, sizeof basic))
        return;
    g_keptAttributes.store(basic.FileAttributes & kKeptAttributes);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(from, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &sd)
        != ERROR_SUCCESS)
        return;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    std::vector<unsigned char> acl;
    size_t count = 0;
    if (dacl && isOwnOwner(owner) && GetSecurityDescriptorControl(sd, &control, &revision)
        && explicitEntries(dacl, acl, count) && (count > 0 || (control & SE_DACL_PROTECTED))) {
        const SECURITY_INFORMATION what =
            DACL_SECURITY_INFORMATION
            | ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                             : UNPROTECTED_DACL_SECURITY_INFORMATION);
        SetSecurityInfo(reinterpret_cast<HANDLE>(to), SE_FILE_OBJECT, what, nullptr, nullptr,
                        reinterpret_cast<PACL>(acl.data()), nullptr);
    }
    LocalFree(sd);
}

uint64_t processNumber() { return GetCurrentProcessId(); }

const bool kKeepsIdleThreads = false;

void nameThisThread(const char *name)
{
    // SetThreadDescription came with Windows 10 1607 and is not in every
    // MinGW's headers: looked up once, and left out where it is missing.
    using SetDescription = HRESULT(WINAPI *)(HANDLE, PCWSTR);
    static const auto set = reinterpret_cast<SetDescription>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (set)
        set(GetCurrentThread(), widen(name).c_str());
}

void ignoreFileSizeSignal() {}

void armExitRemoval(FolderHandle, const std::string &)
{
    // Removed through the temporary file's own handle (g_tempHandle).
    g_exitArmed.store(true, std::memory_order_release);
}

void disarmExitRemoval() { g_exitArmed.store(false, std::memory_order_release); }

void exitRemove()
{
    if (!g_exitArmed.exchange(false))
        return;
    // The file is still open for writing here and shares no deletion: it is
    // marked for deletion through its own handle, which then closes.
    const FileHandle file = g_tempHandle.exchange(kNoFile);
    if (file != kNoFile) {
        markForDeletion(reinterpret_cast<HANDLE>(file));
        CloseHandle(reinterpret_cast<HANDLE>(file));
    }
}

void localTimeOf(time_t t, std::tm &out)
{
    // The C runtime's localtime keeps its result per thread on Windows.
    if (const std::tm *local = std::localtime(&t))
        out = *local;
}

void alsoAtQuickExit(void (*handler)())
{
#if defined(_UCRT)
    std::at_quick_exit(handler);
#else
    (void)handler; // msvcrt has no at_quick_exit
#endif
}

} // namespace zip32
