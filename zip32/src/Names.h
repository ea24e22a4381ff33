// Names: turning the program's list of names into the ordered list of
// entries that go into one archive. The pure helpers (wildcard matching,
// path normalising, stored names, UTF-8 checks) are separate so that they can
// be tested and fuzzed on their own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zip32 {

class Messenger;

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

// One entry of the archive, in archive order.
struct Entry {
    std::string stored;   // name in the archive; folders end in '/'
    std::string path;     // file system path, used to read and in messages
    bool isDir = false;
    uint32_t mode = 0;    // st_mode of the file (of a link's target)
    int64_t mtime = 0;    // seconds since 1970
    int64_t mtimeNs = 0;  // nanoseconds part, to notice files that change
    uint64_t size = 0;    // size when the names were collected
    uint64_t dev = 0;
    uint64_t ino = 0;
};

struct CollectOptions {
    std::string root;          // normalised absolute root directory
    bool recurse = false;
    bool ignorePath = false;
    bool includeHidden = false;
    std::string archivePath;   // normalised; never put into itself
};

struct Collected {
    std::vector<Entry> entries;
    size_t namesNotMatched = 0;
    size_t regularFiles = 0;
    size_t foldersNotRead = 0;  // folders whose listing failed
};

// Walks the names on the calling thread, writing warning lines and keeping
// the window alive through the messenger. onEntry, when given, sees every
// entry as soon as it is found, in archive order.
Collected collectEntries(const std::vector<std::string> &names, const CollectOptions &options,
                         Messenger &messages, const std::function<void(const Entry &)> &onEntry = {});

} // namespace zip32
