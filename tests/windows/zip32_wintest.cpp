// zip32_wintest: drives zip32.dll on Windows the way the program does. It
// loads the library beside itself and resolves the three entry points by
// name, hands over the options record with the root upper-cased, a name list
// that starts with the program's placeholder, and all four routines. It can
// also arrange the Windows conditions a test needs before the run: attributes
// set, a file held open by another process.
//
//   zip32_wintest [options] ARCHIVE NAME...
//     --root DIR              names are relative to DIR (default "\")
//     --recurse --hidden --update --ignore-path    the engine's fields
//     --repeat N              make the archive N times over, as several
//                             windows of the program at once might
//     --walk                  each NAME is a folder: list it and every
//                             sub-folder that is neither hidden nor system as
//                             "FOLDER\*.*", as the program's folder walk does
//     --hide PATH             mark PATH hidden and system first
//     --read-only PATH        mark PATH read-only first
//     --hold-deny-write PATH  another process keeps PATH open for writing,
//                             sharing it for reading only
//     --hold-exclusive PATH   another process keeps PATH open, sharing nothing
//     --exit-while-writing    end the program with exit() from inside the
//                             message routine once the archive is being
//                             written (progress with a total was reported),
//                             as the program does when its window is closed
//     --set-sddl PATH SDDL    give PATH this security descriptor first
//     --show PATH             after the run, print "PATH: attributes 0xN, SDDL"
//   Conditions put in zip32.dll's way through its imports from the system:
//     --refuse-renames N      the first N renames fail as if another program
//                             held the archive (a sharing violation)
//     --stop-when-refused     ask the engine to stop once a rename failed
//     --volume KIND           every volume is FAT32, exFAT or remote (an
//                             NTFS share) to the engine
//     --count-opens           print "opened N files to read": the files the
//                             engine opened for their data
//
// Messages go to standard output as UTF-8, as the engine sends them, then a
// line "result N"; the exit status is the engine's result (the first that
// is not ZP_OK), or 100 when the test itself could not do what was asked.
#include "zip32.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <atomic>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <sddl.h>
#include <winternl.h>

namespace {

using InitFn = int32_t(ZIP32_CALL *)(const ZipEngineCallbacks *);
using SetOptionsFn = int32_t(ZIP32_CALL *)(const ZipEngineOptions *);
using ArchiveFn = int32_t(ZIP32_CALL *)(int32_t, const char *, ZipFileNameList);

std::string utf8(const std::wstring &w)
{
    if (w.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

[[noreturn]] void give_up(const std::wstring &what)
{
    std::fprintf(stderr, "zip32_wintest: %s (error %lu)\n", utf8(what).c_str(), GetLastError());
    std::exit(100);
}

std::wstring longPath(const std::wstring &path)
{
    return path.rfind(L"\\\\", 0) == 0 ? path : L"\\\\?\\" + path;
}

std::wstring ownPath()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
    return path;
}

// The process holding a file; it lets go when the test is over.
struct Holder {
    HANDLE process = nullptr;
    HANDLE release = nullptr;
};
std::vector<Holder> g_holders;

void hold(const std::wstring &path, DWORD share)
{
    static int serial = 0;
    const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    const std::wstring readyName = L"Local\\zip32_wintest_ready_" + tag;
    const std::wstring releaseName = L"Local\\zip32_wintest_release_" + tag;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str());
    if (!ready || !release)
        give_up(L"cannot make events");
    std::wstring command = L"\"" + ownPath() + L"\" --child-hold " + std::to_wstring(share) + L" \"" + path + L"\" "
                           + readyName + L" " + releaseName;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        give_up(L"cannot start the holding process");
    HANDLE waits[2] = {ready, pi.hProcess};
    if (WaitForMultipleObjects(2, waits, FALSE, 30000) != WAIT_OBJECT_0)
        give_up(L"the holding process did not open " + path);
    CloseHandle(ready);
    CloseHandle(pi.hThread);
    g_holders.push_back({pi.hProcess, release});
}

void releaseHolders()
{
    for (Holder &h : g_holders) {
        SetEvent(h.release);
        WaitForSingleObject(h.process, 30000);
        CloseHandle(h.process);
        CloseHandle(h.release);
    }
    g_holders.clear();
}

int childHold(DWORD share, const std::wstring &path, const std::wstring &readyName,
              const std::wstring &releaseName)
{
    HANDLE file = CreateFileW(longPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        give_up(L"cannot open " + path);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName.c_str());
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, releaseName.c_str());
    if (!ready || !release)
        give_up(L"cannot open events");
    SetEvent(ready);
    WaitForSingleObject(release, 120000);
    CloseHandle(file);
    return 0;
}

