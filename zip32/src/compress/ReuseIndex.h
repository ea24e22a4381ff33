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

#include "names/Collect.h"

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
    bool known = false; // a file read from `file`
    bool viaLink = false; // through the link `link`
    Identity file;
    Identity link;
};

// Writes an archive's index into the cache folder as its entries are added,
// through a small buffer: an archive of a million entries needs no index
// of a million entries in memory.
class IndexWriter {
public:
    IndexWriter(const std::string &archivePath, const ArchiveStamp &archive, int64_t began, int32_t beganNs,
                const NamedFolders &named, uint64_t entries);
    ~IndexWriter();
    IndexWriter(const IndexWriter &) = delete;
    IndexWriter &operator=(const IndexWriter &) = delete;
    // The next entry of the central directory: a file's entry, or null for
    // a folder or a link kept as a link.
    void add(const Entry *file);
    // False when the index could not be written; an older one of the same
    // archive is gone then.
    bool finish();

private:
    void put(uint64_t value, int bytes);
    void putIdentity(const Identity &id);
    void flush();

    std::string archivePath_, name_, temp_;
    FolderHandle dir_ = kNoFile;
    FileHandle fd_ = kNoFile;
    bool ok_ = false;
    uint64_t written_ = 0;
    uint32_t crc_ = 0;
    std::vector<unsigned char> buffer_;
};

// Reads an archive's index: the header at once, the entries one by one, as
// the central directory is read. Whether the index was whole and the
// archive's is known only at the end (finish): until then nothing read from
// it may be trusted.
class IndexReader {
public:
    IndexReader() = default;
    ~IndexReader();
    IndexReader(const IndexReader &) = delete;
    IndexReader &operator=(const IndexReader &) = delete;
    // False when there is no index for `archivePath`, or its header is not
    // one this engine wrote.
    bool open(const std::string &archivePath);
    ArchiveStamp archive;
    int64_t began = 0;
    int32_t beganNs = 0;
    NamedFolders named;
    uint64_t entries = 0;
    // The next entry; false past the end.
    bool next(IndexEntry &entry);
    // After the last entry: true when the index was whole, unchanged, and
    // the one of `archivePath`.
    bool finish();

private:
    bool fill(size_t wanted);
    uint64_t get(int bytes);
    Identity identity();

    std::string archivePath_;
    FileHandle fd_ = kNoFile;
    uint64_t size_ = 0, offset_ = 0; // of the file, and of buffer_ in it
    uint32_t crc_ = 0; // of every byte before offset_ + at_ handed out
    std::vector<unsigned char> buffer_;
    size_t at_ = 0;
    bool ok_ = true;
};

// Removes the index of `archivePath`, when there is one.
void removeIndex(const std::string &archivePath);

} // namespace zip32
