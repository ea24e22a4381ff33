// Pipeline: reading and compressing on worker threads, handing the results
// back in archive order to the calling thread, which writes them.
//
// Every regular file becomes one or more tasks, numbered in archive order.
// A file of up to kWholeMax bytes is one task: read whole, compressed with
// libdeflate. A larger file is split into kChunk pieces, each compressed on
// its own with libdeflate into a complete deflate stream; every piece but
// the last then has its final block's last-block bit cleared and is brought
// to a byte boundary, so the pieces join into one deflate stream and one big
// file keeps every worker busy. A piece whose samples do not shrink goes in
// as stored blocks without being compressed. Whether a file is stored or
// deflated, and how each piece is packed, depends only on its bytes, so the
// archive does not depend on the number of workers.
//
// Files are added while the names are still being collected, so the workers
// start on the first files while the calling thread lists the rest.
//
// Workers take tasks in order, in short runs, but only up to a frontier that keeps the raw
// bytes of the tasks taken and not yet written under kWindow: memory does not
// grow with the size of the files.
#pragma once

#include "names/Collect.h"
#include "platform/Platform.h"
#include "compress/Pieces.h"
#include "compress/Reuse.h"
#include "compress/Threads.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zip32 {

class Messenger;

struct FileWork {
    const Entry *entry = nullptr; // outlives the pipeline; its path is read
    CopySource copy; // its data in the earlier archive, when trusted
    // As listed: a chunked file must keep this size.
    uint64_t size() const { return entry->size; }
};

// A byte buffer that is not zero-filled when made: it is always written
// whole right after.
class Bytes {
public:
    unsigned char *data() { return p_.get(); }
    const unsigned char *data() const { return p_.get(); }
    size_t size() const { return n_; }
    // Makes room for exactly n bytes; the old contents are lost.
    unsigned char *allocate(size_t n)
    {
        p_.reset(new unsigned char[n ? n : 1]);
        n_ = n;
        return p_.get();
    }
    void assign(const unsigned char *from, size_t n);
    void clear()
    {
        p_.reset();
        n_ = 0;
    }

private:
    std::unique_ptr<unsigned char[]> p_;
    size_t n_ = 0;
};

struct TaskResult {
    bool done = false;
    bool failed = false;
    bool stored = false; // data holds the raw bytes
    bool copied = false; // a big file's data is copied from the
        // earlier archive, checked; data empty
    uint32_t crc = 0; // of the raw bytes of this task
    uint64_t rawLength = 0;
    Bytes data;
};

class Pipeline {
public:
    // Memory held by tasks taken and not yet written: their bytes plus
    // kTaskCost each (a result's allocation, generously), and their number.
    // Tiny files count by their number, so that the workers keep going
    // through a long listing of a big folder instead of waiting for the
    // writer, which starts when the listing is done.
    static constexpr uint64_t kWindow = 64u << 20;
    static constexpr uint64_t kTaskCost = 256;
    static constexpr size_t kMaxTasksInFlight = 1u << 18;
    // A worker takes up to this many tasks, or this many bytes, at a time.
    static constexpr size_t kBatchTasks = 32;
    static constexpr uint64_t kBatchBytes = 256u << 10;

    // The workers start with the first files handed over.
    Pipeline(int level, unsigned workers);
    ~Pipeline();
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    // The earlier archive that files' copy sources point into; it must
    // outlive the pipeline. Set before the first file is added.
    void setEarlier(FileHandle archive) { earlier_ = archive; }
    FileHandle earlier() const { return earlier_; }
    // Files whose data was taken from the earlier archive, checked.
    size_t copiedCount() const { return copied_.load(std::memory_order_relaxed); }

    // Calling thread only: the next file in archive order. Files reach the
    // workers in small groups; flush() hands over the rest.
    void add(FileWork file);
    void flush();

    // Calling thread only, for files added and flushed.
    size_t fileCount() const { return files_.size(); }
    const FileWork &file(size_t f) const { return files_[f].work; }
    bool chunked(size_t f) const { return files_[f].work.size() > kWholeMax; }
    size_t firstTask(size_t f) const { return fileFirstTask_[f]; }
    size_t taskCount(size_t f) const { return fileFirstTask_[f + 1] - fileFirstTask_[f]; }