void setAttributes(const std::wstring &path, DWORD add)
{
    const std::wstring wide = longPath(path);
    const DWORD now = GetFileAttributesW(wide.c_str());
    if (now == INVALID_FILE_ATTRIBUTES
        || !SetFileAttributesW(wide.c_str(), (now & ~DWORD(FILE_ATTRIBUTE_NORMAL)) | add)
        || (GetFileAttributesW(wide.c_str()) & add) != add)
        give_up(L"cannot set attributes of " + path);
}

// What the program's folder walk gives for one folder: the folder itself,
// then its sub-folders at every depth that are neither hidden nor system,
// each ending in a separator.
void walk(const std::wstring &folder, std::vector<std::wstring> &out)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(longPath(folder + L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::wstring> subs;
    do {
        const std::wstring name = data.cFileName;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name == L"." || name == L".."
            || (data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
            continue;
        subs.push_back(folder + name + L"\\");
    } while (FindNextFileW(find, &data));
    FindClose(find);
    for (const std::wstring &sub : subs) {
        out.push_back(sub);
        walk(sub, out);
    }
}

// Points `module`'s import of `function` from `dll` at `hook`; the import's
// own address, or null when the module does not import it.
void *patchImport(HMODULE module, const char *dll, const char *function, void *hook)
{
    auto *base = reinterpret_cast<unsigned char *>(module);
    const auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress); d->Name; ++d) {
        if (_stricmp(reinterpret_cast<char *>(base + d->Name), dll) != 0)
            continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)
                || std::strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData)->Name, function) != 0)
                continue;
            DWORD was = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void *), PAGE_READWRITE, &was);
            void *original = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof(void *), was, &was);
            return original;
        }
    }
    return nullptr;
}

using SetInformationFn = NTSTATUS(NTAPI *)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
using CreateFileFn = NTSTATUS(NTAPI *)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                       ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
SetInformationFn g_setInformation = nullptr;
CreateFileFn g_createFile = nullptr;
std::atomic<long> g_renamesToRefuse{0}, g_renamesRefused{0}, g_opensToRead{0};
bool g_stopWhenRefused = false;
std::wstring g_volumeKind;

NTSTATUS NTAPI refusingSetInformation(HANDLE h, PIO_STATUS_BLOCK io, PVOID data, ULONG length,
                                      FILE_INFORMATION_CLASS kind)
{
    const bool rename = kind == FileRenameInformation || int(kind) == 65;   // FileRenameInformationEx
    if (rename && g_renamesToRefuse.fetch_sub(1) > 0) {
        ++g_renamesRefused;
        return static_cast<NTSTATUS>(0xC0000043L);   // STATUS_SHARING_VIOLATION
    }
    return g_setInformation(h, io, data, length, kind);
}

NTSTATUS NTAPI countingCreateFile(PHANDLE h, ACCESS_MASK access, POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK io,
                                  PLARGE_INTEGER size, ULONG attributes, ULONG share, ULONG disposition,
                                  ULONG options, PVOID ea, ULONG eaLength)
{
    const NTSTATUS status = g_createFile(h, access, object, io, size, attributes, share, disposition, options, ea,
                                         eaLength);
    if (status >= 0 && (access & FILE_READ_DATA) && (options & FILE_NON_DIRECTORY_FILE))
        ++g_opensToRead;
    return status;
}

