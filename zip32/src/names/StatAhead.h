// StatAhead: what each name of a folder's listing is (its stat, not through
// a link), looked up on another thread a little ahead of the walk that takes
// the names in order, for a big folder; for a small one, on the walk's own
// thread as it takes each name, where a handoff would cost more than it saves.
//
// The walk still takes every name in order and says everything it says in
// that order: only the stat moves. A name is looked at once, at most a few
// thousand names before its turn.
#pragma once

#include "platform/Platform.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zip32 {

// Runs `work` on a thread other than the caller's; throws when it cannot
// (then the caller does the work itself).
using StartWork = std::function<void(std::function<void()>)>;

// A thread that works ahead of the walk, and what the two share: a lock,
// the signal each gives the other, and the walk's word to stop.
class AheadThread {
public:
    // Runs `work` on a thread of its own, through `start`; false, and no
    // thread, when none can be had. `work` returns once closing() is true.
    bool start(const StartWork &start, std::function<void()> work);
    // Says closing() and waits until the work has returned, if it started.
    void close();
    bool closing() const { return closing_; } // mutex held

    std::mutex mutex;
    std::condition_variable changed;

private:
    bool started_ = false;
    bool closing_ = false; // under mutex
    bool ended_ = false; // under mutex
};

// One name as it was looked at: `ok` with its stat, else the system's error.
struct Looked {
    FileInfo info;
    int error = 0;
    bool ok = false;
};

class StatAhead {
public:
    // The names of the folder held as `folder`, which must stay open until
    // this is gone, sorted so that the first to take is the last: taken from
    // the back, and given back as they go. `start` (when given) starts the
    // thread that looks ahead, for a folder of at least kAheadFrom names.
    // `looked`, when not empty, is what each of `names` is, in the same
    // order, as another thread looked at it already (FolderAhead).
    StatAhead(FolderHandle folder, std::vector<std::string> names, std::vector<Looked> looked,
              const StartWork &start);
    // Waits for the thread looking ahead, which ends after the name it is at.
    ~StatAhead();
    StatAhead(const StatAhead &) = delete;
    StatAhead &operator=(const StatAhead &) = delete;

    // The next name in order and what it is; false when all are taken.
    // `whileWaiting` runs every tenth of a second while a name is still
    // being looked at (a stat on a share that does not answer).
    bool next(std::string &name, Looked &looked, const std::function<void()> &whileWaiting);

    static constexpr size_t kAheadFrom = 256;

private:
    struct Chunk {
        std::vector<std::string> names;
        std::vector<Looked> looked;
    };

    std::string takeName(); // the next of names_, given back
    void lookAhead();
    void handOn(); // the walk's: keeps the thread a few chunks ahead
    bool takeChunk(const std::function<void()> &whileWaiting);

    const FolderHandle folder_;
    std::vector<std::string> names_; // not yet handed on, the next last
    std::vector<Looked> looked_; // empty, or what each of names_ is
    bool ahead_ = false;

    // Shared with the thread looking ahead, under its mutex.
    AheadThread thread_;
    std::deque<Chunk> chunks_; // handed on, not yet taken; the first is the walk's next
    size_t lookedAt_ = 0; // of chunks_, from the front: done

    // The walk's own: the chunk it takes names from.
    Chunk current_;
    size_t at_ = 0;
};

} // namespace zip32
