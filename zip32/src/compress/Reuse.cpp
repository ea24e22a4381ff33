#include "compress/Reuse.h"

#include "names/Collect.h"
#include "compress/Pieces.h"
#include "compress/ReuseIndex.h"
#include "compress/Threads.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>

namespace zip32 {

namespace {

// Raise whenever the compressed data of the same file with the same settings
// could come out different (Pipeline's packing, sampling, store decisions).
constexpr unsigned char kCompressorGeneration = 1;

constexpr uint32_t kMax32 = 0xFFFFFFFFu;
constexpr uint64_t kMaxDirectory = 1u << 30; // larger central directories are not read

uint16_t get16(const unsigned char *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t get32(const unsigned char *p) { return uint32_t(get16(p)) | uint32_t(get16(p + 2)) << 16; }
uint64_t get64(const unsigned char *p) { return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32; }

int log2Of(uint64_t v)
{
    int n = 0;
    while (v > 1) {
        v >>= 1;
        ++n;
    }
    return n;
}

bool readExactly(FileHandle fd, void *buffer, size_t length, uint64_t offset)
{
    auto *p = static_cast<unsigned char *>(buffer);
    while (length > 0) {
        const int64_t n = readFileAt(fd, p, length, offset);
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

} // namespace

void fingerprint(int level, int64_t mtimeNs, unsigned char out[kFingerprintSize])
{
    out[0] = kCompressorGeneration;
    out[1] = static_cast<unsigned char>(level);
    out[2] = static_cast<unsigned char>(log2Of(kChunk));
    out[3] = static_cast<unsigned char>(log2Of(kWholeMax));
    out[4] = static_cast<unsigned char>(LIBDEFLATE_VERSION_MAJOR);
    out[5] = static_cast<unsigned char>(LIBDEFLATE_VERSION_MINOR);
    const auto ns = static_cast<uint32_t>(mtimeNs);
    for (int i = 0; i < 4; ++i)
        out[6 + i] = static_cast<unsigned char>(ns >> (8 * i));
}

void fingerprint(int level, int64_t mtimeNs, uint32_t dataCrc, unsigned char out[kFingerprintWithDataSize])
{
    fingerprint(level, mtimeNs, out);
    for (int i = 0; i < 4; ++i)
        out[kFingerprintSize + i] = static_cast<unsigned char>(dataCrc >> (8 * i));
}

EarlierArchive::~EarlierArchive() { close(); }

void EarlierArchive::close(bool inBackground)
{
    if (fd_ != kNoFile && inBackground)
        closeInBackground(fd_);
    else if (fd_ != kNoFile)
        closeFile(fd_);
    fd_ = kNoFile;
}

std::unique_ptr<EarlierArchive> EarlierArchive::open(const std::string &path, int level)
{
    const FileHandle fd = openForReading(path);
    if (fd == kNoFile)
        return nullptr;
    std::unique_ptr<EarlierArchive> a(new EarlierArchive);
    a->fd_ = fd;
    FileInfo st;
    if (!fileInfo(fd, st) || !S_ISREG(st.mode))
        return nullptr;
    a->size_ = st.size;
    // Its index is believed only when it describes this very archive, as it
    // stands: touched, rewritten or replaced since, it vouches for nothing.
    IndexReader index;
    const bool indexed = index.open(path) && index.archive == stampOf(st);
    if (!a->readDirectory(level, indexed ? &index : nullptr) || a->records_.empty())
        return nullptr;
    if (a->indexed_) {
        a->began_ = index.began;
        a->beganNs_ = index.beganNs;
        a->named_ = std::move(index.named);
    }
    return a;
}

void EarlierArchive::setNamedFolders(const NamedFolders &named)
{
    sameFolders_ = indexed_ && named == named_;
}

// Where the central directory lies, from the end records (the engine
// writes no comment); false for anything but a single-disk archive.
bool EarlierArchive::locateDirectory(uint64_t &count, uint64_t &dirSize, uint64_t &dirStart) const
{
    if (size_ < 22)
        return false;
    unsigned char end[22];
    const uint64_t endAt = size_ - 22;
    if (!readExactly(fd_, end, sizeof end, endAt) || get32(end) != 0x06054b50 || get16(end + 20) != 0)
        return false;
    if (get16(end + 4) != 0 || get16(end + 6) != 0 || get16(end + 8) != get16(end + 10))
        return false;
    count = get16(end + 10);
    dirSize = get32(end + 12);
    dirStart = get32(end + 16);
    uint64_t dirEnd = endAt;
    unsigned char locator[20];
    if (endAt >= 20 && readExactly(fd_, locator, sizeof locator, endAt - 20)
        && get32(locator) == 0x07064b50) {
        const uint64_t at = get64(locator + 8);
        unsigned char end64[56];
        if (get32(locator + 4) != 0 || at > endAt - 20 || endAt - 20 - at < sizeof end64
            || !readExactly(fd_, end64, sizeof end64, at) || get32(end64) != 0x06064b50)
            return false;
        if (get32(end64 + 16) != 0 || get32(end64 + 20) != 0 || get64(end64 + 24) != get64(end64 + 32))
            return false;
        count = get64(end64 + 32);
        dirSize = get64(end64 + 40);
        dirStart = get64(end64 + 48);
        dirEnd = at;
    } else if (count == 0xFFFF || dirSize == kMax32 || dirStart == kMax32) {
        return false;
    }
    return dirStart <= dirEnd && dirSize <= dirEnd - dirStart && dirSize <= kMaxDirectory
           && count <= dirSize / 46;
}

namespace {

// What an entry's bits say (EarlierArchive::Old).
enum : uint8_t {
    kUsable = 1, // fingerprint matches; name seen once
    kStored = 2, // method 0, else deflated
    kDataCrcKnown = 4,
    kHasTime = 8, // an extended timestamp
    kKnown = 16, // the index says which file it was made from
    kViaLink = 32, // through a link
};

// A central record's sizes, offset and times as read, before they are packed.
struct Central {
    uint64_t localOffset = 0;
    uint64_t compSize = 0;
    uint64_t size = 0;
    int64_t mtime = -1; // extended timestamp, -1 when none
    int64_t mtimeNs = -1; // from the fingerprint
    uint32_t dataCrc = 0;
    bool dataCrcKnown = false;
};

// The extra fields of a central record into `o`: its ZIP64 values, its
// extended timestamp and this compressor's fingerprint (`mine`). False when
// they cannot be read whole; `fingerprinted` says whether it is ours.
bool readExtra(const unsigned char *extra, size_t extraLength, const unsigned char *mine, Central &o,
               bool &fingerprinted)
{
    bool ok = true;
    for (size_t at = 0; at + 4 <= extraLength;) {
        const uint16_t id = get16(extra + at), length = get16(extra + at + 2);
        if (at + 4 + length > extraLength)
            return false;
        const unsigned char *body = extra + at + 4;
        if (id == 0x0001) {
            size_t used = 0;
            auto take = [&](uint64_t &value) {
                if (value != kMax32)
                    return;
                if (used + 8 > length) {
                    ok = false;
                    return;
                }
                value = get64(body + used);
                used += 8;
            };
            take(o.size);
            take(o.compSize);
            take(o.localOffset);
        } else if (id == 0x5455 && length >= 5 && (body[0] & 1)) {
            o.mtime = get32(body + 1);
        } else if (id == kFingerprintId && (length == kFingerprintSize || length == kFingerprintWithDataSize)
                   && std::memcmp(body, mine, 6) == 0) {
            fingerprinted = true;
            o.mtimeNs = get32(body + 6);
            o.dataCrcKnown = length == kFingerprintWithDataSize;
            if (o.dataCrcKnown)
                o.dataCrc = get32(body + kFingerprintSize);
        }
        at += 4 + length;
    }
    return ok;
}

// The central record at p, of a directory that ends at stop, packed into
// `o`, and its name; p moves on past it. False when it is not one, whole.
template <typename Old>
bool readRecord(const unsigned char *&p, const unsigned char *stop, const unsigned char *mine, Old &o,
                std::string_view &name)
{
    if (stop - p < 46 || get32(p) != 0x02014b50)
        return false;
    const size_t nameLength = get16(p + 28), extraLength = get16(p + 30), commentLength = get16(p + 32);
    if (static_cast<size_t>(stop - p) < 46 + nameLength + extraLength + commentLength)
        return false;
    Central c;
    const uint16_t madeBy = get16(p + 4), method = get16(p + 10), disk = get16(p + 34);
    o.flags = get16(p + 8);
    o.crc = get32(p + 16);
    c.compSize = get32(p + 20);
    c.size = get32(p + 24);
    o.external = get32(p + 38);
    c.localOffset = get32(p + 42);
    name = std::string_view(reinterpret_cast<const char *>(p + 46), nameLength);
    bool fingerprinted = false;
    const bool extraOk = readExtra(p + 46 + nameLength, extraLength, mine, c, fingerprinted);
    p += 46 + nameLength + extraLength + commentLength;
    const bool usable = fingerprinted && extraOk && disk == 0 && (madeBy >> 8) == 3
                        && (method == 0 || method == 8) && (o.flags & ~0x0806u) == 0 && !name.empty()
                        && name.back() != '/';
    o.localOffset = c.localOffset;
    o.compSize = c.compSize;
    o.size = c.size;
    o.dataCrc = c.dataCrc;
    o.mtime = static_cast<uint32_t>(c.mtime);
    o.mtimeNs = static_cast<uint32_t>(c.mtimeNs);
    o.nameLength = static_cast<uint16_t>(nameLength);
    o.bits = static_cast<uint8_t>((usable ? kUsable : 0) | (method == 0 ? kStored : 0)
                                  | (c.dataCrcKnown ? kDataCrcKnown : 0) | (c.mtime >= 0 ? kHasTime : 0));
    return true;
}

// Sizes this engine could have written for an entry of its method.
template <typename Old> bool sizesPlausible(const Old &o)
{
    if (o.bits & kStored)
        return o.compSize == o.size;
    return o.size >= 2 && o.compSize != 0
           && (o.size <= kWholeMax ? o.compSize < o.size : o.compSize <= o.size + o.size / 8 + 1024);
}

size_t hashOf(std::string_view name) { return std::hash<std::string_view>{}(name); }

// The length of the names of the first `count` central records at p, of a
// directory that ends at stop (of those that are there whole).
size_t namesLength(const unsigned char *p, const unsigned char *stop, uint64_t count)
{
    size_t total = 0;
    for (uint64_t k = 0; k < count && stop - p >= 46; ++k) {
        const size_t name = get16(p + 28), record = 46 + name + get16(p + 30) + get16(p + 32);
        if (static_cast<size_t>(stop - p) < record)
            break;
        total += name;
        p += record;
    }
    return total;
}

} // namespace

size_t EarlierArchive::slotOf(std::string_view name) const
{
    const size_t mask = slots_.size() - 1;
    for (size_t at = hashOf(name) & mask;; at = (at + 1) & mask) {
        const uint32_t slot = slots_[at];
        if (slot == 0 || nameOf(records_[slot - 1]) == name)
            return at;
    }
}

void EarlierArchive::forgetSources()
{
    indexed_ = false;
    for (Old &o : records_)
        o.bits = static_cast<uint8_t>(o.bits & ~(kKnown | kViaLink));
    std::vector<Source>().swap(sources_);
    std::vector<uint64_t>().swap(devices_);
    std::vector<std::pair<uint32_t, Identity>>().swap(links_);
}

// The file the index says entry `o` was made from (the next entry of the
// index), kept beside it.
void EarlierArchive::takeSource(Old &o, const IndexEntry &source)
{
    if (!source.known) {
        sources_.emplace_back();
        return;
    }
    o.bits |= kKnown;
    const auto [number, added] =
        deviceNumbers_.try_emplace(source.file.dev, static_cast<uint32_t>(devices_.size()));
    if (added)
        devices_.push_back(source.file.dev);
    sources_.push_back({source.file.ino, source.file.ctime, source.file.ctimeNs, number->second});
    if (source.viaLink) {
        o.bits |= kViaLink;
        links_.emplace_back(static_cast<uint32_t>(records_.size()), source.link);
    }
}

// Entry `o`, named `name`, into the table, with the file it was made from
// when the index is read; a name seen before is kept once, and never used.
void EarlierArchive::keep(Old &o, std::string_view name, const IndexEntry *source)
{
    const size_t slot = slotOf(name);
    if (slots_[slot] != 0) {
        Old &first = records_[slots_[slot] - 1];
        first.bits = static_cast<uint8_t>(first.bits & ~kUsable);
        return;
    }
    o.name = static_cast<uint32_t>(names_.size());
    names_.append(name);
    if (source)
        takeSource(o, *source);
    records_.push_back(o);
    slots_[slot] = static_cast<uint32_t>(records_.size());
}

bool EarlierArchive::readDirectory(int level, IndexReader *index)
{
    uint64_t count = 0, dirSize = 0, dirStart = 0;
    if (!locateDirectory(count, dirSize, dirStart))
        return false;
    indexed_ = index && index->entries == count;
    directoryStart_ = dirStart;
    std::vector<unsigned char> dir(static_cast<size_t>(dirSize));
    if (!readExactly(fd_, dir.data(), dir.size(), dirStart))
        return false;

    // Made to size at once: no table is copied while it grows.
    records_.reserve(static_cast<size_t>(count));
    names_.reserve(namesLength(dir.data(), dir.data() + dir.size(), count));
    if (indexed_)
        sources_.reserve(static_cast<size_t>(count));
    size_t slots = 16;
    while (slots < 2 * count)
        slots *= 2;
    slots_.assign(slots, 0);

    unsigned char mine[kFingerprintSize];
    fingerprint(level, 0, mine);
    const unsigned char *p = dir.data();
    const unsigned char *const stop = p + dir.size();
    for (uint64_t k = 0; k < count; ++k) {
        Old o;
        std::string_view name;
        if (!readRecord(p, stop, mine, o, name))
            return false;
        IndexEntry source;
        if (indexed_ && !index->next(source))
            forgetSources(); // an index cut short vouches for nothing
        keep(o, name, indexed_ ? &source : nullptr);
    }
    std::unordered_map<uint64_t, uint32_t>().swap(deviceNumbers_);
    // Only an index read whole and unchanged, of this archive, vouches.
    if (indexed_ && !index->finish())
        forgetSources();
    return true;
}

void EarlierArchive::forgetDirectory()
{
    std::vector<Old>().swap(records_);
    std::string().swap(names_);
    std::vector<uint32_t>().swap(slots_);
    std::vector<Source>().swap(sources_);
    std::vector<uint64_t>().swap(devices_);
    std::vector<std::pair<uint32_t, Identity>>().swap(links_);
}

CopySource EarlierArchive::find(const Entry &e, uint32_t externalAttributes) const
{
    CopySource none;
    const size_t slot = slots_.empty() ? 0 : slotOf(e.stored);
    if (slots_.empty() || slots_[slot] == 0)
        return none;
    const Old &o = records_[slots_[slot] - 1];
    const int64_t mtime = (o.bits & kHasTime) ? int64_t(o.mtime) : -1;
    if (!(o.bits & kUsable) || e.mtime < 0 || o.size != e.size || mtime != e.mtime
        || int64_t(o.mtimeNs) != e.mtimeNs || o.external != externalAttributes || !sizesPlausible(o))
        return none;
    // The local header, agreeing with the central record. A small file's
    // is read with its data by the worker that copies it (see
    // headerAgrees); its data follows the name and the extended timestamp,
    // the only field this engine puts there for it. A big file's is read
    // here, since its data is checked in pieces.
    const size_t nameLength = e.stored.size();
    if (nameLength > kMaxCopiedName || o.localOffset > directoryStart_)
        return none;
    CopySource c;
    c.use = true;
    c.verify = !vouchedFor(e, o);
    c.stored = (o.bits & kStored) != 0;
    c.flags = o.flags;
    c.compSize = o.compSize;
    c.crc = o.crc;
    c.dataCrc = o.dataCrc;
    c.dataCrcKnown = (o.bits & kDataCrcKnown) != 0;
    uint64_t header = 30 + nameLength + kTimestampLength;
    if (o.size > kWholeMax) {
        if (directoryStart_ - o.localOffset < 30 + nameLength)
            return none;
        std::vector<unsigned char> local(30 + nameLength);
        if (!readExactly(fd_, local.data(), local.size(), o.localOffset)
            || !headerAgrees(local.data(), c, o.size, e.stored, false))
            return none;
        header = 30 + nameLength + get16(local.data() + 28);
    } else {
        c.headerLength = static_cast<uint16_t>(header);
    }
    if (directoryStart_ - o.localOffset < header || o.compSize > directoryStart_ - o.localOffset - header)
        return none;
    c.offset = o.localOffset + header;
    return c;
}

namespace {

// Not changed since the earlier run began: a change after it would have
// moved the change time past that moment, and no program sets a change time
// back. Where either time has no fraction of a second (a file system that
// keeps whole or even seconds), two seconds to spare.
bool before(const Identity &file, int64_t began, int64_t beganNs)
{
    const bool coarse = beganNs == 0 || file.ctimeNs == 0;
    const int64_t ctime = file.ctime + (coarse ? 2 : 0);
    return ctime < began || (ctime == began && file.ctimeNs < beganNs);
}

} // namespace

// The earlier archive's word that the entry's data is this file's, as it is
// now: the same file as then, on a file system that keeps real change
// times, unchanged since before the earlier run read it; through the same
// link, unchanged too, when it is reached through one.
bool EarlierArchive::vouchedFor(const Entry &e, const Old &o) const
{
    if (!sameFolders_ || !(o.bits & kKnown) || !e.folder->keepsChangeTimes || e.dev != e.folder->dev)
        return false;
    const auto k = static_cast<uint32_t>(&o - records_.data());
    const Source &s = sources_[k];
    const Identity file{devices_[s.dev], s.ino, s.ctime, s.ctimeNs};
    if (!(file == e.identity()) || !before(file, began_, beganNs_))
        return false;
    const Identity *const through = e.link();
    if (((o.bits & kViaLink) != 0) != (through != nullptr))
        return false;
    if (!through)
        return true;
    const auto link = std::lower_bound(links_.begin(), links_.end(), k,
                                       [](const auto &l, uint32_t entry) { return l.first < entry; });
    return link != links_.end() && link->first == k && link->second == *through
           && before(*through, began_, beganNs_);
}

bool headerAgrees(const unsigned char *h, const CopySource &c, uint64_t size, std::string_view name,
                  bool timestampOnly)
{
    const size_t nameLength = name.size();
    const uint32_t localComp = get32(h + 18), localSize = get32(h + 22);
    return get32(h) == 0x04034b50 && get16(h + 6) == c.flags && get16(h + 8) == (c.stored ? 0 : 8)
           && get32(h + 14) == c.crc && (localComp == kMax32 || localComp == c.compSize)
           && (localSize == kMax32 || localSize == size) && get16(h + 26) == nameLength
           && (!timestampOnly || get16(h + 28) == kTimestampLength)
           && std::memcmp(h + 30, name.data(), nameLength) == 0;
}

} // namespace zip32
