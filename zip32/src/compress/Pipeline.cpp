#include "compress/Pipeline.h"

#include "names/Collect.h"
#include "messages/Messenger.h"
#include "platform/Platform.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace zip32 {

std::atomic<bool> g_processEnding{false};

namespace {

constexpr size_t kSample = 64u << 10;

const char *const kChanged = "skipped, changed while being read";

// Reads exactly `length` bytes at `offset`; false with lastError() set on an
// error, false with lastError() 0 when the file ended early.
bool readAt(FileHandle fd, unsigned char *buffer, uint64_t length, uint64_t offset)
{
    while (length > 0) {
        int64_t n = readFileAt(fd, buffer, length, offset);
        if (n < 0)
            return false;
        if (n == 0) {
            setLastError(0);
            return false;
        }
        buffer += n;
        length -= static_cast<uint64_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// Reads exactly `headLength` bytes into head and `length` into buffer, from
// `offset` on: one call unless it comes back short.
bool readAt(FileHandle fd, unsigned char *head, size_t headLength, unsigned char *buffer, uint64_t length,
            uint64_t offset)
{
    const int64_t n = readFileAt(fd, head, headLength, buffer, static_cast<size_t>(length), offset);
    if (n < 0)
        return false;
    const auto got = static_cast<uint64_t>(n);
    if (got < headLength)
        return readAt(fd, head + got, headLength - got, offset + got)
               && readAt(fd, buffer, length, offset + headLength);
    return readAt(fd, buffer + (got - headLength), length - (got - headLength), offset + got);
}

struct Fd {
    FileHandle fd = kNoFile;
    ~Fd()
    {
        if (fd != kNoFile)
            closeFile(fd);
    }
};

// The same file, unchanged: what a read of it, begun with `before`, ended
// with. Its data and its change time move with every write through write();
// a change time kept also catches data put back with an old modification
// time.
bool unchangedSince(const FileInfo &before, const FileInfo &after)
{
    return after.size == before.size && after.mtime == before.mtime && after.mtimeNs == before.mtimeNs
           && after.ctime == before.ctime && after.ctimeNs == before.ctimeNs;
}

// The file as it was listed: a big file read in pieces, or vouched for by
// the earlier archive, must be that one, unchanged.
bool asListed(const FileInfo &s, const Entry &e)
{
    return s.size == e.size && s.mtime == e.mtime && s.mtimeNs == e.mtimeNs && s.ctime == e.ctime
           && s.ctimeNs == e.ctimeNs;
}

// Reads a file of `size` bytes whole into `in`, which has room for one byte
// more: a byte past the size tells that it grew. The number of bytes read,
// or -1 with lastError() set.
int64_t readWhole(FileHandle fd, unsigned char *in, uint64_t size)
{
    uint64_t got = 0;
    for (;;) {
        const uint64_t want = size + 1 - got;
        int64_t n = readFile(fd, in + got, want);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<uint64_t>(n);
        // A short read of a regular file is its end: no second call just to
        // be told so, when the size is the one seen on opening.
        if (got == size + 1 || (got == size && static_cast<uint64_t>(n) < want))
            break;
    }
    return static_cast<int64_t>(got);
}

// The checks of a big file's data read it in pieces of this size.
constexpr size_t kCheckPiece = 1u << 20;

// What came out of the earlier archive's data so far, as it is checked.
struct StreamSums {
    uint32_t crc = 0;
    uint64_t raw = 0;
    bool ended = false; // the deflate stream ended
};

// Inflates one piece of the data in `in`, summing what comes out; false
// when it is not (the next part of) one deflate stream of at most `limit`
// bytes, with nothing after its end.
bool inflatePiece(z_stream &walker, unsigned char *in, size_t n, unsigned char *out, uint64_t limit,
                  StreamSums &sums)
{
    walker.next_in = in;
    walker.avail_in = static_cast<uInt>(n);
    while (walker.avail_in > 0 && !sums.ended) {
        walker.next_out = out;
        walker.avail_out = static_cast<uInt>(kCheckPiece);
        const int rc = inflate(&walker, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END)
            return false;
        const size_t made = kCheckPiece - walker.avail_out;
        sums.crc = static_cast<uint32_t>(libdeflate_crc32(sums.crc, out, made));
        sums.raw += made;
        if (sums.raw > limit)
            return false;
        if (rc == Z_STREAM_END) {
            if (walker.avail_in != 0)
                return false; // bytes after the end of the stream
            sums.ended = true;
        } else if (made == 0 && walker.avail_in > 0)
            return false;
    }
    return true;
}

// The output inflate still holds back once all the data went in; false
// when the stream does not end there or grows past `limit` bytes.
bool finishInflate(z_stream &walker, unsigned char *out, uint64_t limit, StreamSums &sums)
{
    for (;;) {
        walker.next_out = out;
        walker.avail_out = static_cast<uInt>(kCheckPiece);
        const int rc = inflate(&walker, Z_FINISH);
        const size_t made = kCheckPiece - walker.avail_out;
        sums.crc = static_cast<uint32_t>(libdeflate_crc32(sums.crc, out, made));
        sums.raw += made;
        if (rc == Z_STREAM_END) {
            sums.ended = true;
            return true;
        }
        if (made == 0 || sums.raw > limit)
            return false;
    }
}

} // namespace

void Bytes::assign(const unsigned char *from, size_t n) { std::memcpy(allocate(n), from, n); }

namespace {

// A worker's buffer, kept from task to task and grown as needed; its old
// contents are never needed, so it is neither copied nor zero-filled.
class Scratch {
public:
    unsigned char *get(size_t n)
    {
        if (n > capacity_) {
            p_.reset();
            p_.reset(new unsigned char[n]);
            capacity_ = n;
        }
        return p_.get();
    }
    // Gives the memory back when it grew past `keep`.
    void trim(size_t keep)
    {
        if (capacity_ > keep) {
            p_.reset();
            capacity_ = 0;
        }
    }

private:
    std::unique_ptr<unsigned char[]> p_;
    size_t capacity_ = 0;
};

// Sampling a piece of a big file: three samples of this size.
constexpr size_t kChunkSample = 16u << 10;

} // namespace

struct Pipeline::Worker {
    libdeflate_compressor *whole = nullptr;
    libdeflate_compressor *sampler = nullptr;
    z_stream walker{}; // raw inflate, to find a piece's final block
    bool walkerReady = false;
    libdeflate_decompressor *inflater = nullptr; // checking copied data
    Scratch in, out;
    Scratch head; // a copied file's local header
    std::vector<unsigned char> sink = std::vector<unsigned char>(64u << 10);

    const int level;

    explicit Worker(int compressionLevel) : level(compressionLevel)
    {
        whole = libdeflate_alloc_compressor(level);
        sampler = libdeflate_alloc_compressor(1);
        if (inflateInit2(&walker, -15) == Z_OK)
            walkerReady = true;
        if (!whole || !sampler || !walkerReady) {
            release();
            throw std::bad_alloc();
        }
    }
    ~Worker() { release(); }
    void release()
    {
        if (whole)
            libdeflate_free_compressor(whole);
        if (sampler)
            libdeflate_free_compressor(sampler);
        if (walkerReady)
            inflateEnd(&walker);
        if (inflater)
            libdeflate_free_decompressor(inflater);
        inflater = nullptr;
        whole = sampler = nullptr;
        walkerReady = false;
    }

    // True when none of the samples shrinks by at least 1% at the fastest
    // level: the data is taken to be incompressible and stored.
    bool incompressible(const unsigned char *const *samples, const size_t *lengths, int count)
    {
        uint64_t in = 0, packed = 0;
        for (int i = 0; i < count; ++i) {
            const size_t avail = lengths[i] - lengths[i] / 100;
            size_t n = libdeflate_deflate_compress(sampler, samples[i], lengths[i], sink.data(),
                                                   std::min(avail, sink.size()));
            in += lengths[i];
            packed += n ? n : lengths[i];
        }
        return packed >= in - in / 100;
    }

    // Makes the complete deflate stream data[0, n) one that another stream
    // can follow: its final block's last-block bit is cleared and, when it
    // ends inside a byte, an empty stored block brings it to a byte boundary
    // (as zlib's examples/gzjoin.c does). The final block is found by walking
    // the blocks with inflate. data has room for 5 more bytes. Returns the
    // new length, or 0 when the stream could not be walked.
    size_t endOnByte(unsigned char *data, size_t n)
    {
        if (inflateReset(&walker) != Z_OK)
            return 0;
        walker.next_in = data;
        walker.avail_in = static_cast<uInt>(n);
        uint64_t header = 0; // bit position of the header of the block being decoded
        for (;;) {
            walker.next_out = sink.data();
            walker.avail_out = static_cast<uInt>(sink.size());
            const int rc = inflate(&walker, Z_BLOCK);
            if (rc != Z_OK)
                return 0; // Z_STREAM_END too: the end of the final block comes first
            const int type = walker.data_type;
            if (!(type & 128))
                continue;
            const uint64_t bit = static_cast<uint64_t>(walker.next_in - data) * 8 - (type & 7);
            if (!(type & 64)) {
                header = bit; // between blocks: the next header starts here
                continue;
            }
            if (walker.avail_in != 0)
                return 0; // the final block ended before the data did
            break;
        }
        data[header >> 3] &= static_cast<unsigned char>(~(1u << (header & 7)));
        const int unused = walker.data_type & 7;
        if (unused == 0)
            return n;
        // The empty stored block's three header bits are zero; when they do
        // not fit in the last byte they take one more.
        data[n - 1] &= static_cast<unsigned char>((1u << (8 - unused)) - 1);
        if (unused < 3)
            data[n++] = 0;
        const unsigned char empty[4] = {0, 0, 0xFF, 0xFF};
        std::memcpy(data + n, empty, 4);
        return n + 4;
    }

    // A file read whole, deflated into r, or stored when its samples, or
    // the whole of it, do not shrink.
    void packWhole(const unsigned char *in, uint64_t size, TaskResult &r)
    {
        bool store = size <= 1;
        if (!store && size >= 4 * kSample) {
            const unsigned char *samples[3] = {in, in + size / 2 - kSample / 2, in + size - kSample};
            const size_t lengths[3] = {kSample, kSample, kSample};
            store = incompressible(samples, lengths, 3);
        }
        if (!store) {
            // Room for one byte less than the input: output that does not
            // shrink does not fit, and the data is stored.
            unsigned char *packed = out.get(size - 1);
            const size_t n = libdeflate_deflate_compress(whole, in, size, packed, size - 1);
            if (n == 0)
                store = true;
            else
                r.data.assign(packed, n);
        }
        if (store) {
            r.stored = true;
            r.data.assign(in, size);
        }
    }
};

namespace {

// The bytes as deflate stored blocks, the last one marked final when the
// piece ends the stream.
void storedBlocks(const unsigned char *in, size_t length, bool last, Bytes &out)
{
    constexpr size_t kMaxStored = 65535;
    const size_t blocks = std::max<size_t>(1, (length + kMaxStored - 1) / kMaxStored);
    unsigned char *o = out.allocate(length + 5 * blocks);
    size_t left = length;
    for (size_t b = 0; b < blocks; ++b) {
        const size_t n = std::min(left, kMaxStored);
        o[0] = last && b + 1 == blocks ? 1 : 0;
        o[1] = static_cast<unsigned char>(n & 0xFF);
        o[2] = static_cast<unsigned char>(n >> 8);
        o[3] = static_cast<unsigned char>(~n & 0xFF);
        o[4] = static_cast<unsigned char>((~n >> 8) & 0xFF);
        std::memcpy(o + 5, in, n);
        o += 5 + n;
        in += n;
        left -= n;
    }
}

} // namespace

Pipeline::Pipeline(int level, unsigned workers) : level_(level)
{
    // Work buffers kept between tasks stay within a fixed budget, whatever
    // the number of workers.
    keepBuffer_ = std::max<size_t>(512u << 10, (32u << 20) / std::max(1u, workers));
    workerCount_ = std::max(1u, workers);
}

namespace {

// Workers' compressors and buffers outlive their pipeline, so that a run of
// many small archives does not set them up afresh for each one; a few are
// kept, their buffers trimmed.
constexpr size_t kSpareWorkers = 16;
constexpr size_t kSpareBuffer = 1u << 20;

template <typename W> struct Spares {
    std::mutex mutex;
    std::vector<std::unique_ptr<W>> workers;
};

// Never destroyed: the process may end while a pipeline is taken down.
template <typename W> Spares<W> &spares()
{
    static auto *kept = new Spares<W>;
    return *kept;
}

} // namespace

std::unique_ptr<Pipeline::Worker> Pipeline::takeWorker(int level)
{
    auto &kept = spares<Worker>();
    {
        std::lock_guard lock(kept.mutex);
        for (auto it = kept.workers.begin(); it != kept.workers.end(); ++it) {
            if ((*it)->level == level) {
                std::unique_ptr<Worker> w = std::move(*it);
                kept.workers.erase(it);
                return w;
            }
        }
    }
    return std::make_unique<Worker>(level);
}

void Pipeline::keepWorker(std::unique_ptr<Worker> w)
{
    w->in.trim(kSpareBuffer);
    w->out.trim(kSpareBuffer);
    auto &kept = spares<Worker>();
    std::lock_guard lock(kept.mutex);
    if (kept.workers.size() < kSpareWorkers)
        kept.workers.push_back(std::move(w));
}

void Pipeline::startWorkers(size_t wanted)
{
    // Only as many as there are tasks: a folder of one small file costs one
    // thread, one with no files (or one that is gone) none.
    wanted = std::min(wanted, workerCount_);
    try {
        while (threads_.size() < wanted) {
            workers_.push_back(takeWorker(level_));
            threads_.push_back(startJob([this, w = workers_.back().get()] { workerMain(*w); }));
        }
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        workAvailable_.notify_all();
        for (auto &t : threads_)
            t->wait();
        threads_.clear();
        throw;
    }
}

void Pipeline::add(FileWork file)
{
    pendingBytes_ += file.size() + 4096;
    pending_.push_back(std::move(file));
    // Small groups: the workers start early, without a lock and a wake-up
    // for every file found.
    if (pending_.size() >= 32 || pendingBytes_ >= kBatchBytes)
        flush();
}

void Pipeline::flush()
{
    if (pending_.empty())
        return;
    startWorkers(tasks_.size() + pending_.size());
    {
        std::lock_guard lock(mutex_);
        for (FileWork &work : pending_) {
            const auto f = static_cast<uint32_t>(files_.size());
            const uint64_t size = work.size();
            files_.emplace_back(std::move(work));
            if (size <= kWholeMax) {
                tasks_.push_back({f, true, 0, size});
            } else {
                for (uint64_t off = 0; off < size; off += kChunk) {
                    const uint64_t len = std::min(kChunk, size - off);
                    tasks_.push_back({f, off + len == size, off, len});
                }
            }
            fileFirstTask_.push_back(tasks_.size());
        }
        advanceFrontier();
    }
    pending_.clear();
    pendingBytes_ = 0;
    workAvailable_.notify_all();
}

Pipeline::~Pipeline()
{
    quit_.store(true);
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    workAvailable_.notify_all();
    for (auto &t : threads_)
        t->wait();
    if (!g_processEnding.load())
        for (auto &w : workers_)
            keepWorker(std::move(w));
}

void Pipeline::advanceFrontier()
{
    while (frontier_ < tasks_.size()) {
        const uint64_t c = cost(tasks_[frontier_]);
        const size_t inFlight = frontier_ - consumed_;
        if (inFlight > 0 && (inFlightCost_ + c > kWindow || inFlight >= kMaxTasksInFlight))
            break;
        inFlightCost_ += c;
        ++frontier_;
        results_.emplace_back();
    }
}

void Pipeline::workerMain(Worker &w)
{
    std::vector<TaskResult> batch;
    std::vector<std::pair<Task, FileState *>> taken;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stop_ || g_processEnding.load(std::memory_order_relaxed))
            return;
        if (nextTake_ < frontier_ && !anyFailed()) {
            // A run of tasks in one go, so that small files do not cost a
            // lock and a wake-up each; no more than a fair share of what is
            // open, so that the last tasks still spread over the workers.
            const size_t open = frontier_ - nextTake_;
            const size_t share = std::min(kBatchTasks, (open + workerCount_ - 1) / workerCount_);
            const size_t first = nextTake_;
            uint64_t bytes = 0;
            taken.clear();
            while (nextTake_ < frontier_ && nextTake_ - first < share && bytes < kBatchBytes) {
                const Task &task = tasks_[nextTake_++];
                taken.emplace_back(task, &files_[task.file]);
                bytes += task.length;
            }
            lock.unlock();
            batch.resize(taken.size());
            for (size_t i = 0; i < taken.size(); ++i)
                run(w, taken[i].first, *taken[i].second, batch[i]);
            lock.lock();
            for (size_t i = 0; i < taken.size(); ++i) {
                TaskResult &r = result(first + i);
                r = std::move(batch[i]);
                r.done = true;
                batch[i] = TaskResult{};
            }
            taskDone_.notify_all();
        } else {
            workAvailable_.wait(lock);
        }
    }
}

