// The lexical clean-up of a path, the same on every system: POSIX paths are
// made of it, and Windows cleans the part of a path after its drive or share
// with it.
#include "platform/Platform.h"

#include <vector>

namespace zip32 {

std::string normalizePath(std::string_view path)
{
    std::vector<std::string_view> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string_view::npos)
            slash = path.size();
        std::string_view part = path.substr(at, slash - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = slash + 1;
    }
    std::string out;
    for (auto part : parts) {
        out += '/';
        out += part;
    }
    return out.empty() ? std::string("/") : out;
}

} // namespace zip32
