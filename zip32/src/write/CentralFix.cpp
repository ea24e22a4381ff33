#include "write/CentralFix.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace zip32 {

namespace {

constexpr uint32_t kMax32 = 0xFFFFFFFFu;
constexpr uint32_t kEndSig = 0x06054b50, kEnd64Sig = 0x06064b50, kLocatorSig = 0x07064b50;
constexpr uint32_t kCentralSig = 0x02014b50, kLocalSig = 0x04034b50;

uint16_t get16(const unsigned char *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t get32(const unsigned char *p) { return uint32_t(get16(p)) | uint32_t(get16(p + 2)) << 16; }
uint64_t get64(const unsigned char *p) { return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32; }
void put16(unsigned char *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(unsigned char *p, uint32_t v)
{
    put16(p, uint16_t(v));
    put16(p + 2, uint16_t(v >> 16));
}
void put64(unsigned char *p, uint64_t v)
{
    put32(p, uint32_t(v));
    put32(p + 4, uint32_t(v >> 32));
}

bool readAt(FileHandle fd, void *buffer, size_t length, uint64_t offset)
{
    auto *p = static_cast<unsigned char *>(buffer);
    while (length > 0) {
        const int64_t n = readFileAt(fd, p, length, offset);
        if (n <= 0) {
            if (n == 0)
                setLastError(kErrIO);
            return false;
        }
        p += n;
        length -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool writeAt(FileHandle fd, const void *buffer, size_t length, uint64_t offset)
{
    auto *p = static_cast<const unsigned char *>(buffer);
    while (length > 0) {
        const int64_t n = writeFileAt(fd, p, length, offset);
        if (n < 0)
            return false;
        p += n;
        length -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

// The values of the ZIP64 extra field (id 1) in an extra block, if any.
bool zip64Values(const unsigned char *extra, size_t length, std::vector<uint64_t> &values)
{
    size_t at = 0;
    while (at + 4 <= length) {
        const uint16_t id = get16(extra + at), size = get16(extra + at + 2);
        if (at + 4 + size > length)
            break;
        if (id == 1) {
            for (size_t v = 0; v + 8 <= size; v += 8)
                values.push_back(get64(extra + at + 4 + v));
            return true;
        }
        at += 4 + size;
    }
    return false;
}

// The extra block without its ZIP64 field.
std::vector<unsigned char> withoutZip64(const unsigned char *extra, size_t length)
{
    std::vector<unsigned char> out;
    size_t at = 0;
    while (at + 4 <= length) {
        const uint16_t id = get16(extra + at), size = get16(extra + at + 2);
        if (at + 4 + size > length)
            break;
        if (id != 1)
            out.insert(out.end(), extra + at, extra + at + 4 + size);
        at += 4 + size;
    }
    return out;
}

struct LocalFacts {
    bool ok = false;
    uint64_t usize = 0, csize = 0;
};

// What the local header at `offset` says of the entry named `name`.
LocalFacts localFacts(FileHandle fd, uint64_t offset, const unsigned char *name, size_t nameLength)
{
    LocalFacts facts;
    unsigned char head[30];
    if (!readAt(fd, head, sizeof head, offset) || get32(head) != kLocalSig)
        return facts;
    const uint16_t nlen = get16(head + 26), xlen = get16(head + 28);
    std::vector<unsigned char> rest(size_t(nlen) + xlen);
    if (nlen != nameLength || !readAt(fd, rest.data(), rest.size(), offset + 30)
        || std::memcmp(rest.data(), name, nameLength) != 0)
        return facts;
    facts.usize = get32(head + 22);
    facts.csize = get32(head + 18);
    std::vector<uint64_t> values;
    if (zip64Values(rest.data() + nlen, xlen, values)) {
        size_t next = 0;
        if (facts.usize == kMax32 && next < values.size())
            facts.usize = values[next++];
        if (facts.csize == kMax32 && next < values.size())
            facts.csize = values[next++];
    }
    facts.ok = true;
    return facts;
}

// The end records of an archive, as read from its last bytes.
struct EndRecords {
    unsigned char end[22];
    unsigned char locator[20];
    unsigned char end64[56];
    bool has64 = false;
    uint64_t entries = 0, cdSize = 0, cdOffset = 0;
};

// Found: the records were read. Leave: an archive this pass does not
// understand, left as it is. Failed: the file could not be read.
enum class Found { Yes, Leave, Failed };

Found readEndRecords(FileHandle fd, uint64_t fileSize, EndRecords &r)
{
    // No archive comment is written: the end record is the last 22 bytes.
    if (!readAt(fd, r.end, sizeof r.end, fileSize - 22))
        return Found::Failed;
    if (get32(r.end) != kEndSig || get16(r.end + 20) != 0)
        return Found::Leave;
    r.entries = get16(r.end + 10);
    r.cdSize = get32(r.end + 12);
    r.cdOffset = get32(r.end + 16);
    if (fileSize >= 22 + 20 && readAt(fd, r.locator, sizeof r.locator, fileSize - 42)
        && get32(r.locator) == kLocatorSig) {
        const uint64_t end64Offset = get64(r.locator + 8);
        if (!readAt(fd, r.end64, sizeof r.end64, end64Offset) || get32(r.end64) != kEnd64Sig)
            return Found::Leave;
        r.has64 = true;
        r.entries = get64(r.end64 + 32);
        r.cdSize = get64(r.end64 + 40);
        r.cdOffset = get64(r.end64 + 48);
    }
    if (r.cdOffset + r.cdSize > fileSize)
        return Found::Leave;
    return Found::Yes;
}

// Some flagged fields of a record have no value: those are the ones whose
// value is exactly the limit. Tries each way of giving the values present
// to the flagged fields in order, and keeps in `real` the one the local
// header confirms; false when none is.
bool confirmedValues(FileHandle fd, const unsigned char *rec, uint16_t nlen, const bool flags[3],
                     const std::vector<uint64_t> &values, uint64_t real[3])
{
    for (unsigned mask = 0; mask < 8; ++mask) {
        uint64_t candidate[3] = {real[0], real[1], real[2]};
        size_t next = 0, taken = 0;
        bool fits = true;
        for (int f = 0; f < 3; ++f) {
            const bool fromField = (mask >> f) & 1u;
            if (fromField && !flags[f])
                fits = false;
            if (flags[f] && fromField) {
                if (next >= values.size())
                    fits = false;
                else
                    candidate[f] = values[next++], ++taken;
            }
        }
        if (!fits || taken != values.size())
            continue;
        const LocalFacts local = localFacts(fd, candidate[2], rec + 46, nlen);
        if (local.ok && local.usize == candidate[0] && local.csize == candidate[1]) {
            std::memcpy(real, candidate, sizeof candidate);
            return true;
        }
    }
    return false;
}

// Appends record `rec` to `mended` with a ZIP64 field holding every
// flagged field's value, before its other extra fields.
void appendMended(const unsigned char *rec, size_t recLength, const bool flags[3], const uint64_t real[3],
                  std::vector<unsigned char> &mended)
{
    const uint16_t nlen = get16(rec + 28), xlen = get16(rec + 30);
    std::vector<unsigned char> extra = withoutZip64(rec + 46 + nlen, xlen);
    unsigned char field[4 + 24];
    size_t fieldLength = 4;
    for (int f = 0; f < 3; ++f)
        if (flags[f])
            put64(field + fieldLength, real[f]), fieldLength += 8;
    put16(field, 1);
    put16(field + 2, uint16_t(fieldLength - 4));
    extra.insert(extra.begin(), field, field + fieldLength);
    const size_t start = mended.size();
    mended.insert(mended.end(), rec, rec + 46 + nlen);
    mended.insert(mended.end(), extra.begin(), extra.end());
    mended.insert(mended.end(), rec + 46 + nlen + xlen, rec + recLength);
    put16(mended.data() + start + 30, uint16_t(extra.size()));
    // A ZIP64 field needs version 4.5 to extract.
    if (get16(mended.data() + start + 6) < 45)
        put16(mended.data() + start + 6, 45);
}

// Appends central record `rec` to `mended`, mended where it needs it and
// the local header confirms how: true when it was.
bool mendRecord(FileHandle fd, const unsigned char *rec, size_t recLength, std::vector<unsigned char> &mended)
{
    const uint16_t nlen = get16(rec + 28), xlen = get16(rec + 30);
    const uint32_t c32 = get32(rec + 20), u32 = get32(rec + 24), o32 = get32(rec + 42);
    std::vector<uint64_t> values;
    const bool hasField = zip64Values(rec + 46 + nlen, xlen, values);
    const size_t flagged = size_t(u32 == kMax32) + size_t(c32 == kMax32) + size_t(o32 == kMax32);
    const bool flags[3] = {u32 == kMax32, c32 == kMax32, o32 == kMax32};
    uint64_t real[3] = {u32, c32, o32};
    if (flagged == 0 || (hasField && values.size() >= flagged)
        || !confirmedValues(fd, rec, nlen, flags, values, real)) {
        mended.insert(mended.end(), rec, rec + recLength);
        return false;
    }
    appendMended(rec, recLength, flags, real, mended);
    return true;
}

// The directory `cd` of `entries` records, mended, into `mended`; false
// when nothing needed it, or when it is not a directory this pass
// understands (it is then left).
bool mendRecords(FileHandle fd, const std::vector<unsigned char> &cd, uint64_t entries,
                 std::vector<unsigned char> &mended)
{
    bool changed = false;
    size_t at = 0;
    for (uint64_t e = 0; e < entries; ++e) {
        if (at + 46 > cd.size() || get32(cd.data() + at) != kCentralSig)
            return false;
        const unsigned char *rec = cd.data() + at;
        const uint16_t nlen = get16(rec + 28), xlen = get16(rec + 30), clen = get16(rec + 32);
        const size_t recLength = 46 + size_t(nlen) + xlen + clen;
        if (at + recLength > cd.size())
            return false;
        if (mendRecord(fd, rec, recLength, mended))
            changed = true;
        at += recLength;
    }
    return changed;
}

// The directory grew: written back in place, then the end records after
// it. Leave when its size cannot be said without a ZIP64 end record (libzip's
// is kept).
Found writeMended(FileHandle fd, EndRecords &r, const std::vector<unsigned char> &mended)
{
    const uint64_t newSize = mended.size();
    std::vector<unsigned char> tail = mended;
    const uint64_t newEnd64Offset = r.cdOffset + newSize;
    if (r.has64) {
        put64(r.end64 + 40, newSize);
        tail.insert(tail.end(), r.end64, r.end64 + sizeof r.end64);
        put64(r.locator + 8, newEnd64Offset);
        tail.insert(tail.end(), r.locator, r.locator + sizeof r.locator);
    }
    if (get32(r.end + 12) != kMax32) {
        if (newSize >= kMax32)
            return Found::Leave;
        put32(r.end + 12, uint32_t(newSize));
    }
    tail.insert(tail.end(), r.end, r.end + sizeof r.end);
    if (!writeAt(fd, tail.data(), tail.size(), r.cdOffset) || !truncateFile(fd, r.cdOffset + tail.size()))
        return Found::Failed;
    return Found::Yes;
}

} // namespace

bool mendCentralDirectory(FileHandle fd, std::string &error)
{
    auto fail = [&](const char *what) {
        error = std::string(what) + ": " + errorText(lastError() ? lastError() : kErrIO);
        return false;
    };
    FileInfo st;
    if (!fileInfo(fd, st))
        return fail("cannot check the archive");
    const uint64_t fileSize = st.size;
    if (fileSize < 22)
        return true;
    EndRecords ends;
    const Found found = readEndRecords(fd, fileSize, ends);
    if (found != Found::Yes)
        return found == Found::Leave || fail("cannot read the archive's end record");

    // Only records with a field at the limit can be affected: look before copying.
    std::vector<unsigned char> cd(static_cast<size_t>(ends.cdSize));
    if (!readAt(fd, cd.data(), cd.size(), ends.cdOffset))
        return fail("cannot read the archive's directory");
    std::vector<unsigned char> mended;
    if (!mendRecords(fd, cd, ends.entries, mended))
        return true;
    if (writeMended(fd, ends, mended) == Found::Failed)
        return fail("cannot write the archive's directory");
    return true;
}

} // namespace zip32
