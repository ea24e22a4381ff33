#include "ReuseIndex.h"

#include "Platform.h"

#include <libdeflate.h>

#include <cstdio>
#include <cstring>
#include <iterator>

namespace zip32 {

namespace {

constexpr unsigned char kMagic[8] = {'Q', 'B', 'R', 'E', 'U', 'S', 'E', '1'};
// An index larger than this is not one this engine wrote.
constexpr uint64_t kMaxIndex = uint64_t(1) << 32;

enum : uint8_t { kKnown = 1, kViaLink = 2 };

// The index's name in the cache folder: the archive's full path hashed
// (FNV-1a, 64 bits). The path is in the index too: a hash shared by two
// archives only makes one index miss.
std::string indexName(const std::string &archivePath)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (const char c : archivePath) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.idx", static_cast<unsigned long long>(h));
    return name;
}

void put(std::vector<unsigned char> &out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void putIdentity(std::vector<unsigned char> &out, const Identity &id)
{
    put(out, id.dev, 8);
    put(out, id.ino, 8);
    put(out, static_cast<uint64_t>(id.ctime), 8);
    put(out, static_cast<uint32_t>(id.ctimeNs), 4);
}

uint32_t crcOf(const unsigned char *data, size_t length)
{
    return static_cast<uint32_t>(libdeflate_crc32(0, data, length));
}

} // namespace

ArchiveStamp stampOf(const FileInfo &st)
{
    ArchiveStamp s;
    s.dev = st.dev;
    s.ino = st.ino;
    s.size = st.size;
    s.mtime = st.mtime;
    s.mtimeNs = static_cast<int32_t>(st.mtimeNs);
    s.ctime = st.ctime;
    s.ctimeNs = static_cast<int32_t>(st.ctimeNs);
    return s;
}

IndexWriter::IndexWriter(const ArchiveStamp &archive, int64_t began, int32_t beganNs, const NamedFolders &named,
                         uint64_t entries)
{
    bytes_.assign(std::begin(kMagic), std::end(kMagic));
    bytes_.reserve(128 + 16 * named.size() + 29 * entries);
    put(bytes_, archive.dev, 8);
    put(bytes_, archive.ino, 8);
    put(bytes_, archive.size, 8);
    put(bytes_, static_cast<uint64_t>(archive.mtime), 8);
    put(bytes_, static_cast<uint32_t>(archive.mtimeNs), 4);
    put(bytes_, static_cast<uint64_t>(archive.ctime), 8);
    put(bytes_, static_cast<uint32_t>(archive.ctimeNs), 4);
    put(bytes_, static_cast<uint64_t>(began), 8);
    put(bytes_, static_cast<uint32_t>(beganNs), 4);
    put(bytes_, named.size(), 4);
    for (const auto &[dev, ino] : named) {
        put(bytes_, dev, 8);
        put(bytes_, ino, 8);
    }
    put(bytes_, entries, 8);
}

void IndexWriter::add(const Entry *file)
{
    if (!file) {
        bytes_.push_back(0);
        return;
    }
    bytes_.push_back(kKnown | (file->link ? kViaLink : 0));
    putIdentity(bytes_, file->identity());
    if (file->link)
        putIdentity(bytes_, *file->link);
}

bool IndexWriter::write(const std::string &archivePath)
{
    const FolderHandle dir = reuseIndexFolder();
    if (dir == kNoFile)
        return false;
    const std::string name = indexName(archivePath);
    std::vector<unsigned char> bytes = bytes_;
    put(bytes, archivePath.size(), 4);
    bytes.insert(bytes.end(), archivePath.begin(), archivePath.end());
    put(bytes, crcOf(bytes.data(), bytes.size()), 4);
    // Written whole under another name, then renamed over the old index:
    // a reader sees the old one or the new one, never a part.
    const std::string temp = name + "." + std::to_string(processNumber()) + ".tmp";
    const FileHandle fd = createIn(dir, temp, 0600);
    bool ok = fd != kNoFile;
    for (size_t done = 0; ok && done < bytes.size();) {
        const int64_t n = writeFileAt(fd, bytes.data() + done, bytes.size() - done, done);
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    if (fd != kNoFile)
        ok = closeFile(fd) && ok;
    ok = ok && renameIn(dir, temp, name);
    if (!ok) {
        removeFile(dir, temp);
        removeFile(dir, name);
    }
    return ok;
}

void removeIndex(const std::string &archivePath)
{
    const FolderHandle dir = reuseIndexFolder();
    if (dir != kNoFile)
        removeFile(dir, indexName(archivePath));
}

namespace {

// Reads the little-endian fields of an index, never past its end.
class Cursor {
public:
    Cursor(const std::vector<unsigned char> &bytes, size_t at, size_t end) : bytes_(bytes), at_(at), end_(end) {}
    bool ok() const { return ok_; }
    size_t at() const { return at_; }
    uint64_t get(int bytes)
    {
        if (end_ - at_ < static_cast<size_t>(bytes)) {
            ok_ = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= uint64_t(bytes_[at_ + i]) << (8 * i);
        at_ += bytes;
        return v;
    }
    Identity identity()
    {
        Identity id;
        id.dev = get(8);
        id.ino = get(8);
        id.ctime = static_cast<int64_t>(get(8));
        id.ctimeNs = static_cast<int32_t>(get(4));
        return id;
    }

private:
    const std::vector<unsigned char> &bytes_;
    size_t at_, end_;
    bool ok_ = true;
};

bool readWhole(FolderHandle dir, const std::string &name, std::vector<unsigned char> &bytes)
{
    const FileHandle fd = openIn(dir, name, false);
    if (fd == kNoFile)
        return false;
    FileInfo st;
    bool ok = fileInfo(fd, st) && S_ISREG(st.mode) && st.size >= sizeof kMagic + 8 && st.size < kMaxIndex;
    if (ok) {
        bytes.resize(static_cast<size_t>(st.size));
        for (size_t done = 0; ok && done < bytes.size();) {
            const int64_t n = readFileAt(fd, bytes.data() + done, bytes.size() - done, done);
            ok = n > 0;
            done += ok ? static_cast<size_t>(n) : 0;
        }
    }
    closeFile(fd);
    return ok;
}

} // namespace

bool IndexReader::open(const std::string &archivePath)
{
    const FolderHandle dir = reuseIndexFolder();
    if (dir == kNoFile || !readWhole(dir, indexName(archivePath), bytes_))
        return false;
    // The last four bytes sum all before them; before them, the archive's
    // path.
    const size_t size = bytes_.size();
    Cursor tail(bytes_, size - 4, size);
    if (archivePath.size() + 8 + sizeof kMagic > size || crcOf(bytes_.data(), size - 4) != tail.get(4))
        return false;
    const size_t pathAt = size - 4 - archivePath.size();
    Cursor length(bytes_, pathAt - 4, pathAt);
    if (length.get(4) != archivePath.size()
        || std::memcmp(bytes_.data() + pathAt, archivePath.data(), archivePath.size()) != 0
        || std::memcmp(bytes_.data(), kMagic, sizeof kMagic) != 0)
        return false;
    end_ = pathAt - 4;
    Cursor c(bytes_, sizeof kMagic, end_);
    archive.dev = c.get(8);
    archive.ino = c.get(8);
    archive.size = c.get(8);
    archive.mtime = static_cast<int64_t>(c.get(8));
    archive.mtimeNs = static_cast<int32_t>(c.get(4));
    archive.ctime = static_cast<int64_t>(c.get(8));
    archive.ctimeNs = static_cast<int32_t>(c.get(4));
    began = static_cast<int64_t>(c.get(8));
    beganNs = static_cast<int32_t>(c.get(4));
    const uint64_t folders = c.get(4);
    for (uint64_t i = 0; c.ok() && i < folders; ++i) {
        const uint64_t dev = c.get(8);
        named.emplace_back(dev, c.get(8));
    }
    entries = c.get(8);
    at_ = c.at();
    return c.ok();
}

bool IndexReader::next(IndexEntry &entry)
{
    Cursor c(bytes_, at_, end_);
    const auto flags = static_cast<uint8_t>(c.get(1));
    entry = IndexEntry{};
    entry.known = (flags & kKnown) != 0;
    entry.viaLink = (flags & kViaLink) != 0;
    if (entry.known)
        entry.file = c.identity();
    if (entry.viaLink)
        entry.link = c.identity();
    at_ = c.at();
    return c.ok();
}

} // namespace zip32