BOOL WINAPI volumeOfKind(HANDLE, LPWSTR name, DWORD nameSize, LPDWORD serial, LPDWORD maxName, LPDWORD flags,
                         LPWSTR fileSystem, DWORD fileSystemSize)
{
    const std::wstring kind = g_volumeKind == L"remote" ? L"NTFS" : g_volumeKind;
    if (name && nameSize)
        name[0] = L'\0';
    if (serial)
        *serial = 0x1234;
    if (maxName)
        *maxName = 255;
    if (flags)
        *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    if (fileSystem && fileSystemSize > kind.size())
        std::wcscpy(fileSystem, kind.c_str());
    return TRUE;
}

UINT WINAPI driveOfKind(LPCWSTR)
{
    return g_volumeKind == L"remote" ? DRIVE_REMOTE : DRIVE_FIXED;
}

void hookEngine(HMODULE engine, bool refuse, bool countOpens)
{
    auto patch = [&](const char *dll, const char *function, void *hook) {
        void *original = patchImport(engine, dll, function, hook);
        if (!original)
            give_up(L"zip32.dll does not import what the test replaces");
        return original;
    };
    if (refuse)
        g_setInformation = reinterpret_cast<SetInformationFn>(
            patch("ntdll.dll", "NtSetInformationFile", reinterpret_cast<void *>(refusingSetInformation)));
    if (countOpens)
        g_createFile = reinterpret_cast<CreateFileFn>(
            patch("ntdll.dll", "NtCreateFile", reinterpret_cast<void *>(countingCreateFile)));
    if (!g_volumeKind.empty()) {
        patch("kernel32.dll", "GetVolumeInformationByHandleW", reinterpret_cast<void *>(volumeOfKind));
        patch("kernel32.dll", "GetDriveTypeW", reinterpret_cast<void *>(driveOfKind));
    }
}

void setSecurity(const std::wstring &path, const std::wstring &sddl)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)
        || !SetFileSecurityW(longPath(path).c_str(), DACL_SECURITY_INFORMATION, sd))
        give_up(L"cannot set the security of " + path);
    LocalFree(sd);
}

void show(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    std::vector<unsigned char> sd(65536);
    DWORD need = 0;
    wchar_t *text = nullptr;
    if (!GetFileSecurityW(longPath(path).c_str(), DACL_SECURITY_INFORMATION, sd.data(), DWORD(sd.size()), &need)
        || !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1,
                                                                 DACL_SECURITY_INFORMATION, &text, nullptr))
        give_up(L"cannot read the security of " + path);
    std::printf("%s: attributes 0x%lx, %s\n", utf8(path).c_str(), attributes, utf8(text).c_str());
    LocalFree(text);
}

bool g_exitWhileWriting = false;
uint64_t g_progressCalls = 0;

int32_t ZIP32_CALL print(const char *buffer, uint32_t length)
{
    if (length == 0 && g_exitWhileWriting && g_progressCalls > 0) {
        releaseHolders();
        std::exit(0);
    }
    if (length > 0) {
        std::fwrite(buffer, 1, length, stdout);
        std::fflush(stdout);
    }
    return 0;
}

