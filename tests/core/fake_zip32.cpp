// A stand-in engine that records how it was called and answers as scripted,
// so the binding can be tested without writing archives.
#include "zip32.h"

#include <cstring>
#include <string>
#include <vector>

namespace {
ZipEngineCallbacks g_callbacks{};
ZipEngineOptions g_options{};
std::string g_root;
std::vector<std::string> g_names;
std::string g_archive;
std::string g_calls;
std::vector<std::string> g_script;
int32_t g_result = 0;
} // namespace

extern "C" {

ZIP32_API int32_t ZIP32_CALL ZpInit(const ZipEngineCallbacks *callbacks)
{
    g_calls += "I";
    g_callbacks = callbacks ? *callbacks : ZipEngineCallbacks{};
    return 0;
}

ZIP32_API int32_t ZIP32_CALL ZpSetOptions(const ZipEngineOptions *options)
{
    g_calls += "S";
    g_options = *options;
    g_root = options->rootDir ? options->rootDir : "<null>";
    return 0;
}

ZIP32_API int32_t ZIP32_CALL ZpArchive(int32_t count, const char *name, ZipFileNameList names)
{
    g_calls += "A";
    g_archive = name ? name : "";
    g_names.clear();
    for (int32_t i = 0; i < count; ++i)
        g_names.emplace_back(names[i]);
    for (const std::string &m : g_script) {
        char buffer[4097];
        std::memset(buffer, 0, sizeof buffer);
        std::memcpy(buffer, m.data(), std::min(m.size(), sizeof buffer - 1));
        g_callbacks.print(buffer, uint32_t(m.size()));
    }
    return g_result;
}

// Test side.
ZIP32_API void FakeScript(const char *const *messages, int32_t count, int32_t result)
{
    g_script.assign(messages, messages + count);
    g_result = result;
    g_calls.clear();
}
ZIP32_API const char *FakeCalls() { return g_calls.c_str(); }
ZIP32_API const ZipEngineOptions *FakeOptions() { return &g_options; }
ZIP32_API const char *FakeRoot() { return g_root.c_str(); }
ZIP32_API const char *FakeArchive() { return g_archive.c_str(); }
ZIP32_API int32_t FakeNameCount() { return int32_t(g_names.size()); }
ZIP32_API const char *FakeName(int32_t i) { return g_names.at(size_t(i)).c_str(); }
ZIP32_API int32_t FakeHasAnswerRoutines() { return g_callbacks.answer && g_callbacks.buffer && g_callbacks.fourth; }
}
