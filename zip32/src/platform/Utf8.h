// Utf8: reading and writing one UTF-8 sequence, the one rule for the engine
// and for the program's file names (core includes it too). Header only, and
// nothing of the engine: any layer may use it.
#pragma once

#include <cstddef>

namespace zip32::utf8 {

// The length of the UTF-8 sequence that starts at `at` (with `left` bytes
// from there on) and its code point in `cp`; 0 when no valid sequence
// starts there: not a lead byte, cut short, a byte that does not continue
// it, an overlong form, a code point past U+10FFFF, or a surrogate
// (U+D800-U+DFFF) unless `surrogates` allows their three-byte forms.
inline size_t sequence(const unsigned char *at, size_t left, char32_t &cp, bool surrogates = false)
{
    const unsigned char lead = at[0];
    size_t length;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (length > left)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((at[k] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (at[k] & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF))
        || (!surrogates && cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

// Appends the UTF-8 form of `cp` (at most U+10FFFF) to `out`, any container
// of char with push_back.
template <typename Bytes> void append(Bytes &out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace zip32::utf8
