#include "names/TempName.h"

#include <cstdio>

namespace zip32 {

namespace {

constexpr std::string_view kTail = ".tmp";
constexpr size_t kDigits = 8;
// What a temporary name adds to its base: the leading '.', ".", the digits
// and ".tmp".
constexpr size_t kAdded = 1 + 1 + kDigits + 4;

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// The base of a name of the temporary form, or false.
bool baseOf(std::string_view name, std::string_view &base)
{
    if (name.size() <= kAdded || name.front() != '.' || name.substr(name.size() - kTail.size()) != kTail)
        return false;
    const size_t digits = name.size() - kTail.size() - kDigits;
    if (name[digits - 1] != '.')
        return false;
    for (size_t i = digits; i < digits + kDigits; ++i)
        if (!isHexDigit(name[i]))
            return false;
    base = name.substr(1, digits - 2);
    return true;
}

} // namespace

std::string temporaryBase(std::string_view archiveName)
{
    if (archiveName.size() + kAdded <= kMaxFileName)
        return std::string(archiveName);
    size_t cut = kMaxFileName - kAdded;
    while (cut > 0 && (static_cast<unsigned char>(archiveName[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(archiveName.substr(0, cut));
}

std::string temporaryName(std::string_view base, uint32_t number)
{
    char digits[kDigits + 1];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
    return "." + std::string(base) + "." + digits + std::string(kTail);
}

bool isTemporaryOf(std::string_view name, std::string_view base)
{
    std::string_view found;
    return baseOf(name, found) && found == base;
}

bool isTemporaryName(std::string_view name)
{
    std::string_view found;
    return baseOf(name, found);
}

} // namespace zip32
