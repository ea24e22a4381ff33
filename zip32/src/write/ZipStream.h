// ZipStream: a new archive written front to back, one entry after the
// other, straight into the output file. Each entry's local header goes out
// before its data; where the CRC and compressed size are known only after
// the data (a file read in pieces), the header is written again once they
// are. The central directory is made at the end from a small record per
// entry, so an archive of a million files does not hold a million entries'
// worth of headers in memory; ZIP64 records are written only where a size,
// an offset or the number of entries needs them.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace zip32 {

class OutputFile;

// What the headers say of an entry besides its sizes.
struct EntryHead {
    std::string_view name; // stored name, as bytes
    bool deflated = false;
    bool utf8 = false; // general purpose bit 11
    uint16_t dosTime = 0, dosDate = 0;
    uint32_t external = 0; // external attributes
    bool hasUnixTime = false; // extended timestamp field (0x5455)
    uint32_t unixTime = 0;
    // A private field of the central record only (a file's compressor
    // fingerprint, see Reuse.h); none when centralLength is 0.
    uint16_t centralId = 0;
    uint16_t centralLength = 0;
    unsigned char central[16] = {};
};

class ZipStream {
public:
    explicit ZipStream(OutputFile &out) : out_(out) {}
    // Room for the records of this many entries, made once.
    void reserve(size_t entries) { records_.reserve(entries); }

    // Starts entry `id` (the caller's number for it, below 2^30, handed back
    // to headOf at the end). known: crc and compSize are right now; otherwise they
    // follow in endEntry, and compSize will not be far above size.
    bool beginEntry(uint32_t id, const EntryHead &head, uint64_t size, bool known, uint32_t crc,
                    uint64_t compSize);
    bool data(const void *bytes, size_t length);
    // The CRC-32 of the data written so far for the entry begun last, as
    // stored (compressed).
    uint32_t dataCrc() const { return records_.back().dataCrc; }
    // Only for an entry begun without its crc and compressed size.
    bool endEntry(uint32_t crc, uint64_t compSize);
    // The central directory and the end records; headOf gives each entry's
    // head again, its method aside, told the CRC-32 of its data as stored.
    bool finish(const std::function<EntryHead(uint32_t id, uint32_t dataCrc)> &headOf);

private:
    struct Record {
        uint64_t offset;
        uint64_t size;
        uint64_t compSize;
        uint32_t crc;
        uint32_t dataCrc;
        uint32_t id : 30;
        uint32_t zip64Local : 1; // the local header has a ZIP64 field
        uint32_t deflated : 1;
    };
    // Into scratch_: the central record of `r`, and the end records of a
    // directory from `start` to `end`.
    void putCentralRecord(const Record &r, const EntryHead &head);
    void putEndRecords(uint64_t start, uint64_t end);

    OutputFile &out_;
    std::vector<Record> records_;
    std::vector<unsigned char> scratch_;
    size_t nameLength_ = 0; // of the entry begun last
};

} // namespace zip32
