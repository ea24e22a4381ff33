// The three entry points: they check what the program hands over, keep a
// copy of it, and turn every failure, C++ exceptions included, into a result
// code and a message line.
#include "zip32.h"

#include "write/Archive.h"
#include "write/FolderSyncs.h"
#include "messages/Messenger.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

// What ZpInit and ZpSetOptions stored for the next ZpArchive. All three run
// on the program's thread; the mutex only guards against a program that
// does not.
struct EngineState {
    std::mutex mutex;
    ZipPrintRoutine print = nullptr;
    ZipProgressRoutine progress = nullptr;
    bool optionsSet = false;
    ZipEngineOptions options{};
    std::string root;
    bool hasRoot = false;
};

EngineState &state()
{
    // Never destroyed: the program may end with std::exit from inside a
    // message routine while an archive is being written.
    static EngineState *s = new EngineState;
    return *s;
}

std::atomic<bool> g_busy{false};

const char *optionsProblem(const ZipEngineOptions &o)
{
    if (o.level > 9)
        return "compression level (field 28) must be 0 to 9";
    if (o.threads < 0)
        return "worker count (field 21) must not be negative";
    if (o.excluded < 0)
        return "the number of names to leave out (field 23) must not be negative";
    return nullptr;
}

// What ZpInit and ZpSetOptions stored, for one ZpArchive: the options and
// root only when ZpSetOptions took them.
void takeSettings(ZipPrintRoutine &print, ZipProgressRoutine &progress, ZipEngineOptions &options,
                  std::string &root)
{
    EngineState &s = state();
    std::lock_guard lock(s.mutex);
    print = s.print;
    progress = s.progress;
    if (s.optionsSet) {
        options = s.options;
        root = s.root;
    }
}

// Whether ZpArchive was handed what it needs; if not, says what is wrong.
bool argumentsAccepted(int32_t count, const char *archiveName, ZipFileNameList names,
                       const ZipEngineOptions &options, zip32::Messenger &messages)
{
    if (!archiveName || !*archiveName) {
        messages.line("zip engine: no archive name given");
        return false;
    }
    if (count < 0 || (count > 0 && !names)) {
        messages.line(std::string(archiveName) + ": not written, the list of names is missing");
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (!names[i]) {
            messages.line(std::string(archiveName) + ": not written, name " + std::to_string(i + 1)
                          + " of the list is missing");
            return false;
        }
    }
    if (const char *problem = optionsProblem(options)) {
        messages.line(std::string(archiveName) + ": not written, " + problem);
        return false;
    }
    if (options.excluded > count) {
        messages.line(std::string(archiveName)
                      + ": not written, the list has fewer names than field 23 "
                        "leaves out");
        return false;
    }
    return true;
}

// The engine's request from the program's arguments, checked.
void fillRequest(zip32::ArchiveRequest &request, int32_t count, const char *archiveName,
                 ZipFileNameList names, const ZipEngineOptions &options)
{
    request.archivePath = archiveName;
    // The last `excluded` names are files to leave out, not to archive.
    request.names.assign(names, names + (count - options.excluded));
    request.leaveOut.assign(names + (count - options.excluded), names + count);
    request.followLinks = options.followLinks != 0;
    request.holdFolderSync = options.holdFolderSync == 1;
    request.recurse = options.recurse != 0;
    request.ignorePath = options.ignorePath != 0;
    request.includeHidden = options.includeHidden != 0;
    request.update = options.update != 0;
    request.level = options.level == 0 ? 6 : options.level;
    // Asked once: the answer comes from reading system files.
    static const unsigned cores = std::thread::hardware_concurrency();
    unsigned workers = options.threads > 0 ? static_cast<unsigned>(options.threads) : cores;
    request.workers = std::clamp(workers, 1u, 64u);
}

} // namespace

extern "C" {

ZIP32_API int32_t ZIP32_CALL ZpInit(const ZipEngineCallbacks *callbacks)
{
    try {
        EngineState &s = state();
        std::lock_guard lock(s.mutex);
        s.print = callbacks ? callbacks->print : nullptr;
        s.progress = callbacks ? callbacks->fourth : nullptr;
        return callbacks ? ZP_OK : ZP_BAD_ARGUMENTS;
    } catch (...) {
        return ZP_INTERNAL;
    }
}

ZIP32_API int32_t ZIP32_CALL ZpSetOptions(const ZipEngineOptions *options)
{
    try {
        // Ends a run of archives that held their folder's flush.
        if (!options || options->holdFolderSync != 1)
            zip32::flushHeldFolder();
        EngineState &s = state();
        std::lock_guard lock(s.mutex);
        if (!options) {
            s.optionsSet = false;
            return ZP_BAD_ARGUMENTS;
        }
        s.options = *options;
        s.hasRoot = options->rootDir != nullptr;
        s.root = options->rootDir ? options->rootDir : "";
        // The copy keeps no pointer into the program's memory.
        s.options.rootDir = nullptr;
        s.options.tempDir = nullptr;
        s.optionsSet = true;
        return optionsProblem(s.options) ? ZP_BAD_ARGUMENTS : ZP_OK;
    } catch (...) {
        return ZP_INTERNAL;
    }
}

} // extern "C"

namespace {

// ZpArchive's work, inside the fence that no exception crosses.
int32_t archiveFenced(int32_t count, const char *archiveName, ZipFileNameList names)
{
    ZipPrintRoutine print = nullptr;
    ZipProgressRoutine progress = nullptr;
    try {
        zip32::ArchiveRequest request;
        ZipEngineOptions options{};
        takeSettings(print, progress, options, request.root);
        zip32::Messenger messages(print, progress);

        if (g_busy.exchange(true)) {
            messages.line(std::string("zip engine busy: ") + (archiveName ? archiveName : "(no name)")
                          + " not written while another archive is being made");
            return ZP_BUSY;
        }
        struct Release {
            ~Release() { g_busy.store(false); }
        } release;

        if (!argumentsAccepted(count, archiveName, names, options, messages))
            return ZP_BAD_ARGUMENTS;
        zip32::ignoreFileSizeSignal();
        fillRequest(request, count, archiveName, names, options);
        return zip32::makeArchive(request, messages);
    } catch (const std::bad_alloc &) {
        try {
            zip32::Messenger(print).line("zip engine: out of memory, archive not written");
        } catch (...) {
        }
        return ZP_INTERNAL;
    } catch (const std::exception &e) {
        try {
            zip32::Messenger(print).line(std::string("zip engine: internal error, archive not written (")
                                         + e.what() + ")");
        } catch (...) {
        }
        return ZP_INTERNAL;
    } catch (...) {
        return ZP_INTERNAL;
    }
}

} // namespace

extern "C" {

ZIP32_API int32_t ZIP32_CALL ZpArchive(int32_t count, const char *archiveName, ZipFileNameList names)
{
    const int32_t result = archiveFenced(count, archiveName, names);
    // A failed or stopped archive may end the run: the names the run gave
    // before it are made to last now.
    if (result != ZP_OK && result != ZP_FILES_SKIPPED && result != ZP_NOTHING_TO_DO)
        zip32::flushHeldFolder();
    return result;
}

} // extern "C"