void Pipeline::run(Worker &w, const Task &task, FileState &file, TaskResult &r)
{
    if (file.failed.load(std::memory_order_acquire)) {
        r.failed = true;
        return;
    }
    try {
        if (file.work.size() > kWholeMax) {
            if (!copyChunk(w, task, file, r))
                runChunk(w, task, file, r);
        } else if (file.work.copy.verify || !copyWhole(w, file, r)) {
            runWhole(w, task, file, r);
        }
    } catch (const std::bad_alloc &) {
        r = TaskResult{};
        fail(task.file, file.work.entry->path() + ": " + errorText(kErrNoMemory));
    }
    w.in.trim(keepBuffer_);
    w.out.trim(keepBuffer_);
    if (file.failed.load(std::memory_order_acquire)) {
        r.failed = true;
        r.data.clear();
    }
}

void Pipeline::fail(size_t f, std::string message)
{
    std::lock_guard lock(mutex_);
    if (!files_[f].failed.exchange(true))
        failures_.push_back({f, std::move(message)});
    anyFailed_.store(true, std::memory_order_release);
    taskDone_.notify_all();
}

void Pipeline::runWhole(Worker &w, const Task &task, FileState &state, TaskResult &r)
{
    const FileWork &file = state.work;
    std::string error;
    FileInfo st;
    Fd fd{openEntry(*file.entry, st, error)};
    if (fd.fd == kNoFile)
        return fail(task.file, file.entry->path() + ": " + error);
    // The size now, not the listed one: a file that changed between listing
    // and reading is stored as it is now. Too big now to be read whole (it
    // grew a lot since the listing): left out rather than break the memory bound.
    const uint64_t size = st.size;
    if (size > kWholeMax)
        return fail(task.file, file.entry->path() + ": " + kChanged);

    unsigned char *in = w.in.get(size + 1);
    const int64_t got = readWhole(fd.fd, in, size);
    if (got < 0)
        return fail(task.file, file.entry->path() + ": " + errorText(lastError()));
    // Read whole, or named: a file written to while it was read (in place,
    // keeping its size) would otherwise go in torn, part old and part new.
    FileInfo after;
    if (static_cast<uint64_t>(got) != size || !fileInfo(fd.fd, after) || !unchangedSince(st, after))
        return fail(task.file, file.entry->path() + ": " + kChanged);

    r.rawLength = size;
    r.crc = static_cast<uint32_t>(libdeflate_crc32(0, in, size));
    // Read to prove that the earlier archive's entry holds these very
    // bytes: then its data is taken, and only the compression is saved.
    const CopySource &copy = file.copy;
    if (copy.use && copy.verify && size == file.size() && r.crc == copy.crc) {
        TaskResult copied;
        if (copyWhole(w, state, copied)) {
            r = std::move(copied);
            return;
        }
    }
    w.packWhole(in, size, r);
}

