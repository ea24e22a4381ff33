#include "names/StatAhead.h"

#include <chrono>
#include <utility>

namespace zip32 {

namespace {

// Names handed on at a time, and how many such chunks the thread may be
// ahead of the walk: a few thousand names, whatever the folder holds.
constexpr size_t kChunkNames = 128;
constexpr size_t kChunksAhead = 16;

void look(FolderHandle folder, const std::string &name, Looked &looked)
{
    looked.ok = statIn(folder, name, false, looked.info);
    looked.error = looked.ok ? 0 : lastError();
}

} // namespace

StatAhead::StatAhead(FolderHandle folder, std::vector<std::string> names, std::vector<Looked> looked,
                     const StartWork &start)
    : folder_(folder), names_(std::move(names)), looked_(std::move(looked))
{
    // Without a thread to spare, every name is looked at in its turn.
    if (looked_.empty() && names_.size() >= kAheadFrom)
        ahead_ = thread_.start(start, [this] { lookAhead(); });
}

StatAhead::~StatAhead() { thread_.close(); }

bool AheadThread::start(const StartWork &start, std::function<void()> work)
{
    if (!start)
        return false;
    try {
        start([this, work = std::move(work)] {
            work();
            std::lock_guard lock(mutex);
            ended_ = true;
            changed.notify_all();
        });
    } catch (...) {
        return false;
    }
    started_ = true;
    return true;
}

void AheadThread::close()
{
    if (!started_)
        return;
    std::unique_lock lock(mutex);
    closing_ = true;
    changed.notify_all();
    changed.wait(lock, [&] { return ended_; });
}

void StatAhead::lookAhead()
{
    std::unique_lock lock(thread_.mutex);
    for (;;) {
        thread_.changed.wait(lock, [&] { return thread_.closing() || lookedAt_ < chunks_.size(); });
        if (thread_.closing())
            return;
        // Stays where it is while the walk hands on more chunks and takes
        // the ones before it: a deque's elements never move.
        Chunk &chunk = chunks_[lookedAt_];
        lock.unlock();
        for (size_t i = 0; i < chunk.names.size(); ++i)
            look(folder_, chunk.names[i], chunk.looked[i]);
        lock.lock();
        ++lookedAt_;
        thread_.changed.notify_all();
    }
}

std::string StatAhead::takeName()
{
    std::string name = std::move(names_.back());
    names_.pop_back();
    // A folder of a million names does not keep them all beside its million
    // entries to the end.
    if (names_.capacity() > 4096 && names_.size() < names_.capacity() / 4)
        names_.shrink_to_fit();
    return name;
}

void StatAhead::handOn()
{
    bool handed = false;
    while (!names_.empty()) {
        {
            std::lock_guard lock(thread_.mutex);
            if (chunks_.size() >= kChunksAhead)
                break;
        }
        Chunk chunk;
        while (!names_.empty() && chunk.names.size() < kChunkNames)
            chunk.names.push_back(takeName());
        // Made here, where running out of memory is the caller's to hear:
        // the thread looking ahead only fills it in.
        chunk.looked.resize(chunk.names.size());
        std::lock_guard lock(thread_.mutex);
        chunks_.push_back(std::move(chunk));
        handed = true;
    }
    if (handed)
        thread_.changed.notify_all();
}

bool StatAhead::takeChunk(const std::function<void()> &whileWaiting)
{
    handOn();
    std::unique_lock lock(thread_.mutex);
    if (chunks_.empty())
        return false;
    while (!thread_.changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return lookedAt_ > 0; })) {
        lock.unlock();
        if (whileWaiting)
            whileWaiting();
        lock.lock();
    }
    current_ = std::move(chunks_.front());
    chunks_.pop_front();
    --lookedAt_;
    at_ = 0;
    return true;
}

bool StatAhead::next(std::string &name, Looked &looked, const std::function<void()> &whileWaiting)
{
    if (!ahead_) {
        if (names_.empty())
            return false;
        name = takeName();
        if (looked_.empty()) {
            look(folder_, name, looked);
        } else {
            looked = looked_.back();
            looked_.pop_back();
        }
        return true;
    }
    if (at_ == current_.names.size() && !takeChunk(whileWaiting))
        return false;
    name = std::move(current_.names[at_]);
    looked = current_.looked[at_];
    ++at_;
    return true;
}

} // namespace zip32
