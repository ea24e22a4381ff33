#include "compress/Threads.h"

#include "platform/Platform.h"

#include <atomic>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

namespace zip32 {

namespace {

// Under ThreadSanitizer no thread is kept waiting: with threads kept alive
// while the tests start the archive readers (QProcess), it reports races
// whose earlier access has no stack or a garbled one, and they vanish when
// the same tests start no process; kept threads are not what it can judge
// there. Jobs still go through the queue.
#ifdef __SANITIZE_THREAD__
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

// How long an idle thread waits for more work: none where the system keeps
// no idle threads (kKeepsIdleThreads), nor under ThreadSanitizer.
std::chrono::milliseconds idleFor()
{
    return std::chrono::milliseconds(kKeepsIdleThreads && !kUnderThreadSanitizer ? 3000 : 0);
}

struct Pool {
    std::mutex mutex;
    std::condition_variable workArrived;
    std::deque<std::pair<std::function<void()>, std::shared_ptr<Job>>> queue;
    size_t idle = 0;
    uint64_t owner = processNumber();
};

// The one T of this process, kept in `slot`: never destroyed (threads may
// outlive every other object of the process), and made again in a child
// after fork, which has none of the parent's threads.
template <typename T> T &ofThisProcess(std::atomic<T *> &slot)
{
    T *p = slot.load(std::memory_order_acquire);
    if (p && p->owner == processNumber())
        return *p;
    static std::mutex making;
    std::lock_guard lock(making);
    p = slot.load(std::memory_order_acquire);
    if (!p || p->owner != processNumber()) {
        p = new T;
        slot.store(p, std::memory_order_release);
    }
    return *p;
}

std::atomic<Pool *> g_pool{nullptr};

Pool &pool() { return ofThisProcess(g_pool); }

void serve(Pool &p)
{
    std::unique_lock lock(p.mutex);
    for (;;) {
        if (p.queue.empty()) {
            ++p.idle;
            const std::chrono::milliseconds idle = idleFor();
            const bool arrived =
                idle.count() > 0 && p.workArrived.wait_for(lock, idle, [&] { return !p.queue.empty(); });
            --p.idle;
            if (!arrived)
                return;
        }
        auto [work, job] = std::move(p.queue.front());
        p.queue.pop_front();
        lock.unlock();
        work(); // as on a thread of its own: what it throws ends the process
        work = nullptr; // what it holds goes before the job is done
        job->finish();
        job.reset();
        lock.lock();
    }
}

} // namespace

void Job::finish()
{
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    done_.notify_all();
}

void Job::wait()
{
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return finished_; });
}

bool Job::waitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, timeout, [&] { return finished_; });
}

std::shared_ptr<Job> startJob(std::function<void()> work)
{
    auto job = std::make_shared<Job>();
    Pool &p = pool();
    std::unique_lock lock(p.mutex);
    p.queue.emplace_back(std::move(work), job);
    // Every queued job has an idle thread of its own, or gets a new one: one
    // idle thread is woken for it, not all of them.
    if (p.idle >= p.queue.size()) {
        p.workArrived.notify_one();
        return job;
    }
    try {
        // Named, so that a debugger, `top -H` and bench_batch (which reads
        // each thread's CPU time and name in /proc) tell it from the program's.
        std::thread([&p] {
            nameThisThread("zip32-pool");
            serve(p);
        }).detach();
    } catch (...) {
        p.queue.pop_back();
        throw;
    }
    return job;
}

namespace {

// The files waiting to be closed, and whether a thread is closing them:
// one of each per process (ofThisProcess).
struct Closing {
    std::mutex mutex;
    std::vector<FileHandle> files;
    bool running = false;
    uint64_t owner = processNumber();
};

constexpr size_t kMostWaitingToClose = 32;

std::atomic<Closing *> g_closing{nullptr};

void closeAll(std::vector<FileHandle> &files)
{
    for (const FileHandle f : files)
        closeFile(f);
    files.clear();
}

void closeWaiting(Closing &c)
{
    std::unique_lock lock(c.mutex);
    while (!c.files.empty()) {
        std::vector<FileHandle> files;
        files.swap(c.files);
        lock.unlock();
        closeAll(files);
        lock.lock();
    }
    c.running = false;
}

} // namespace

void closeInBackground(FileHandle file)
{
    if (file == kNoFile)
        return;
    Closing *c = nullptr;
    try {
        c = &ofThisProcess(g_closing);
    } catch (...) {
        closeFile(file);
        return;
    }
    std::unique_lock lock(c->mutex);
    if (c->files.size() >= kMostWaitingToClose) {
        lock.unlock();
        closeFile(file);
        return;
    }
    try {
        c->files.push_back(file);
    } catch (...) {
        lock.unlock();
        closeFile(file);
        return;
    }
    if (c->running)
        return;
    try {
        startJob([c] { closeWaiting(*c); });
        c->running = true;
    } catch (...) {
        std::vector<FileHandle> files;
        files.swap(c->files);
        lock.unlock();
        closeAll(files);
    }
}

} // namespace zip32