// A file's data from the earlier archive, when it sums to the CRC-32 its
// fingerprint records, or else inflates (stored: sums) to the entry's CRC-32
// and size; anything else and it is compressed afresh.
bool Pipeline::copyWhole(Worker &w, FileState &state, TaskResult &r)
{
    const FileWork &file = state.work;
    if (!file.copy.use || earlier_ == kNoFile)
        return false;
    if (!earlierHolds(w, file, r.data)) {
        r = TaskResult{};
        return false;
    }
    r.stored = file.copy.stored;
    r.crc = file.copy.crc;
    r.rawLength = file.size();
    copied_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// Reads the file's data from the earlier archive into `data`: true when it
// is the file's, as copyWhole says.
bool Pipeline::earlierHolds(Worker &w, const FileWork &file, Bytes &data)
{
    const CopySource &copy = file.copy;
    const size_t length = static_cast<size_t>(copy.compSize);
    const size_t size = static_cast<size_t>(file.size());
    unsigned char *bytes = data.allocate(length);
    // The local header, when still to be checked, comes with the data.
    unsigned char *head = w.head.get(copy.headerLength);
    if (!readAt(earlier_, head, copy.headerLength, bytes, length, copy.offset - copy.headerLength)
        || (copy.headerLength && !headerAgrees(head, copy, size, file.entry->stored, true)))
        return false;
    // The data exactly as this engine wrote it: the raw bytes' CRC-32 and
    // size are then those of the entry, which agree with its local header,
    // and inflating it again would only say so.
    if (copy.dataCrcKnown)
        return static_cast<uint32_t>(libdeflate_crc32(0, bytes, length)) == copy.dataCrc;
    const unsigned char *raw = bytes;
    if (!copy.stored) {
        if (!w.inflater && !(w.inflater = libdeflate_alloc_decompressor()))
            throw std::bad_alloc();
        unsigned char *out = w.in.get(size + 1);
        size_t in = 0, got = 0;
        if (libdeflate_deflate_decompress_ex(w.inflater, bytes, length, out, size, &in, &got)
                != LIBDEFLATE_SUCCESS
            || in != length || got != size)
            return false;
        raw = out;
    }
    return static_cast<uint32_t>(libdeflate_crc32(0, raw, size)) == copy.crc;
}

// A big file's data in the earlier archive, read through in pieces: true
// when it sums to the CRC-32 its fingerprint records, or else inflates to
// exactly the entry's CRC-32 and size. (The writer sums what it copies
// again.)
bool Pipeline::checkStream(Worker &w, const FileState &state)
{
    const CopySource &copy = state.work.copy;
    unsigned char *in = w.in.get(kCheckPiece);
    unsigned char *out = w.out.get(kCheckPiece);
    if (!copy.stored && !copy.dataCrcKnown && inflateReset(&w.walker) != Z_OK)
        return false;
    StreamSums sums;
    sums.ended = copy.stored;
    uint64_t at = 0;
    while (at < copy.compSize) {
        if (givingUp())
            return false;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kCheckPiece, copy.compSize - at));
        if (!readAt(earlier_, in, n, copy.offset + at))
            return false;
        at += n;
        // Data whose CRC-32 is known, or stored: summed as it is.
        if (copy.dataCrcKnown || copy.stored) {
            sums.crc = static_cast<uint32_t>(libdeflate_crc32(sums.crc, in, n));
            sums.raw += n;
            continue;
        }
        if (sums.ended)
            return false; // bytes after the end of the stream
        if (!inflatePiece(w.walker, in, n, out, state.work.size(), sums))
            return false;
        if (!sums.ended && at == copy.compSize && !finishInflate(w.walker, out, state.work.size(), sums))
            return false;
    }
    if (copy.dataCrcKnown)
        return sums.crc == copy.dataCrc;
    return sums.ended && sums.raw == state.work.size() && sums.crc == copy.crc;
}

