#include "Pipeline.h"

#include "Messenger.h"
#include "Platform.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <new>

namespace zip32 {

std::atomic<bool> g_processEnding{false};

namespace {

constexpr size_t kSample = 64u << 10;

std::string reason(int error)
{
    return errorText(error);
}

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

struct Fd {
    FileHandle fd = kNoFile;
    ~Fd()
    {
        if (fd != kNoFile)
            closeFile(fd);
    }
};

// Opens a file that was listed as regular without ever blocking on a FIFO or
// device that took its place, and checks it still is a regular file.
FileHandle openRegular(const std::string &path, FileInfo &st, std::string &error)
{
    FileHandle fd = openForReading(path);
    if (fd == kNoFile) {
        error = reason(lastError());
        return kNoFile;
    }
    if (!fileInfo(fd, st)) {
        error = reason(lastError());
        closeFile(fd);
        return kNoFile;
    }
    if (!S_ISREG(st.mode)) {
        error = "skipped, no longer a regular file";
        closeFile(fd);
        return kNoFile;
    }
    return fd;
}

} // namespace

struct Pipeline::Worker {
    libdeflate_compressor *whole = nullptr;
    libdeflate_compressor *sampler = nullptr;
    z_stream zs{};
    bool zsReady = false;

    Worker(int level)
    {
        whole = libdeflate_alloc_compressor(level);
        sampler = libdeflate_alloc_compressor(1);
        if (deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK)
            zsReady = true;
        if (!whole || !sampler || !zsReady) {
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
        if (zsReady)
            deflateEnd(&zs);
        whole = sampler = nullptr;
        zsReady = false;
    }

    // True when none of the samples shrinks by at least 1% at the fastest
    // level: the data is taken to be incompressible and stored.
    bool incompressible(const unsigned char *const *samples, const size_t *lengths, int count)
    {
        std::vector<unsigned char> out(kSample);
        uint64_t in = 0, packed = 0;
        for (int i = 0; i < count; ++i) {
            const size_t avail = lengths[i] - lengths[i] / 100;
            size_t n = libdeflate_deflate_compress(sampler, samples[i], lengths[i], out.data(), avail);
            in += lengths[i];
            packed += n ? n : lengths[i];
        }
        return packed >= in - in / 100;
    }
};

Pipeline::Pipeline(std::vector<FileWork> files, int level, unsigned workers)
    : files_(std::move(files)), level_(level)
{
    fileFirstTask_.reserve(files_.size() + 1);
    for (size_t f = 0; f < files_.size(); ++f) {
        fileFirstTask_.push_back(tasks_.size());
        const uint64_t size = files_[f].size;
        if (size <= kWholeMax) {
            tasks_.push_back({static_cast<uint32_t>(f), true, 0, size});
        } else {
            for (uint64_t off = 0; off < size; off += kChunk) {
                const uint64_t len = std::min(kChunk, size - off);
                tasks_.push_back({static_cast<uint32_t>(f), off + len == size, off, len});
            }
        }
    }
    fileFirstTask_.push_back(tasks_.size());
    results_.resize(tasks_.size());
    decisions_ = std::make_unique<std::atomic<int>[]>(files_.size());
    fileFailed_ = std::make_unique<std::atomic<bool>[]>(files_.size());
    for (size_t f = 0; f < files_.size(); ++f) {
        decisions_[f] = 0;
        fileFailed_[f] = false;
    }

    {
        std::lock_guard lock(mutex_);
        advanceFrontier();
    }
    workers = std::max(1u, workers);
    try {
        for (unsigned i = 0; i < workers; ++i) {
            workers_.push_back(std::make_unique<Worker>(level_));
            threads_.emplace_back([this, w = workers_.back().get()] { workerMain(*w); });
        }
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        workAvailable_.notify_all();
        for (auto &t : threads_)
            t.join();
        throw;
    }
}

Pipeline::~Pipeline()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    workAvailable_.notify_all();
    for (auto &t : threads_)
        t.join();
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
    }
}