    // Calling thread only. Waits for a task, keeping the window alive; null
    // once any file has failed (the archive is then rebuilt without it).
    TaskResult *wait(size_t task, Messenger &messages);
    // Calling thread only, in task order: the task's memory, its result
    // too, is given back.
    void release(size_t task);

    bool anyFailed() const { return anyFailed_.load(std::memory_order_acquire); }
    struct Failure {
        size_t file;
        std::string message;
    };
    std::vector<Failure> failures();

private:
    struct Task {
        uint32_t file;
        bool last;
        uint64_t offset;
        uint64_t length;
    };
    // A file and what the workers learn about it. Kept in a deque: workers
    // hold pointers to files while more are added.
    struct FileState {
        explicit FileState(FileWork w) : work(std::move(w)) {}
        FileWork work;
        std::atomic<int> decision{0}; // chunked: 0 unknown, 1 deflate, 2 store
        // A chunked copy: 0 unknown, 1 copy, 2 compress, 3 being checked by
        // one worker (the others wait on copyChecked_). One per file, so no
        // lock of its own: a million files would carry a million mutexes.
        std::atomic<uint8_t> copyVerdict{0};
        std::atomic<bool> failed{false};
    };
    struct Worker;

    void startWorkers(size_t wanted);
    static std::unique_ptr<Worker> takeWorker(int level);
    static void keepWorker(std::unique_ptr<Worker> w);
    void workerMain(Worker &w);
    void run(Worker &w, const Task &task, FileState &file, TaskResult &r);
    void runWhole(Worker &w, const Task &task, FileState &file, TaskResult &r);
    void runChunk(Worker &w, const Task &task, FileState &file, TaskResult &r);
    bool copyWhole(Worker &w, FileState &file, TaskResult &r);
    bool earlierHolds(Worker &w, const FileWork &file, Bytes &data);
    bool copyChunk(Worker &w, const Task &task, FileState &file, TaskResult &r);
    bool checkStream(Worker &w, const FileState &file);
    bool sourceMatches(Worker &w, const FileState &file);
    bool givingUp() const; // the pipeline is stopping, or the process ending
    bool storeChunked(Worker &w, FileState &file, FileHandle fd);
    void deflateChunk(Worker &w, const unsigned char *in, size_t length, bool last, Bytes &out);
    void fail(size_t f, std::string message);
    void advanceFrontier(); // with mutex_ held
    TaskResult &result(size_t task) { return results_[task - consumed_]; } // with mutex_ held
    static uint64_t cost(const Task &t) { return t.length + kTaskCost; }

    // Grown by the calling thread under mutex_; element addresses never change.
    std::deque<FileState> files_;
    std::deque<Task> tasks_;
    // The results of the tasks from consumed_ to frontier_ only, so that a
    // long listing does not hold a result for every file not yet taken;
    // result(task) finds one.
    std::deque<TaskResult> results_;
    std::vector<size_t> fileFirstTask_{0}; // calling thread only
    std::vector<FileWork> pending_; // added, not yet handed over
    uint64_t pendingBytes_ = 0;
    int level_;
    size_t workerCount_ = 1;
    size_t keepBuffer_; // largest work buffer a worker keeps between tasks

    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable taskDone_;
    size_t nextTake_ = 0;
    size_t frontier_ = 0;
    size_t consumed_ = 0;
    uint64_t inFlightCost_ = 0;
    bool stop_ = false;
    std::atomic<bool> quit_{false}; // long checks give up
    FileHandle earlier_ = kNoFile;
    std::mutex copyCheckMutex_; // waiting for another worker's check
    std::condition_variable copyChecked_;
    std::atomic<size_t> copied_{0};
    std::atomic<bool> anyFailed_{false};
    std::vector<Failure> failures_;

    std::vector<std::unique_ptr<Worker>> workers_;
    std::vector<std::shared_ptr<Job>> threads_; // a worker's each
};

// Set when the process is ending (atexit): workers stop at the next step.
extern std::atomic<bool> g_processEnding;

} // namespace zip32
