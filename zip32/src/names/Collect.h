// Collect: the walk from the program's list of names to the ordered list of
// entries that go into one archive.
#pragma once

#include "names/Folders.h"
#include "names/StatAhead.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zip32 {

class Messenger;

// What a listing saw of a file that tells it from every other and from
// itself after a change: device, inode and change time.
struct Identity {
    uint64_t dev = 0;
    uint64_t ino = 0;
    int64_t ctime = 0;
    int32_t ctimeNs = 0;
    bool operator==(const Identity &) const = default;
};

// The stored names of a listing, one after the other in blocks that never
// move, each followed by a NUL: a million names cost their bytes, not a
// string and an allocation each.
class NameStore {
public:
    // A copy of `name`, good as long as the store is.
    std::string_view keep(std::string_view name);

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    char *free_ = nullptr; // in the last block
    size_t left_ = 0;
};

// One entry of the archive, in archive order.
struct Entry {
    // Name in the archive, kept in its listing's NameStore, a NUL after it;
    // folders end in '/'.
    std::string_view stored;
    // The folder the entry lies in (a folder's entry: the folder itself),
    // through which its file is opened by its name, the last part of
    // `stored`.
    const FolderNode *folder = nullptr;
    bool isDir = false;
    bool isLink = false; // a link kept as a link: linkTarget() is its data
    bool viaLink = false; // a link that is followed: opened through it
    uint32_t mode = 0; // st_mode of the file (of a link's target when followed)
    int64_t mtime = 0; // seconds since 1970
    int64_t ctime = 0; // change time (POSIX), for trusting an earlier archive
    int32_t mtimeNs = 0; // nanoseconds parts: mtime's notices files that change
    int32_t ctimeNs = 0;
    uint64_t size = 0; // size when the names were collected
    uint64_t dev = 0; // what was listed: a file opened later must be it
    uint64_t ino = 0;
    // Only links have one, so a million files carry no empty strings: a
    // link kept as a link, its target; a link that is followed, the link
    // itself, as listed.
    struct LinkPart {
        std::string target;
        Identity link;
    };
    std::unique_ptr<const LinkPart> linkPart;

    bool isFile() const { return !isDir && !isLink; }
    const std::string &linkTarget() const { return linkPart->target; } // isLink only
    const Identity *link() const { return viaLink ? &linkPart->link : nullptr; }
    Identity identity() const { return {dev, ino, ctime, ctimeNs}; }
    // The entry's name in its folder.
    std::string_view name() const;
    // The full path, for messages.
    std::string path() const;
};

// Opens a file entry's file for reading: by its name in its folder, through
// no link but the one it is when it was followed, and only when it is still
// the file listed and a regular one. kNoFile and a message's reason
// otherwise ("skipped, changed while being zipped" for another file).
FileHandle openEntry(const Entry &e, FileInfo &st, std::string &reason);

struct CollectOptions {
    std::string root; // normalised absolute root directory
    bool recurse = false;
    bool ignorePath = false;
    bool includeHidden = false;
    bool followLinks = false; // links out of the archive's folders too
    std::string archivePath; // normalised; never put into itself
    std::vector<std::string> leaveOut; // normalised paths of files never stored
    // Where a big folder's names are looked at ahead of the walk; without
    // it, each in its turn on the calling thread.
    StartWork startWork;
};

struct Collected {
    // The folders the entries lie in; they outlive the entries' use.
    std::unique_ptr<FolderTree> folders = std::make_unique<FolderTree>();
    NameStore names; // the entries' stored names
    // A deque: an entry never moves once made, so the pipeline's workers
    // read its path in place while more entries are added.
    std::deque<Entry> entries;
    size_t leftOut = 0; // matched, but could not be looked at: named in a message
    bool stopped = false; // the progress routine asked to stop
};

// The folders the program named (device and inode), in the order named.
using NamedFolders = std::vector<std::pair<uint64_t, uint64_t>>;

// Walks the names on the calling thread, writing warning lines and keeping
// the window alive through the messenger. onNamed, when given, is told the
// folders the program named before the first entry is found; onEntry sees
// every entry as soon as it is found, in archive order. The entries go into
// `into`, which the caller owns: whatever onEntry hands on (to the workers)
// must end before `into` does, even when the walk stops or throws half-way.
void collectEntries(const std::vector<std::string> &names, const CollectOptions &options, Messenger &messages,
                    Collected &into, const std::function<void(const Entry &)> &onEntry = {},
                    const std::function<void(const NamedFolders &)> &onNamed = {});

} // namespace zip32