void Pipeline::workerMain(Worker &w)
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stop_ || g_processEnding.load(std::memory_order_relaxed))
            return;
        if (nextTake_ < frontier_ && !anyFailed()) {
            const size_t t = nextTake_++;
            TaskResult local;
            lock.unlock();
            run(w, t, local);
            lock.lock();
            local.done = true;
            results_[t] = std::move(local);
            taskDone_.notify_all();
        } else {
            workAvailable_.wait(lock);
        }
    }
}

void Pipeline::run(Worker &w, size_t t, TaskResult &r)
{
    const Task &task = tasks_[t];
    if (fileFailed_[task.file].load(std::memory_order_acquire)) {
        r.failed = true;
        return;
    }
    try {
        if (chunked(task.file))
            runChunk(w, task, r);
        else
            runWhole(w, task, r);
    } catch (const std::bad_alloc &) {
        r = TaskResult{};
        fail(task.file, files_[task.file].path + ": " + reason(kErrNoMemory));
    }
    if (fileFailed_[task.file].load(std::memory_order_acquire)) {
        r.failed = true;
        r.data.clear();
    }
}

void Pipeline::fail(size_t f, std::string message)
{
    std::lock_guard lock(mutex_);
    if (!fileFailed_[f].exchange(true))
        failures_.push_back({f, std::move(message)});
    anyFailed_.store(true, std::memory_order_release);
    taskDone_.notify_all();
}

void Pipeline::runWhole(Worker &w, const Task &task, TaskResult &r)
{
    const FileWork &file = files_[task.file];
    std::string error;
    FileInfo st;
    Fd fd{openRegular(file.path, st, error)};
    if (fd.fd == kNoFile)
        return fail(task.file, file.path + ": " + error);
    // The size now, not the listed one: a file that changed between listing
    // and reading is stored as it is now. Too big now to be read whole (it
    // grew a lot since the listing): left out rather than break the memory bound.
    const uint64_t size = st.size;
    if (size > kWholeMax)
        return fail(task.file, file.path + ": " + kChanged);

    std::vector<unsigned char> in(size + 1);
    uint64_t got = 0;
    for (;;) {
        int64_t n = readFile(fd.fd, in.data() + got, in.size() - got);
        if (n < 0)
            return fail(task.file, file.path + ": " + reason(lastError()));
        if (n == 0)
            break;
        got += static_cast<uint64_t>(n);
        if (got == in.size())
            break;
    }
    if (got != size)
        return fail(task.file, file.path + ": " + kChanged);
    in.resize(size);

    r.rawLength = size;
    r.crc = static_cast<uint32_t>(libdeflate_crc32(0, in.data(), size));
    bool store = size == 0;
    if (!store && size >= 4 * kSample) {
        const unsigned char *samples[3] = {in.data(), in.data() + size / 2 - kSample / 2,
                                           in.data() + size - kSample};
        const size_t lengths[3] = {kSample, kSample, kSample};
        store = w.incompressible(samples, lengths, 3);
    }
    if (!store) {
        // Room for one byte less than the input: output that does not shrink
        // does not fit, and the data is stored.
        std::vector<unsigned char> out(size - 1);
        size_t n = size > 1 ? libdeflate_deflate_compress(w.whole, in.data(), size, out.data(), out.size()) : 0;
        if (n == 0) {
            store = true;
        } else {
            out.resize(n);
            out.shrink_to_fit();
            r.data = std::move(out);
        }
    }
    if (store) {
        r.stored = true;
        r.data = std::move(in);
    }
}

