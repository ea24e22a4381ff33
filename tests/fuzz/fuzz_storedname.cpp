// The engine's path clean-up and stored-name mapping. Input: a flags byte,
// then the path and the root separated by a zero byte. Whatever comes in,
// a stored name never starts with '/', never has an empty, "." or ".." part,
// and the clean-up is stable.
#include "names/Names.h"
#include "platform/Platform.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkClean(const std::string &p)
{
    check(!p.empty() && p[0] == '/');
    check(p == "/" || p.back() != '/');
    check(p.find("//") == std::string::npos);
    check(p.find("/./") == std::string::npos && p.find("/../") == std::string::npos);
    check(!(p.size() >= 2 && p.substr(p.size() - 2) == "/.")
          && !(p.size() >= 3 && p.substr(p.size() - 3) == "/.."));
    check(zip32::normalizePath(p) == p);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 8192)
        return 0;
    const bool ignorePath = data[0] & 1;
    const std::string_view input(reinterpret_cast<const char *>(data + 1), size - 1);
    const size_t cut = input.find('\0');
    const std::string_view rawPath = input.substr(0, cut);
    const std::string_view rawRoot = cut == std::string_view::npos ? std::string_view("/") : input.substr(cut + 1);

    const std::string path = zip32::normalizePath(std::string("/") + std::string(rawPath));
    const std::string root = zip32::normalizePath(std::string("/") + std::string(rawRoot));
    checkClean(path);
    checkClean(root);

    const std::string stored = zip32::storedName(path, root, ignorePath);
    check(stored.empty() || stored[0] != '/');
    size_t at = 0;
    while (!stored.empty() && at <= stored.size()) {
        size_t slash = stored.find('/', at);
        if (slash == std::string::npos)
            slash = stored.size();
        const std::string_view part = std::string_view(stored).substr(at, slash - at);
        check(!part.empty() && part != "." && part != "..");
        at = slash + 1;
    }
    if (ignorePath)
        check(stored.find('/') == std::string::npos);
    // A path below the root keeps everything below the root.
    if (!ignorePath && root != "/" && path.size() > root.size() && path.compare(0, root.size(), root) == 0
        && path[root.size()] == '/')
        check(stored == path.substr(root.size() + 1));

    // UTF-8 checks agree with each other.
    if (zip32::isAscii(rawPath))
        check(zip32::isValidUtf8(rawPath));
    return 0;
}
