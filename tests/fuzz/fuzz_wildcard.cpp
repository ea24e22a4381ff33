// The engine's wildcard matching against a plain reference: a table over
// characters (UTF-8 sequences), with the rule that a pattern ending in ".*"
// also matches a name without any dot. Input: pattern, a zero byte, name.
#include "names/Names.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Splits valid UTF-8 into characters; false for anything else.
bool characters(std::string_view text, std::vector<std::string_view> &out)
{
    if (!zip32::isValidUtf8(text))
        return false;
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        out.push_back(text.substr(i, len));
        i += len;
    }
    return true;
}

bool reference(const std::vector<std::string_view> &p, const std::vector<std::string_view> &n)
{
    // can[i][j]: p[i..] matches n[j..]
    std::vector<std::vector<char>> can(p.size() + 1, std::vector<char>(n.size() + 1, 0));
    can[p.size()][n.size()] = 1;
    for (size_t i = p.size(); i-- > 0;) {
        for (size_t j = n.size() + 1; j-- > 0;) {
            if (p[i] == "*")
                can[i][j] = can[i + 1][j] || (j < n.size() && can[i][j + 1]);
            else if (j < n.size() && (p[i] == "?" || p[i] == n[j]))
                can[i][j] = can[i + 1][j + 1];
        }
    }
    return can[0][0];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t cut = input.find('\0');
    if (cut == std::string_view::npos || size > 4096)
        return 0;
    const std::string_view pattern = input.substr(0, cut);
    const std::string_view name = input.substr(cut + 1);
    const bool got = zip32::wildcardMatch(pattern, name);

    std::vector<std::string_view> p, n;
    if (!characters(pattern, p) || !characters(name, n))
        return 0;
    bool want = reference(p, n);
    if (!want && pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*"
        && name.find('.') == std::string_view::npos) {
        p.resize(p.size() - 2);
        want = reference(p, n);
    }
    if (got != want)
        std::abort();
    // "*.*" takes every name; a name without wildcards matches itself.
    if (!zip32::wildcardMatch("*.*", name))
        std::abort();
    if (!zip32::hasWildcard(name) && !zip32::wildcardMatch(name, name))
        std::abort();
    return 0;
}