bool Pipeline::givingUp() const
{
    return quit_.load(std::memory_order_relaxed) || g_processEnding.load(std::memory_order_relaxed);
}

// A big file not vouched for, read through: true when it is the file
// listed, unchanged, and its bytes sum to the CRC-32 of the earlier
// archive's entry.
bool Pipeline::sourceMatches(Worker &w, const FileState &state)
{
    const Entry &e = *state.work.entry;
    std::string error;
    FileInfo st;
    Fd fd{openEntry(e, st, error)};
    if (fd.fd == kNoFile || !asListed(st, e))
        return false; // compressed afresh, and then told why
    unsigned char *in = w.in.get(kCheckPiece);
    uint32_t crc = 0;
    for (uint64_t at = 0; at < e.size;) {
        if (givingUp())
            return false;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kCheckPiece, e.size - at));
        if (!readAt(fd.fd, in, n, at))
            return false;
        crc = static_cast<uint32_t>(libdeflate_crc32(crc, in, n));
        at += n;
    }
    FileInfo after;
    return fileInfo(fd.fd, after) && unchangedSince(st, after) && crc == state.work.copy.crc;
}

bool Pipeline::copyChunk(Worker &w, const Task &task, FileState &state, TaskResult &r)
{
    if (!state.work.copy.use || earlier_ == kNoFile)
        return false;
    // The first worker at the file checks the whole stream; the others wait
    // for its verdict.
    uint8_t verdict = 0;
    if (state.copyVerdict.compare_exchange_strong(verdict, 3, std::memory_order_acq_rel)) {
        auto settle = [&](uint8_t v) {
            {
                std::lock_guard lock(copyCheckMutex_);
                state.copyVerdict.store(v, std::memory_order_release);
            }
            copyChecked_.notify_all();
        };
        try {
            verdict = checkStream(w, state) && (!state.work.copy.verify || sourceMatches(w, state)) ? 1 : 2;
        } catch (...) {
            settle(2);
            throw;
        }
        if (verdict == 1)
            copied_.fetch_add(1, std::memory_order_relaxed);
        settle(verdict);
    } else if (verdict == 3) {
        std::unique_lock lock(copyCheckMutex_);
        copyChecked_.wait(lock, [&] { return state.copyVerdict.load(std::memory_order_acquire) != 3; });
        verdict = state.copyVerdict.load(std::memory_order_acquire);
    }
    if (verdict != 1)
        return false;
    r.copied = true;
    r.stored = state.work.copy.stored;
    r.rawLength = task.length;
    return true;
}

