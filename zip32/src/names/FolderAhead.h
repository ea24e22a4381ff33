// FolderAhead: the listings of the folders the program names one by one
// (one wildcard name per folder, as a folder and its sub-folders are
// named), made on another thread a few folders ahead of the walk: the
// folder's names and, for a small folder, what each name is.
//
// The thread opens each folder by its path, so what it lists is only a
// hint: the walk takes a listing only when it is of the very folder the
// walk reached name by name (device and inode), and otherwise lists the
// folder itself. Everything the walk says, it still says in its own order
// on its own thread; a folder the thread could not list, the walk lists
// and names as before.
#pragma once

#include "names/StatAhead.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zip32 {

// One folder as it was listed ahead.
struct AheadListing {
    uint64_t dev = 0, ino = 0; // the folder listed
    // Sorted so that the first to take is the last, as StatAhead takes them.
    std::vector<std::string> names;
    // What each of `names` is, in the same order; empty for a folder big
    // enough for StatAhead to look at its names ahead itself.
    std::vector<Looked> looked;
};

class FolderAhead {
public:
    // `folders`: for each name of the program's list in turn, the folder
    // whose listing is wanted, or "" for none. The walk does the first
    // itself; the thread (started by `start`, when there are at least two
    // folders) begins with the second.
    FolderAhead(std::vector<std::string> folders, bool includeHidden, const StartWork &start);
    // Waits for the thread, which ends after the folder it is at.
    ~FolderAhead();
    FolderAhead(const FolderAhead &) = delete;
    FolderAhead &operator=(const FolderAhead &) = delete;

    // The listing of folders[k], when it was made ahead. While the thread
    // is making it, the walk lists the next folders itself, as far ahead as
    // the thread may go, then waits; `whileWaiting` runs after each folder
    // the walk lists and every tenth of a second, until it answers false. Nothing up to k is made ahead after
    // this: names are taken in order.
    std::optional<AheadListing> take(size_t k, const std::function<bool()> &whileWaiting);

private:
    void listAhead();
    bool roomAhead() const; // the mutex held
    // The next folder to list ahead, claimed; none when there is no room
    // or none is left. The mutex held.
    std::optional<size_t> claimNext();
    // Lists folders[k] and keeps its listing (`lock`, on the mutex, is let go
    // meanwhile).
    void listInto(size_t k, std::unique_lock<std::mutex> &lock);

    const std::vector<std::string> folders_;
    const bool includeHidden_;
    bool ahead_ = false;

    // Shared with the thread, under its mutex.
    AheadThread thread_;
    std::map<size_t, AheadListing> made_; // by k
    size_t madeNames_ = 0; // of made_, in all
    size_t next_ = 1; // the next the thread lists
    size_t taken_ = 0; // the walk's: nothing up to it is listed ahead any more
    std::optional<size_t> listing_; // the one the thread is at
};

} // namespace zip32