bool Pipeline::storeChunked(Worker &w, size_t f, FileHandle fd)
{
    int known = decisions_[f].load(std::memory_order_acquire);
    if (known != 0)
        return known == 2;
    // Three samples: start, middle and end. Every chunk task of the file comes
    // to the same answer, whichever worker asks first.
    const uint64_t size = files_[f].size;
    std::vector<unsigned char> buffer(3 * kSample);
    const uint64_t offsets[3] = {0, size / 2 - kSample / 2, size - kSample};
    const unsigned char *samples[3];
    size_t lengths[3];
    for (int i = 0; i < 3; ++i) {
        if (!readAt(fd, buffer.data() + i * kSample, kSample, offsets[i]))
            return false;   // the chunk's own read reports the error
        samples[i] = buffer.data() + i * kSample;
        lengths[i] = kSample;
    }
    const bool store = w.incompressible(samples, lengths, 3);
    decisions_[f].store(store ? 2 : 1, std::memory_order_release);
    return store;
}

void Pipeline::runChunk(Worker &w, const Task &task, TaskResult &r)
{
    const FileWork &file = files_[task.file];
    std::string error;
    FileInfo st;
    Fd fd{openRegular(file.path, st, error)};
    if (fd.fd == kNoFile)
        return fail(task.file, file.path + ": " + error);
    auto unchanged = [&](const FileInfo &s) {
        return s.size == file.size && s.dev == file.dev && s.ino == file.ino && s.mtime == file.mtime
               && s.mtimeNs == file.mtimeNs;
    };
    // The pieces of one file are read by several workers at different times:
    // they fit together only if the file is the one listed, unchanged.
    if (!unchanged(st))
        return fail(task.file, file.path + ": " + kChanged);

    const bool store = storeChunked(w, task.file, fd.fd);
    const uint64_t dict = store ? 0 : std::min(task.offset, kDictionary);
    std::vector<unsigned char> in(dict + task.length);
    if (!readAt(fd.fd, in.data(), in.size(), task.offset - dict))
        return fail(task.file, file.path + ": " + (lastError() ? reason(lastError()) : std::string(kChanged)));

    r.rawLength = task.length;
    r.crc = static_cast<uint32_t>(libdeflate_crc32(0, in.data() + dict, task.length));
    if (store) {
        r.stored = true;
        r.data = std::move(in);
    } else {
        z_stream &zs = w.zs;
        deflateReset(&zs);
        if (dict > 0)
            deflateSetDictionary(&zs, in.data(), static_cast<uInt>(dict));
        std::vector<unsigned char> out(deflateBound(&zs, task.length) + 64);
        zs.next_in = in.data() + dict;
        zs.avail_in = static_cast<uInt>(task.length);
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        const int flush = task.last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            int rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR)
                return fail(task.file, file.path + ": compression failed");
            const bool finished = task.last ? rc == Z_STREAM_END : (zs.avail_in == 0 && zs.avail_out > 0);
            if (finished)
                break;
            const size_t used = out.size() - zs.avail_out;
            out.resize(out.size() * 2);
            zs.next_out = out.data() + used;
            zs.avail_out = static_cast<uInt>(out.size() - used);
        }
        out.resize(out.size() - zs.avail_out);
        r.data = std::move(out);
    }
    if (!fileInfo(fd.fd, st) || !unchanged(st))
        return fail(task.file, file.path + ": " + kChanged);
}

TaskResult *Pipeline::wait(size_t task, Messenger &messages)
{
    std::unique_lock lock(mutex_);
    while (!results_[task].done) {
        if (anyFailed())
            return nullptr;
        taskDone_.wait_for(lock, std::chrono::milliseconds(10));
        if (!results_[task].done) {
            lock.unlock();
            messages.heartbeat();
            lock.lock();
        }
    }
    if (results_[task].failed || anyFailed())
        return nullptr;
    return &results_[task];
}

void Pipeline::release(size_t task)
{
    std::lock_guard lock(mutex_);
    std::vector<unsigned char>().swap(results_[task].data);
    while (consumed_ <= task && consumed_ < frontier_) {
        inFlightCost_ -= cost(tasks_[consumed_]);
        ++consumed_;
    }
    advanceFrontier();
    workAvailable_.notify_all();
}

std::vector<Pipeline::Failure> Pipeline::failures()
{
    std::lock_guard lock(mutex_);
    return failures_;
}

} // namespace zip32
