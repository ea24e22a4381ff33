// ReuseIndex: what an archive was made from, kept apart from it in the
// user's own cache folder, as git keeps its index outside the tree: the
// archive as it stood once renamed into place, the moment its run began,
// the folders it was made from, and for each of its entries the file the
// entry was read from (device, inode, change time; a followed link's own
// too). So the archive's bytes stay the same on every machine and in both
// builds, while a re-run can still tell that a file is the very one an
// entry was made from. An index is believed only for the archive it
// describes, exactly as it stood; a missing, damaged or mismatched one
// means that nothing is taken on its word (see Reuse.h).
//
// The folder is the cache folder's "quillbarrow/reuse", made for the user
// alone (0700) and used only when it is theirs; one file per archive,
// named after a hash of the archive's full path, which it also holds.
#pragma once

#include "Collect.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zip32 {

// An archive as it stands: a change of any of these makes it another one.
struct ArchiveStamp {
    uint64_t dev = 0, ino = 0, size = 0;
    int64_t mtime = 0, ctime = 0;
    int32_t mtimeNs = 0, ctimeNs = 0;
    bool operator==(const ArchiveStamp &) const = default;
};
ArchiveStamp stampOf(const FileInfo &st);

// The source of one entry of the archive, in the order of its central
// directory.
struct IndexEntry {
    bool known = false;     // a file read from `file`
    bool viaLink = false;   // through the link `link`
    Identity file;
    Identity link;
};

// Writes an archive's index, entry by entry, then into the cache folder.
class IndexWriter {
public:
    IndexWriter(const ArchiveStamp &archive, int64_t began, int32_t beganNs, const NamedFolders &named,
                uint64_t entries);
    // The next entry of the central directory: a file's entry, or null for
    // a folder or a link kept as a link.
    void add(const Entry *file);
    // False when the index could not be written; an older one of the same
    // archive is gone then.
    bool write(const std::string &archivePath);

private:
    std::vector<unsigned char> bytes_;
};

// Reads an archive's index: the header at once, the entries one by one.
class IndexReader {
public:
    // False when there is no index for `archivePath`, or it is damaged.
    bool open(const std::string &archivePath);
    ArchiveStamp archive;
    int64_t began = 0;
    int32_t beganNs = 0;
    NamedFolders named;
    uint64_t entries = 0;
    // The next entry; false past the end.
    bool next(IndexEntry &entry);

private:
    std::vector<unsigned char> bytes_;
    size_t at_ = 0, end_ = 0;
};

// Removes the index of `archivePath`, when there is one.
void removeIndex(const std::string &archivePath);

} // namespace zip32
