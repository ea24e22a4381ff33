#include "names/FolderAhead.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace zip32 {

namespace {

// How far the thread may be ahead of the walk: a few dozen folders, a few
// thousand names (one bigger folder is still listed on its own).
constexpr size_t kFoldersAhead = 32;
constexpr size_t kNamesAhead = 8192;

// Lists the folder at `path` into `out`; false when it cannot be listed
// whole, which the walk then finds out for itself and says.
bool listFolder(const std::string &path, bool includeHidden, AheadListing &out)
{
    const FolderHandle folder = openFolder(path);
    if (folder == kNoFile)
        return false;
    FileInfo st;
    FolderReader reader;
    bool listed = fileInfo(folder, st) && reader.open(folder) && reader.names(includeHidden, out.names);
    if (listed) {
        out.dev = st.dev;
        out.ino = st.ino;
        std::sort(out.names.begin(), out.names.end(), std::greater<>());
        if (out.names.size() < StatAhead::kAheadFrom) {
            out.looked.resize(out.names.size());
            for (size_t i = 0; i < out.names.size(); ++i) {
                Looked &looked = out.looked[i];
                looked.ok = statIn(folder, out.names[i], false, looked.info);
                looked.error = looked.ok ? 0 : lastError();
            }
        }
    }
    closeFolder(folder);
    return listed;
}

} // namespace

FolderAhead::FolderAhead(std::vector<std::string> folders, bool includeHidden, const StartWork &start)
    : folders_(std::move(folders)), includeHidden_(includeHidden)
{
    const auto wanted =
        std::count_if(folders_.begin(), folders_.end(), [](const auto &f) { return !f.empty(); });
    // Without a thread to spare, the walk lists every folder itself.
    if (wanted >= 2)
        ahead_ = thread_.start(start, [this] { listAhead(); });
}

FolderAhead::~FolderAhead() { thread_.close(); }

bool FolderAhead::roomAhead() const
{
    return made_.empty() || (made_.size() < kFoldersAhead && madeNames_ < kNamesAhead);
}

std::optional<size_t> FolderAhead::claimNext()
{
    next_ = std::max(next_, taken_ + 1);
    while (next_ < folders_.size() && folders_[next_].empty())
        ++next_;
    if (next_ >= folders_.size() || !roomAhead())
        return std::nullopt;
    return next_++;
}

void FolderAhead::listInto(size_t k, std::unique_lock<std::mutex> &lock)
{
    lock.unlock();
    AheadListing listing;
    bool listed = false;
    try {
        listed = listFolder(folders_[k], includeHidden_, listing);
    } catch (...) {
        // Out of memory: the walk lists it in its turn, where that is its
        // to hear.
    }
    lock.lock();
    if (listed && k > taken_) {
        madeNames_ += listing.names.size();
        made_.emplace(k, std::move(listing));
    }
}

void FolderAhead::listAhead()
{
    std::unique_lock lock(thread_.mutex);
    for (;;) {
        std::optional<size_t> k;
        thread_.changed.wait(
            lock, [&] { return thread_.closing() || (k = claimNext()) || next_ >= folders_.size(); });
        if (thread_.closing() || !k)
            return;
        listing_ = *k;
        listInto(*k, lock);
        listing_.reset();
        thread_.changed.notify_all();
    }
}

std::optional<AheadListing> FolderAhead::take(size_t k, const std::function<bool()> &whileWaiting)
{
    if (!ahead_)
        return std::nullopt;
    std::unique_lock lock(thread_.mutex);
    taken_ = std::max(taken_, k);
    // Listings of names passed over (not folders after all) go unused.
    while (!made_.empty() && made_.begin()->first < k) {
        madeNames_ -= made_.begin()->second.names.size();
        made_.erase(made_.begin());
    }
    while (listing_ == k) {
        if (const std::optional<size_t> next = claimNext())
            listInto(*next, lock);
        else if (thread_.changed.wait_for(lock, std::chrono::milliseconds(100),
                                          [&] { return listing_ != k; }))
            break;
        lock.unlock();
        const bool goOn = whileWaiting();
        lock.lock();
        if (!goOn)
            break;
    }
    std::optional<AheadListing> listing;
    if (const auto it = made_.find(k); it != made_.end()) {
        madeNames_ -= it->second.names.size();
        listing = std::move(it->second);
        made_.erase(it);
    }
    thread_.changed.notify_all();
    return listing;
}

} // namespace zip32