bool Pipeline::storeChunked(Worker &w, FileState &file, FileHandle fd)
{
    int known = file.decision.load(std::memory_order_acquire);
    if (known != 0)
        return known == 2;
    // Three samples: start, middle and end. Every chunk task of the file comes
    // to the same answer, whichever worker asks first.
    const uint64_t size = file.work.size();
    std::vector<unsigned char> buffer(3 * kSample);
    const uint64_t offsets[3] = {0, size / 2 - kSample / 2, size - kSample};
    const unsigned char *samples[3];
    size_t lengths[3];
    for (int i = 0; i < 3; ++i) {
        if (!readAt(fd, buffer.data() + i * kSample, kSample, offsets[i]))
            return false; // the chunk's own read reports the error
        samples[i] = buffer.data() + i * kSample;
        lengths[i] = kSample;
    }
    const bool store = w.incompressible(samples, lengths, 3);
    file.decision.store(store ? 2 : 1, std::memory_order_release);
    return store;
}

void Pipeline::runChunk(Worker &w, const Task &task, FileState &state, TaskResult &r)
{
    const FileWork &file = state.work;
    const std::string path = file.entry->path();
    std::string error;
    FileInfo st;
    Fd fd{openEntry(*file.entry, st, error)};
    if (fd.fd == kNoFile)
        return fail(task.file, path + ": " + error);
    // The pieces of one file are read by several workers at different times:
    // they fit together only if the file is the one listed, unchanged.
    if (!asListed(st, *file.entry))
        return fail(task.file, path + ": " + kChanged);

    const bool store = storeChunked(w, state, fd.fd);
    const size_t length = static_cast<size_t>(task.length);
    unsigned char *in = store ? r.data.allocate(length) : w.in.get(length);
    if (!readAt(fd.fd, in, length, task.offset))
        return fail(task.file, path + ": " + (lastError() ? errorText(lastError()) : std::string(kChanged)));

    r.rawLength = task.length;
    r.crc = static_cast<uint32_t>(libdeflate_crc32(0, in, length));
    if (store)
        r.stored = true;
    else
        deflateChunk(w, in, length, task.last, r.data);
    if (!fileInfo(fd.fd, st) || !asListed(st, *file.entry))
        return fail(task.file, path + ": " + kChanged);
}

