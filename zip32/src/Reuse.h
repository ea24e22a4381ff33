// Reuse: a re-run over an archive of the same name takes the compressed data
// of files that did not change from the archive it replaces, instead of
// compressing them again, and writes the same bytes a fresh run would.
//
// Every file entry the engine writes carries, in its central-directory record
// only, a small fingerprint of the compressor that made its data (see
// fingerprint below). An entry of the earlier archive is a source for a file
// only when its fingerprint is this compressor's, its name, size, times,
// attributes and method are what a fresh entry would carry, and the file has
// not changed since the earlier run began: its change time, which no program
// can set back, is older than that moment. The engine keeps that moment as
// the archive's own modification time (set on the temporary file before it
// takes the archive's name), so nothing that varies from run to run is in
// the archive. The copied data is checked again before it is written (see
// Pipeline): inflated, its CRC-32 and size compared with the entry's.
//
// Anything unexpected in the earlier archive (not a zip, damaged, truncated,
// encrypted, duplicate names, odd sizes or offsets) only means that the file
// is compressed afresh; it never fails the run. Where change times cannot be
// trusted (Windows) nothing is reused.
#pragma once

#include "Platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zip32 {

struct Entry;

// Where a file's data lies in the earlier archive.
struct CopySource {
    uint64_t offset = 0;       // of the compressed data
    uint64_t compSize = 0;
    uint32_t crc = 0;
    uint32_t dataCrc = 0;      // CRC-32 of the data as stored, when recorded
    // Not 0: the local header, of this length, lies right before the data
    // and is still to be checked (headerAgrees) when the data is read.
    uint16_t headerLength = 0;
    uint16_t flags = 0;        // general purpose flags of the entry
    bool use = false;
    bool stored = false;       // method 0: the raw bytes; else raw deflate
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
    // reused; null when there is none or nothing in it can be trusted. One
    // failed open when there is no archive.
    static std::unique_ptr<EarlierArchive> open(const std::string &path, int level);
    ~EarlierArchive();
    EarlierArchive(const EarlierArchive &) = delete;
    EarlierArchive &operator=(const EarlierArchive &) = delete;

    // Where the data of the entry for `e` (a regular file) lies, when it can
    // be copied. externalAttributes: what the fresh entry will carry.
    CopySource find(const Entry &e, uint32_t externalAttributes) const;

    // For reading the data, from any thread.
    FileHandle handle() const { return fd_; }

private:
    EarlierArchive() = default;
    bool readDirectory(int level);

    struct Old {
        uint64_t localOffset = 0;
        uint64_t compSize = 0;
        uint64_t size = 0;
        uint32_t crc = 0;
        uint32_t dataCrc = 0;
        uint32_t external = 0;
        uint16_t method = 0;
        uint16_t flags = 0;
        int64_t mtime = -1;       // extended timestamp, -1 when none
        int64_t mtimeNs = -1;     // from the fingerprint
        bool usable = false;      // fingerprint matches; name seen once
        bool dataCrcKnown = false;
    };

    FileHandle fd_ = kNoFile;
    uint64_t size_ = 0;
    uint64_t directoryStart_ = 0;
    int64_t began_ = 0, beganNs_ = 0;   // the earlier run's start: the archive's mtime
    std::unordered_map<std::string, Old> entries_;
};

} // namespace zip32