// Calls without a total come while the names are collected.
int32_t ZIP32_CALL progress(uint64_t, uint64_t total)
{
    if (total > 0)
        ++g_progressCalls;
    return g_stopWhenRefused && g_renamesRefused > 0 ? 1 : 0;
}
int32_t ZIP32_CALL answer(int32_t, int32_t, int32_t, int32_t) { return 1; }
char *ZIP32_CALL bufferRoutine(char *buffer) { return buffer; }

} // namespace

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc == 6 && std::wstring(argv[1]) == L"--child-hold")
        return childHold(DWORD(std::wcstoul(argv[2], nullptr, 10)), argv[3], argv[4], argv[5]);

    ZipEngineOptions options{};
    std::wstring root = L"\\";
    bool walkFolders = false;
    int repeat = 1;
    bool countOpens = false;
    std::vector<std::wstring> shown;
    int i = 1;
    for (; i < argc && std::wstring(argv[i]).rfind(L"--", 0) == 0; ++i) {
        const std::wstring a = argv[i];
        auto value = [&]() -> std::wstring {
            if (i + 1 >= argc)
                give_up(a + L" needs a value");
            return argv[++i];
        };
        if (a == L"--root")
            root = value();
        else if (a == L"--recurse")
            options.recurse = 1;
        else if (a == L"--hidden")
            options.includeHidden = 1;
        else if (a == L"--update")
            options.update = 1;
        else if (a == L"--ignore-path")
            options.ignorePath = 1;
        else if (a == L"--repeat")
            repeat = int(std::wcstol(value().c_str(), nullptr, 10));
        else if (a == L"--exit-while-writing")
            g_exitWhileWriting = true;
        else if (a == L"--walk")
            walkFolders = true;
        else if (a == L"--hide")
            setAttributes(value(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        else if (a == L"--read-only")
            setAttributes(value(), FILE_ATTRIBUTE_READONLY);
        else if (a == L"--hold-deny-write")
            hold(value(), FILE_SHARE_READ);
        else if (a == L"--hold-exclusive")
            hold(value(), 0);
        else if (a == L"--set-sddl") {
            const std::wstring path = value();
            setSecurity(path, value());
        } else if (a == L"--show")
            shown.push_back(value());
        else if (a == L"--refuse-renames")
            g_renamesToRefuse = std::wcstol(value().c_str(), nullptr, 10);
        else if (a == L"--stop-when-refused")
            g_stopWhenRefused = true;
        else if (a == L"--volume")
            g_volumeKind = value();
        else if (a == L"--count-opens")
            countOpens = true;
        else
            give_up(L"unknown option " + a);
    }
    if (i >= argc)
        give_up(L"usage: zip32_wintest [options] ARCHIVE NAME...");

    std::wstring dll = ownPath();
    dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"zip32.dll";
    HMODULE engine = LoadLibraryW(dll.c_str());
    if (!engine)
        give_up(L"cannot load " + dll);
    auto init = reinterpret_cast<InitFn>(reinterpret_cast<void *>(GetProcAddress(engine, "ZpInit")));
    auto setOptions = reinterpret_cast<SetOptionsFn>(reinterpret_cast<void *>(GetProcAddress(engine, "ZpSetOptions")));
    auto archive = reinterpret_cast<ArchiveFn>(reinterpret_cast<void *>(GetProcAddress(engine, "ZpArchive")));
    if (!init || !setOptions || !archive)
        give_up(L"zip32.dll lacks an entry point");
    hookEngine(engine, g_renamesToRefuse > 0, countOpens);

    const std::string archiveName = utf8(argv[i++]);
    // The program's list starts with a placeholder name that matches nothing.
    std::vector<std::string> names{"querty"};
    for (; i < argc; ++i) {
        std::wstring name = argv[i];
        if (!walkFolders) {
            names.push_back(utf8(name));
            continue;
        }
        std::vector<std::wstring> folders;
        walk(name + L"\\", folders);
        names.push_back(utf8(name + L"\\*.*"));
        for (const std::wstring &f : folders)
            names.push_back(utf8(f + L"*.*"));
    }
    std::vector<const char *> list;
    for (const std::string &n : names)
        list.push_back(n.c_str());
    list.push_back(nullptr);

    // The program hands the root over upper-cased: on Windows letter case
    // does not tell folders apart.
    std::wstring upper = root;
    CharUpperBuffW(upper.data(), DWORD(upper.size()));
    const std::string rootText = utf8(upper);
    options.rootDir = rootText.c_str();
    options.tempDir = nullptr;

    ZipEngineCallbacks callbacks{print, answer, bufferRoutine, progress};
    if (init(&callbacks) != ZP_OK || setOptions(&options) != ZP_OK)
        give_up(L"the engine refused its callbacks or options");
    int32_t result = ZP_OK;
    for (int run = 0; run < repeat && result == ZP_OK; ++run)
        result = archive(int32_t(names.size()), archiveName.c_str(), list.data());
    releaseHolders();
    for (const std::wstring &path : shown)
        show(path);
    if (countOpens)
        std::printf("opened %ld files to read\n", g_opensToRead.load());
    std::printf("result %d\n", int(result));
    return result;
}
