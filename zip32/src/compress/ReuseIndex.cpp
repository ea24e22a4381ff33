#include "compress/ReuseIndex.h"

#include "compress/Threads.h"
#include "platform/Platform.h"

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

constexpr size_t kPiece = 1u << 20;

uint32_t crcOf(uint32_t crc, const unsigned char *data, size_t length)
{
    return static_cast<uint32_t>(libdeflate_crc32(crc, data, length));
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

IndexWriter::IndexWriter(const std::string &archivePath, const ArchiveStamp &archive, int64_t began,
                         int32_t beganNs, const NamedFolders &named, uint64_t entries)
    : archivePath_(archivePath), name_(indexName(archivePath)), dir_(reuseIndexFolder())
{
    if (dir_ == kNoFile)
        return;
    // Written whole under another name, then renamed over the old index:
    // a reader sees the old one or the new one, never a part.
    temp_ = name_ + "." + std::to_string(processNumber()) + ".tmp";
    fd_ = createIn(dir_, temp_, 0600);
    ok_ = fd_ != kNoFile;
    buffer_.reserve(kPiece + 64);
    buffer_.assign(std::begin(kMagic), std::end(kMagic));
    put(archive.dev, 8);
    put(archive.ino, 8);
    put(archive.size, 8);
    put(static_cast<uint64_t>(archive.mtime), 8);
    put(static_cast<uint32_t>(archive.mtimeNs), 4);
    put(static_cast<uint64_t>(archive.ctime), 8);
    put(static_cast<uint32_t>(archive.ctimeNs), 4);
    put(static_cast<uint64_t>(began), 8);
    put(static_cast<uint32_t>(beganNs), 4);
    put(named.size(), 4);
    for (const auto &[dev, ino] : named) {
        put(dev, 8);
        put(ino, 8);
    }
    put(entries, 8);
}

IndexWriter::~IndexWriter()
{
    if (fd_ != kNoFile) {
        closeFile(fd_);
        removeFile(dir_, temp_);
    }
}

void IndexWriter::put(uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        buffer_.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void IndexWriter::putIdentity(const Identity &id)
{
    put(id.dev, 8);
    put(id.ino, 8);
    put(static_cast<uint64_t>(id.ctime), 8);
    put(static_cast<uint32_t>(id.ctimeNs), 4);
}

void IndexWriter::flush()
{
    crc_ = crcOf(crc_, buffer_.data(), buffer_.size());
    for (size_t done = 0; ok_ && done < buffer_.size();) {
        const int64_t n = writeFileAt(fd_, buffer_.data() + done, buffer_.size() - done, written_);
        ok_ = n > 0;
        done += ok_ ? static_cast<size_t>(n) : 0;
        written_ += ok_ ? static_cast<uint64_t>(n) : 0;
    }
    buffer_.clear();
}

void IndexWriter::add(const Entry *file)
{
    if (!ok_)
        return;
    if (!file) {
        buffer_.push_back(0);
    } else {
        const Identity *link = file->link();
        buffer_.push_back(kKnown | (link ? kViaLink : 0));
        putIdentity(file->identity());
        if (link)
            putIdentity(*link);
    }
    if (buffer_.size() >= kPiece)
        flush();
}

bool IndexWriter::finish()
{
    if (ok_) {
        put(archivePath_.size(), 4);
        buffer_.insert(buffer_.end(), archivePath_.begin(), archivePath_.end());
        flush();
        put(crc_, 4);
        flush();
    }
    if (fd_ != kNoFile) {
        ok_ = closeFile(fd_) && ok_;
        fd_ = kNoFile;
        // The old index, held across the rename, is freed in the background.
        const FileHandle old = ok_ && replacesHeldFiles(dir_) ? openIn(dir_, name_, false) : kNoFile;
        ok_ = ok_ && renameIn(dir_, temp_, name_);
        closeInBackground(old);
        if (!ok_) {
            removeFile(dir_, temp_);
            removeFile(dir_, name_);
        }
    }
    return ok_;
}

void removeIndex(const std::string &archivePath)
{
    const FolderHandle dir = reuseIndexFolder();
    if (dir != kNoFile)
        removeFile(dir, indexName(archivePath));
}

IndexReader::~IndexReader()
{
    if (fd_ != kNoFile)
        closeFile(fd_);
}

// At least `wanted` bytes from at_ on in the buffer, the bytes before at_
// summed and dropped; false past the end of the file.
bool IndexReader::fill(size_t wanted)
{
    if (buffer_.size() - at_ >= wanted)
        return true;
    crc_ = crcOf(crc_, buffer_.data(), at_);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at_));
    offset_ += at_;
    at_ = 0;
    const uint64_t end = offset_ + buffer_.size();
    const size_t more = static_cast<size_t>(std::min<uint64_t>(std::max(kPiece, wanted), size_ - end));
    const size_t had = buffer_.size();
    buffer_.resize(had + more);
    size_t got = 0;
    while (got < more) {
        const int64_t n = readFileAt(fd_, buffer_.data() + had + got, more - got, end + got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    buffer_.resize(had + got);
    return buffer_.size() >= wanted;
}

uint64_t IndexReader::get(int bytes)
{
    if (!ok_ || !(ok_ = fill(static_cast<size_t>(bytes))))
        return 0;
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= uint64_t(buffer_[at_ + i]) << (8 * i);
    at_ += static_cast<size_t>(bytes);
    return v;
}

Identity IndexReader::identity()
{
    Identity id;
    id.dev = get(8);
    id.ino = get(8);
    id.ctime = static_cast<int64_t>(get(8));
    id.ctimeNs = static_cast<int32_t>(get(4));
    return id;
}

bool IndexReader::open(const std::string &archivePath)
{
    const FolderHandle dir = reuseIndexFolder();
    if (dir == kNoFile)
        return false;
    fd_ = openIn(dir, indexName(archivePath), false);
    FileInfo st;
    if (fd_ == kNoFile || !fileInfo(fd_, st) || !S_ISREG(st.mode) || st.size >= kMaxIndex)
        return false;
    archivePath_ = archivePath;
    size_ = st.size;
    if (!fill(sizeof kMagic) || std::memcmp(buffer_.data(), kMagic, sizeof kMagic) != 0)
        return false;
    at_ = sizeof kMagic;
    archive.dev = get(8);
    archive.ino = get(8);
    archive.size = get(8);
    archive.mtime = static_cast<int64_t>(get(8));
    archive.mtimeNs = static_cast<int32_t>(get(4));
    archive.ctime = static_cast<int64_t>(get(8));
    archive.ctimeNs = static_cast<int32_t>(get(4));
    began = static_cast<int64_t>(get(8));
    beganNs = static_cast<int32_t>(get(4));
    const uint64_t folders = get(4);
    for (uint64_t i = 0; ok_ && i < folders; ++i) {
        const uint64_t dev = get(8);
        named.emplace_back(dev, get(8));
    }
    entries = get(8);
    return ok_;
}

bool IndexReader::next(IndexEntry &entry)
{
    const auto flags = static_cast<uint8_t>(get(1));
    entry = IndexEntry{};
    entry.known = (flags & kKnown) != 0;
    entry.viaLink = (flags & kViaLink) != 0;
    if (entry.known)
        entry.file = identity();
    if (entry.viaLink)
        entry.link = identity();
    return ok_;
}

bool IndexReader::finish()
{
    const uint64_t length = get(4);
    if (!ok_ || length != archivePath_.size() || !fill(static_cast<size_t>(length) + 4))
        return false;
    const bool same = std::memcmp(buffer_.data() + at_, archivePath_.data(), archivePath_.size()) == 0;
    at_ += archivePath_.size();
    const uint32_t sum = crcOf(crc_, buffer_.data(), at_);
    const uint64_t stored = get(4);
    return ok_ && same && sum == stored && offset_ + at_ == size_;
}

} // namespace zip32