void Pipeline::deflateChunk(Worker &w, const unsigned char *in, size_t length, bool last, Bytes &out)
{
    if (length >= 4 * kChunkSample) {
        const unsigned char *samples[3] = {in, in + length / 2 - kChunkSample / 2,
                                           in + length - kChunkSample};
        const size_t lengths[3] = {kChunkSample, kChunkSample, kChunkSample};
        if (w.incompressible(samples, lengths, 3))
            return storedBlocks(in, length, last, out);
    }
    const size_t bound = libdeflate_deflate_compress_bound(w.whole, length);
    unsigned char *packed = w.out.get(bound + 5);
    size_t n = libdeflate_deflate_compress(w.whole, in, length, packed, bound);
    if (n > 0 && !last)
        n = w.endOnByte(packed, n);
    if (n == 0)
        return storedBlocks(in, length, last, out); // never expected: bound is enough
    out.assign(packed, n);
}

TaskResult *Pipeline::wait(size_t task, Messenger &messages)
{
    std::unique_lock lock(mutex_);
    if (task < consumed_)
        return nullptr; // released: its result is gone
    // Past the frontier a task has no result yet: none of it is done.
    auto done = [&] { return task < frontier_ && result(task).done; };
    while (!done()) {
        if (anyFailed())
            return nullptr;
        if (messages.stopped()) {
            quit_.store(true); // a long check of a copy ends too
            return nullptr;
        }
        taskDone_.wait_for(lock, std::chrono::milliseconds(10));
        if (!done()) {
            lock.unlock();
            messages.heartbeat();
            lock.lock();
        }
    }
    if (result(task).failed || anyFailed())
        return nullptr;
    return &result(task);
}

void Pipeline::release(size_t task)
{
    std::lock_guard lock(mutex_);
    while (consumed_ <= task && consumed_ < frontier_) {
        inFlightCost_ -= cost(tasks_[consumed_]);
        ++consumed_;
        results_.pop_front();
    }
    // Workers wait only when every task up to the frontier is taken: woken
    // only when it moves on from there, not for every task written.
    const size_t before = frontier_;
    advanceFrontier();
    if (frontier_ != before && nextTake_ >= before)
        workAvailable_.notify_all();
}

std::vector<Pipeline::Failure> Pipeline::failures()
{
    std::lock_guard lock(mutex_);
    return failures_;
}

} // namespace zip32
