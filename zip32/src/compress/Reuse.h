// Reuse: a re-run over an archive of the same name takes the compressed data
// of files that did not change from the archive it replaces, instead of
// compressing them again, and writes the same bytes a fresh run would.
//
// Every file entry the engine writes carries, in its central-directory record
// only, a small fingerprint of the compressor that made its data (see
// fingerprint below). An entry of the earlier archive is a candidate for a
// file only when its fingerprint is this compressor's and its name, size,
// modification time (to the nanosecond), attributes and method are what a
// fresh entry would carry. Then one of two proofs decides that its data is
// the file's own:
//   - vouched: the earlier archive's index (ReuseIndex.h) is that very
//     archive's, it was made from the same named folders, the entry from the
//     same file (device and inode) with the same change time, a change time
//     older than the moment the earlier run began, on a file system whose
//     change times no program can set (keepsChangeTimes); a file reached
//     through a link, only when the link matches the same way. Nothing of the
//     file is read.
//   - verified: everywhere else (no index, FAT, exFAT, FUSE, network file
//     systems), the file is read and its CRC-32 must be the entry's; only
//     the compression is saved.
// The copied data is checked again before it is written (see Pipeline):
// summed against the CRC-32 of the stored data that the fingerprint records,
// or inflated against the entry's CRC-32 and size.
//
// Anything unexpected in the earlier archive (not a zip, damaged, truncated,
// encrypted, duplicate names, odd sizes or offsets) only means that the file
// is compressed afresh; it never fails the run.
//
// The one change no look at a file's attributes can see: data written
// through a shared memory mapping (mmap) moves neither its modification nor
// its change time on some file systems (tmpfs never; ext4 only on the first
// write after the data reached the disk). A file changed only so is vouched
// for as unchanged; git's index has the same limit.
#pragma once

#include "names/Collect.h"
#include "platform/Platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zip32 {

class IndexReader;
struct IndexEntry;

// Where a file's data lies in the earlier archive.
struct CopySource {
    uint64_t offset = 0; // of the compressed data
    uint64_t compSize = 0;
    uint32_t crc = 0;
    uint32_t dataCrc = 0; // CRC-32 of the data as stored, when recorded
    // Not 0: the local header, of this length, lies right before the data
    // and is still to be checked (headerAgrees) when the data is read.
    uint16_t headerLength = 0;
    uint16_t flags = 0; // general purpose flags of the entry
    bool use = false;
    bool verify = false; // not vouched for: the file's own CRC-32 must match first
    bool stored = false; // method 0: the raw bytes; else raw deflate
    bool dataCrcKnown = false;
};

// The only field this engine writes into a small file's local header: the
// extended timestamp.
constexpr size_t kTimestampLength = 9;
// Longer names are not copied (a local header's length fits in 16 bits).
constexpr size_t kMaxCopiedName = 0xFFFF - 30 - kTimestampLength;

// Whether the local header at h (30 bytes and the name) agrees with the
// entry of `c`, whose raw size is `size`, named `name`; timestampOnly: its
// only extra field is the extended timestamp.
bool headerAgrees(const unsigned char *h, const CopySource &c, uint64_t size, std::string_view name,
                  bool timestampOnly);

// The private extra field (central directory only) naming the compressor of
// an entry's data and the file's modification time to the nanosecond; a new
// archive's entries add the CRC-32 of the data as stored (compressed), so a
// re-run checks copied data by summing it instead of inflating it. An
// update, whose data libzip writes after the fields are set, has none: its
// data is inflated to be checked.
constexpr uint16_t kFingerprintId = 0x7151;
constexpr size_t kFingerprintSize = 10;
constexpr size_t kFingerprintWithDataSize = 14;
void fingerprint(int level, int64_t mtimeNs, unsigned char out[kFingerprintSize]);
void fingerprint(int level, int64_t mtimeNs, uint32_t dataCrc, unsigned char out[kFingerprintWithDataSize]);

class EarlierArchive {
public:
    // The archive at `path` about to be replaced, read for what can be
    // reused, with its index when it has one; null when there is none or
    // nothing in it can be used. One failed open when there is no archive.
    static std::unique_ptr<EarlierArchive> open(const std::string &path, int level);

    // The folders this run was named; entries are vouched for only when
    // they are the earlier run's.
    void setNamedFolders(const NamedFolders &named);
    ~EarlierArchive();
    EarlierArchive(const EarlierArchive &) = delete;
    EarlierArchive &operator=(const EarlierArchive &) = delete;

    // Where the data of the entry for `e` (a regular file) lies, when it can
    // be copied. externalAttributes: what the fresh entry will carry.
    CopySource find(const Entry &e, uint32_t externalAttributes) const;

    // Once every file has been looked up (find finds nothing after): the
    // directory read for find is given back. The copy sources found stay
    // good as long as the archive is open.
    void forgetDirectory();

    // For reading the data, from any thread.
    FileHandle handle() const { return fd_; }
    // Once nothing is read from it any more; with `inBackground`, on
    // another thread (closeInBackground).
    void close(bool inBackground = false);

private:
    // One central record, packed to what find and vouchedFor read of it; a
    // million entries cost a few dozen bytes each, besides their names.
    struct Old {
        uint64_t localOffset = 0;
        uint64_t compSize = 0;
        uint64_t size = 0;
        uint32_t crc = 0;
        uint32_t dataCrc = 0;
        uint32_t external = 0;
        uint32_t mtime = 0; // extended timestamp, when kHasTime
        uint32_t mtimeNs = 0; // from the fingerprint
        uint32_t name = 0; // where its name starts in names_
        uint16_t nameLength = 0;
        uint16_t flags = 0; // general purpose flags
        uint8_t bits = 0; // kUsable and the others, see Reuse.cpp
    };
    // The file an entry was made from, as the index says; dev is the number
    // of its device in devices_ (the files of a folder share one).
    struct Source {
        uint64_t ino = 0;
        int64_t ctime = 0;
        int32_t ctimeNs = 0;
        uint32_t dev = 0;
    };

    EarlierArchive() = default;
    bool readDirectory(int level, IndexReader *index);
    bool locateDirectory(uint64_t &count, uint64_t &dirSize, uint64_t &dirStart) const;
    void keep(Old &o, std::string_view name, const IndexEntry *source);
    void takeSource(Old &o, const IndexEntry &source);
    void forgetSources();
    // The slot of slots_ that holds `name`, or the empty one it would take.
    size_t slotOf(std::string_view name) const;
    std::string_view nameOf(const Old &o) const { return {names_.data() + o.name, o.nameLength}; }
    bool vouchedFor(const Entry &e, const Old &o) const;

    FileHandle fd_ = kNoFile;
    uint64_t size_ = 0;
    uint64_t directoryStart_ = 0;
    // From the index, when it is this archive's.
    bool indexed_ = false;
    bool sameFolders_ = false;
    int64_t began_ = 0, beganNs_ = 0; // the earlier run's start
    NamedFolders named_;
    // The entries in directory order, a name seen twice kept once (and
    // never used); their names one after the other in names_; slots_ an
    // open-addressed table of entry numbers plus one, looked up by name.
    std::vector<Old> records_;
    std::string names_;
    std::vector<uint32_t> slots_;
    // With an index: each entry's file (sources_, beside records_), and the
    // links files were reached through, by entry number, in order.
    std::vector<Source> sources_;
    std::vector<uint64_t> devices_;
    std::unordered_map<uint64_t, uint32_t> deviceNumbers_; // while reading
    std::vector<std::pair<uint32_t, Identity>> links_;
};

} // namespace zip32
