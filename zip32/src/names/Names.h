// Names: the pure helpers of turning the program's list of names into
// entries (wildcard matching, UTF-8 checks), apart from the walk
// (Collect.h) so that they can be tested and fuzzed on their own. Path
// normalising and stored names depend on the system's paths: they are the
// platform's (normalizePath, storedName in Platform.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zip32 {

// True when the text holds '*' or '?'.
bool hasWildcard(std::string_view text);

// Matches one name (no '/') against a pattern of literal characters, '*'
// (any run of characters, also none) and '?' (exactly one character; a
// UTF-8 sequence counts as one). A pattern ending in ".*" also matches a
// name without any dot when the rest of the pattern matches it, so "*.*"
// matches every name. Case-sensitive.
bool wildcardMatch(std::string_view pattern, std::string_view name);

bool isAscii(std::string_view text);
// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

} // namespace zip32
