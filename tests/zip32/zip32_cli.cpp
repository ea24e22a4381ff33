// zip32_cli: calls the engine the way the program does, from the command
// line. The engine tests run it in child processes for the cases that need
// one: fewer privileges, a private mount namespace, a program that ends in
// the middle of an archive.
//
//   zip32_cli [--root DIR] [--recurse] [--ignore-path] [--hidden] [--update]
//             [--follow-links] [--leave-out PATH]... [--threads N] [--level N]
//             [--exit-after-beats N] [--stop-after-reports N] [--repeat N]
//             [--hold-folder-sync [--leave-held]] ARCHIVE NAME...
//
// --leave-out names go at the end of the list, counted in field 23; --repeat
// makes the same archive N times over, as several windows of the program
// might. Messages go to standard output as the engine sends them; the exit
// status is the engine's result (the first that is not ZP_OK).
// --stop-after-reports N asks the engine to stop when it reports progress
// for the (N+1)th time, as the window's Stop button does.
// --hold-folder-sync sets field 24 for the archives, and ends with a record
// whose field 24 is 0, as the program ends a run; --leave-held leaves that
// last record out, so that the exit flushes what is held.
#include "zip32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static long g_exitAfterBeats = -1;
static long g_beats = 0;
static long g_stopAfterReports = -1;

static int32_t ZIP32_CALL report(uint64_t, uint64_t)
{
    return g_stopAfterReports >= 0 && g_stopAfterReports-- == 0;
}

static int32_t ZIP32_CALL print(const char *buffer, uint32_t length)
{
    if (length == 0 && buffer[0] == '\0') {
        if (g_exitAfterBeats >= 0 && ++g_beats > g_exitAfterBeats)
            std::exit(0); // the window closed in the middle of an archive
        return 0;
    }
    std::fwrite(buffer, 1, length, stdout);
    std::fflush(stdout);
    return 0;
}

int main(int argc, char **argv)
{
    ZipEngineOptions options{};
    const char *root = "/";
    std::vector<const char *> leaveOut;
    int repeat = 1;
    bool leaveHeld = false;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(100);
            }
            return argv[++i];
        };
        if (a == "--root")
            root = value();
        else if (a == "--recurse")
            options.recurse = 1;
        else if (a == "--ignore-path")
            options.ignorePath = 1;
        else if (a == "--hidden")
            options.includeHidden = 1;
        else if (a == "--update")
            options.update = 1;
        else if (a == "--threads")
            options.threads = std::atoi(value());
        else if (a == "--level")
            options.level = static_cast<uint8_t>(std::atoi(value()));
        else if (a == "--exit-after-beats")
            g_exitAfterBeats = std::atol(value());
        else if (a == "--stop-after-reports")
            g_stopAfterReports = std::atol(value());
        else if (a == "--follow-links")
            options.followLinks = 1;
        else if (a == "--leave-out")
            leaveOut.push_back(value());
        else if (a == "--repeat")
            repeat = std::atoi(value());
        else if (a == "--hold-folder-sync")
            options.holdFolderSync = 1;
        else if (a == "--leave-held")
            leaveHeld = true;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 100;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: zip32_cli [options] ARCHIVE NAME...\n");
        return 100;
    }
    options.rootDir = root;
    const char *archive = argv[i++];
    std::vector<const char *> names(argv + i, argv + argc);
    names.insert(names.end(), leaveOut.begin(), leaveOut.end());
    options.excluded = static_cast<int32_t>(leaveOut.size());
    ZipEngineCallbacks callbacks{print, nullptr, nullptr, g_stopAfterReports >= 0 ? report : nullptr};
    ZpInit(&callbacks);
    ZpSetOptions(&options);
    for (int run = 0; run < repeat; ++run) {
        const int32_t result = ZpArchive(static_cast<int32_t>(names.size()), archive, names.data());
        if (result != ZP_OK)
            return result;
    }
    if (options.holdFolderSync && !leaveHeld) {
        options.holdFolderSync = 0;
        ZpSetOptions(&options);
    }
    return ZP_OK;
}
