#include "write/ZipStream.h"

#include "write/Output.h"

#include <libdeflate.h>

namespace zip32 {

namespace {

constexpr uint32_t kMax32 = 0xFFFFFFFFu;
constexpr uint16_t kMax16 = 0xFFFFu;
// A file read in pieces whose raw size reaches this gets a ZIP64 field in
// its local header before its compressed size is known: stored blocks and
// deflate never add anywhere near the difference to 4 GiB.
constexpr uint64_t kUnknownZip64From = 0xF0000000u;

void put16(std::vector<unsigned char> &b, uint16_t v)
{
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}

void put32(std::vector<unsigned char> &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void put64(std::vector<unsigned char> &b, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

uint32_t clip32(uint64_t v, bool zip64) { return zip64 ? kMax32 : static_cast<uint32_t>(v); }

void putTimestamp(std::vector<unsigned char> &b, const EntryHead &head)
{
    if (!head.hasUnixTime)
        return;
    put16(b, 0x5455);
    put16(b, 5);
    b.push_back(1); // modification time present
    put32(b, head.unixTime);
}

uint16_t flagsOf(const EntryHead &head) { return head.utf8 ? 0x0800 : 0; }

constexpr uint16_t kMadeBy = (3 << 8) | 63; // UNIX attributes, format 6.3

} // namespace

bool ZipStream::beginEntry(uint32_t id, const EntryHead &head, uint64_t size, bool known, uint32_t crc,
                           uint64_t compSize)
{
    const bool zip64 = known ? (size >= kMax32 || compSize >= kMax32) : size >= kUnknownZip64From;
    Record r{};
    r.offset = out_.position();
    r.size = size;
    r.compSize = known ? compSize : 0;
    r.crc = known ? crc : 0;
    r.id = id;
    r.zip64Local = zip64;
    r.deflated = head.deflated;
    records_.push_back(r);
    nameLength_ = head.name.size();

    auto &b = scratch_;
    b.clear();
    put32(b, 0x04034b50);
    put16(b, zip64 ? 45 : 20);
    put16(b, flagsOf(head));
    put16(b, head.deflated ? 8 : 0);
    put16(b, head.dosTime);
    put16(b, head.dosDate);
    put32(b, r.crc);
    put32(b, clip32(r.compSize, zip64));
    put32(b, clip32(size, zip64));
    put16(b, static_cast<uint16_t>(head.name.size()));
    put16(b, static_cast<uint16_t>((zip64 ? 20 : 0) + (head.hasUnixTime ? 9 : 0)));
    b.insert(b.end(), head.name.begin(), head.name.end());
    if (zip64) {
        put16(b, 0x0001);
        put16(b, 16);
        put64(b, size);
        put64(b, r.compSize);
    }
    putTimestamp(b, head);
    return out_.write(b.data(), b.size());
}

bool ZipStream::data(const void *bytes, size_t length)
{
    if (length == 0)
        return true;
    Record &r = records_.back();
    r.dataCrc = static_cast<uint32_t>(libdeflate_crc32(r.dataCrc, bytes, length));
    return out_.write(bytes, length);
}

bool ZipStream::endEntry(uint32_t crc, uint64_t compSize)
{
    Record &r = records_.back();
    r.crc = crc;
    r.compSize = compSize;
    auto &b = scratch_;
    b.clear();
    put32(b, crc);
    if (r.zip64Local) {
        if (!out_.writeAt(r.offset + 14, b.data(), b.size()))
            return false;
        // The ZIP64 field follows the 30 bytes of the header and the name:
        // its tag and length, the raw size, then the compressed size.
        b.clear();
        put64(b, compSize);
        return out_.writeAt(r.offset + 30 + nameLength_ + 4 + 8, b.data(), b.size());
    }
    if (compSize >= kMax32)
        return false; // cannot happen: see kUnknownZip64From
    put32(b, static_cast<uint32_t>(compSize));
    return out_.writeAt(r.offset + 14, b.data(), b.size());
}

void ZipStream::putCentralRecord(const Record &r, const EntryHead &head)
{
    auto &b = scratch_;
    const bool sizes64 = r.zip64Local || r.size >= kMax32 || r.compSize >= kMax32;
    const bool offset64 = r.offset >= kMax32;
    const uint16_t zip64Length = (sizes64 ? 16 : 0) + (offset64 ? 8 : 0);
    b.clear();
    put32(b, 0x02014b50);
    put16(b, kMadeBy);
    put16(b, zip64Length ? 45 : 20);
    put16(b, flagsOf(head));
    put16(b, head.deflated ? 8 : 0);
    put16(b, head.dosTime);
    put16(b, head.dosDate);
    put32(b, r.crc);
    put32(b, clip32(r.compSize, sizes64));
    put32(b, clip32(r.size, sizes64));
    put16(b, static_cast<uint16_t>(head.name.size()));
    const uint16_t privateLength = head.centralLength ? 4 + head.centralLength : 0;
    put16(b, static_cast<uint16_t>((zip64Length ? 4 + zip64Length : 0) + privateLength
                                   + (head.hasUnixTime ? 9 : 0)));
    put16(b, 0); // comment
    put16(b, 0); // disk
    put16(b, 0); // internal attributes
    put32(b, head.external);
    put32(b, clip32(r.offset, offset64));
    b.insert(b.end(), head.name.begin(), head.name.end());
    if (zip64Length) {
        put16(b, 0x0001);
        put16(b, zip64Length);
        if (sizes64) {
            put64(b, r.size);
            put64(b, r.compSize);
        }
        if (offset64)
            put64(b, r.offset);
    }
    // In the order libzip writes an updated archive's fields: its own
    // ZIP64 field, then the others as they were set.
    if (head.centralLength) {
        put16(b, head.centralId);
        put16(b, head.centralLength);
        b.insert(b.end(), head.central, head.central + head.centralLength);
    }
    putTimestamp(b, head);
}

void ZipStream::putEndRecords(uint64_t start, uint64_t end)
{
    const uint64_t count = records_.size();
    const uint64_t size = end - start;
    const bool zip64 = count >= kMax16 || start >= kMax32 || size >= kMax32;
    auto &b = scratch_;
    b.clear();
    if (zip64) {
        put32(b, 0x06064b50);
        put64(b, 44);
        put16(b, kMadeBy);
        put16(b, 45);
        put32(b, 0);
        put32(b, 0);
        put64(b, count);
        put64(b, count);
        put64(b, size);
        put64(b, start);
        put32(b, 0x07064b50);
        put32(b, 0);
        put64(b, end);
        put32(b, 1);
    }
    put32(b, 0x06054b50);
    put16(b, 0);
    put16(b, 0);
    put16(b, count >= kMax16 ? kMax16 : static_cast<uint16_t>(count));
    put16(b, count >= kMax16 ? kMax16 : static_cast<uint16_t>(count));
    put32(b, clip32(size, size >= kMax32));
    put32(b, clip32(start, start >= kMax32));
    put16(b, 0);
}

bool ZipStream::finish(const std::function<EntryHead(uint32_t id, uint32_t dataCrc)> &headOf)
{
    const uint64_t start = out_.position();
    for (const Record &r : records_) {
        EntryHead head = headOf(r.id, r.dataCrc);
        head.deflated = r.deflated;
        putCentralRecord(r, head);
        if (!out_.write(scratch_.data(), scratch_.size()))
            return false;
    }
    putEndRecords(start, out_.position());
    return out_.write(scratch_.data(), scratch_.size());
}

} // namespace zip32
