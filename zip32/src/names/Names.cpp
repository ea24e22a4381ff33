#include "names/Names.h"

#include "platform/Utf8.h"

#include <algorithm>

namespace zip32 {

bool hasWildcard(std::string_view text) { return text.find_first_of("*?") != std::string_view::npos; }

namespace {

// Length of the character starting at name[i]: a whole UTF-8 sequence when
// one starts there, otherwise one byte.
size_t charLength(std::string_view name, size_t i)
{
    const auto lead = static_cast<unsigned char>(name[i]);
    size_t len = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
    if (i + len > name.size())
        return 1;
    for (size_t k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80)
            return 1;
    return len;
}

bool plainMatch(std::string_view pattern, std::string_view name)
{
    // Iterative matching with one backtrack point (the last '*').
    size_t p = 0, n = 0;
    size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n += charLength(name, n);
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            starN += charLength(name, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace

bool wildcardMatch(std::string_view pattern, std::string_view name)
{
    if (plainMatch(pattern, name))
        return true;
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*"
        && name.find('.') == std::string_view::npos)
        return plainMatch(pattern.substr(0, pattern.size() - 2), name);
    return false;
}

bool isAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isValidUtf8(std::string_view text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    char32_t cp;
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8::sequence(bytes + i, text.size() - i, cp);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

} // namespace zip32
