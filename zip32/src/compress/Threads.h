// Threads: the engine's threads (an archive's workers, its sync), kept a
// little while between archives, so that a run of thousands of small folders
// does not start and end threads for each one (a thread's start costs more
// than zipping a small file).
//
// Each piece of work gets a thread of its own at once: an idle kept thread
// when there is one, else a new one; a job never waits for another to end.
// A kept thread ends after a few seconds without work. After fork() the
// child starts from no threads.
#pragma once

#include "platform/Platform.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace zip32 {

class Job {
public:
    // Until the work has returned.
    void wait();
    // At most `timeout`; true when the work has returned.
    bool waitFor(std::chrono::milliseconds timeout);

    void finish(); // the thread's, once the work is done

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
};

// Starts `work` on a thread. Throws std::system_error when no thread can be
// started (as std::thread does), std::bad_alloc without memory.
std::shared_ptr<Job> startJob(std::function<void()> work);

// Closes `file` on a thread of its own, one file after another. The last
// close of a file replaced under its name is what frees its space, which
// takes a millisecond or more for a big file or on a disk told of every
// block freed (mounted with "discard"); the run goes on meanwhile. When a
// few dozen files are waiting already, or no thread can be had, the file is
// closed here and now. Never throws.
void closeInBackground(FileHandle file);

} // namespace zip32
