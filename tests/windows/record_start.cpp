// A stand-in for quillbarrow.exe in the console companion's checks under
// Wine (run_console_wine.py): a window program that writes the command line
// it was started with, as UTF-8, to the file that QB_RECORD_START names,
// then waits (a minute at most) until a file of that name with ".done"
// added appears, so that a companion that waited for the window program
// would be seen waiting.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t name[32768];
    const DWORD length = GetEnvironmentVariableW(L"QB_RECORD_START", name, 32768);
    if (length == 0 || length >= 32768)
        return 2;
    const std::wstring done = std::wstring(name) + L".done";
    const wchar_t *line = GetCommandLineW();
    const int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string text(size_t(size > 0 ? size - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), size, nullptr, nullptr);
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr))
        return 1;
    CloseHandle(file);
    for (int i = 0; i < 600 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    return 0;
}
