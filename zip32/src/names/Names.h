// Names: the pure helpers of turning the program's list of names into
// entries (wildcard matching, path normalising, stored names, UTF-8
// checks), apart from the walk (Collect.h) so that they can be tested and
// fuzzed on their own.
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

// Lexical clean-up of an absolute path: repeated and trailing '/' removed,
// "." parts dropped, ".." parts take away the part before them (never going
// above "/"). The result starts with '/' and is "/" for the root itself.
std::string normalizePath(std::string_view absolutePath);

// The name an entry gets in the archive: the path relative to the root, or,
// for a path outside the root, the whole path without its leading '/'. With
// ignorePath only the last part. Empty for the root itself. Both arguments
// are normalised paths.
std::string storedName(std::string_view path, std::string_view root, bool ignorePath);

bool isAscii(std::string_view text);
// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

} // namespace zip32
