#include "Collect.h"

#include "Links.h"
#include "Messenger.h"
#include "Names.h"
#include "Platform.h"
#include "TempName.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

namespace zip32 {

namespace {

// The longest name a zip entry can carry: its length is a 16-bit field.
constexpr size_t kMaxStoredName = 0xFFFF;

const char *kindOf(uint32_t mode)
{
    if (S_ISSOCK(mode))
        return "socket";
    if (S_ISFIFO(mode))
        return "FIFO";
    if (S_ISCHR(mode))
        return "character device";
    if (S_ISBLK(mode))
        return "block device";
    return "special file";
}

using FileId = std::pair<uint64_t, uint64_t>;   // device, inode

// The stored names taken so far, so that a second entry of the same name is
// passed over: entry numbers in an open-addressed table that looks names up
// in the entries themselves, a few bytes per name rather than a copy of it.
class TakenNames {
public:
    explicit TakenNames(const std::deque<Entry> &entries) : entries_(entries) {}

    bool contains(std::string_view name) const { return !slots_.empty() && slots_[find(name)] != 0; }
    // Entry `entry`'s name, not taken before.
    void insert(size_t entry)
    {
        if ((count_ + 1) * 2 > slots_.size())
            grow();
        slots_[find(entries_[entry].stored)] = static_cast<uint32_t>(entry + 1);
        ++count_;
    }

private:
    static size_t hashOf(std::string_view name) { return std::hash<std::string_view>{}(name); }
    // The slot holding `name`, or the free slot where it would go.
    size_t find(std::string_view name) const
    {
        const size_t mask = slots_.size() - 1;
        for (size_t at = hashOf(name) & mask;; at = (at + 1) & mask) {
            const uint32_t slot = slots_[at];
            if (slot == 0 || entries_[slot - 1].stored == name)
                return at;
        }
    }
    void grow()
    {
        std::vector<uint32_t> old(slots_.empty() ? 1024 : slots_.size() * 2, 0);
        old.swap(slots_);
        const size_t mask = slots_.size() - 1;
        for (const uint32_t slot : old) {
            if (slot == 0)
                continue;
            size_t at = hashOf(entries_[slot - 1].stored) & mask;
            while (slots_[at] != 0)
                at = (at + 1) & mask;
            slots_[at] = slot;
        }
    }

    const std::deque<Entry> &entries_;
    std::vector<uint32_t> slots_;   // entry number + 1; 0 is free
    size_t count_ = 0;
};

// The last part of a stored name: the entry's own name in its folder.
std::string_view lastPart(std::string_view stored)
{
    return stored.substr(stored.rfind('/') + 1);
}

class Collector {
public:
    Collector(const CollectOptions &options, Messenger &messages, const std::function<void(const Entry &)> &onEntry)
        : options_(options), messages_(messages), onEntry_(onEntry), links_(options.followLinks),
          taken_(result_.entries)
    {
        FileInfo st;
        if (statPath(options_.archivePath, true, st))
            neverStored_.insert({st.dev, st.ino});
        for (const std::string &path : options_.leaveOut) {
            neverStoredPaths_.insert(path);
            if (statPath(path, true, st))
                neverStored_.insert({st.dev, st.ino});
        }
    }

    bool stopped() const { return messages_.stopped(); }

    // The archive's folders, for the link rule: the folder of each wildcard
    // name and each folder named plainly.
    void findFolders(const std::vector<std::string> &names)
    {
        for (const std::string &name : names) {
            messages_.heartbeat();
            if (stopped())
                return;
            if (name.empty())
                continue;
            const std::string full = resolvePath(options_.root, name);
            std::string dir, last;
            splitPath(full, dir, last);
            FileInfo st;
            if (hasWildcard(last))
                links_.addFolder(dir);
            else if (statPath(full, true, st) && S_ISDIR(st.mode))
                links_.addFolder(full);
        }
    }

    void addName(const std::string &name)
    {
        messages_.heartbeat();
        if (stopped())
            return;
        if (name.empty()) {
            notMatched(name, nullptr);
            return;
        }
        const std::string full = resolvePath(options_.root, name);
        std::string dir, last;
        splitPath(full, dir, last);
        if (hasWildcard(last))
            addWildcardName(name, dir, last);
        else
            addPlainName(name, full);
    }

    Collected take()
    {
        result_.leftOut = leftOut_;
        result_.stopped = stopped();
        return std::move(result_);
    }

private:
    void addWildcardName(const std::string &name, const std::string &dir, const std::string &pattern)
    {
        // A folder named for its files that is not there (gone since the
        // caller found it, or a name the caller could not spell) is a
        // folder left out: that must not pass for a complete archive.
        FileInfo st;
        if (!statPath(dir, true, st)) {
            ++leftOut_;
            notMatched(name, errorText(lastError()).c_str());
        } else if (!S_ISDIR(st.mode)) {
            ++leftOut_;
            notMatched(name, errorText(kErrNotDir).c_str());
        } else {
            addFolder(dir, st, pattern);
        }
    }

    // A plain name is followed when it is a link, wherever it leads: the
    // program named it.
    void addPlainName(const std::string &name, const std::string &full)
    {
        FileInfo lst;
        if (!statPath(full, false, lst)) {
            const int error = lastError();
            // Not there, or there but it cannot be looked at (no permission).
            if (!isNotFound(error) && error != kErrNotDir && error != kErrNameTooLong)
                ++leftOut_;
            notMatched(name, isNotFound(error) ? nullptr : errorText(error).c_str());
            return;
        }
        FileInfo st = lst;
        if (S_ISLNK(lst.mode) && !statPath(full, true, st)) {
            messages_.line(full + ": skipped, broken symbolic link (" + errorText(lastError()) + ")");
            return;
        }
        if (S_ISREG(st.mode))
            addFile(full, st);
        else if (S_ISDIR(st.mode) && options_.recurse)
            addFolder(full, st, "*");
        else if (S_ISDIR(st.mode))
            addFolderEntry(full, st);
        else
            special(full, st.mode);
    }

    void notMatched(const std::string &name, const char *reason)
    {
        std::string text = "name not matched: " + name;
        if (reason) {
            text += " (";
            text += reason;
            text += ')';
        }
        messages_.line(text);
    }

    // Something that matched and is there, but cannot be looked at.
    void cannotExamine(const std::string &path, int error)
    {
        ++leftOut_;
        messages_.line(path + ": " + errorText(error));
    }

    void special(const std::string &path, uint32_t mode)
    {
        messages_.line(path + ": skipped, not a regular file (" + kindOf(mode) + ")");
    }

    // The stored name of `path`, empty when it is not to be stored: the
    // root itself, a name taken already, or one too long for a zip entry.
    std::string storedAs(const std::string &path, bool ignorePath, const char *suffix)
    {
        std::string stored = storedNameOf(path, options_.root, ignorePath);
        if (stored.empty())
            return {};
        stored += suffix;
        if (stored.size() > kMaxStoredName) {
            ++leftOut_;
            messages_.line(path + ": left out, its name is too long for a zip archive");
            return {};
        }
        return taken_.contains(stored) ? std::string() : stored;
    }

    // Sets where the entry at `path` lies: its folder, shared with the
    // entries before it in the same folder, or its whole path where its
    // stored name does not end in its own name.
    void placeEntry(Entry &e, const std::string &path)
    {
        std::string_view dir = path, last;
        if (!e.isDir)
            splitPath(path, dir, last);
        if (!folder_ || *folder_ != dir)
            folder_ = std::make_shared<const std::string>(dir);
        e.folder = folder_;
        if (!e.isDir && !isJoinOf(path, *folder_, lastPart(e.stored))) {
            e.folder = std::make_shared<const std::string>(path);
            e.wholePath = true;
        }
    }

    void push(Entry e)
    {
        result_.entries.push_back(std::move(e));
        taken_.insert(result_.entries.size() - 1);
        if (onEntry_)
            onEntry_(result_.entries.back());
    }

    // The archive itself, the files the program left out, and the temporary
    // files of any archive being written: never stored.
    bool neverStored(const std::string &path, const FileInfo &st) const
    {
        std::string_view dir, last;
        splitPath(path, dir, last);
        return isTemporaryName(last) || path == options_.archivePath || neverStoredPaths_.count(path) > 0
               || neverStored_.count({st.dev, st.ino}) > 0;
    }

    void addFile(const std::string &path, const FileInfo &st)
    {
        if (neverStored(path, st))
            return;
        std::string stored = storedAs(path, options_.ignorePath, "");
        if (stored.empty())
            return;
        Entry e;
        e.stored = std::move(stored);
        placeEntry(e, path);
        e.mode = st.mode;
        e.mtime = st.mtime;
        e.mtimeNs = static_cast<int32_t>(st.mtimeNs);
        e.ctime = st.ctime;
        e.ctimeNs = static_cast<int32_t>(st.ctimeNs);
        e.size = st.size;
        e.dev = st.dev;
        e.ino = st.ino;
        push(std::move(e));
    }

    void addFolderEntry(const std::string &path, const FileInfo &st)
    {
        if (options_.ignorePath)
            return;
        std::string stored = storedAs(path, false, "/");
        if (stored.empty())
            return;
        Entry e;
        e.stored = std::move(stored);
        e.isDir = true;
        placeEntry(e, path);
        e.mode = st.mode;
        e.mtime = st.mtime;
        e.dev = st.dev;
        e.ino = st.ino;
        push(std::move(e));
    }

    // A link that is not followed: kept as a link entry holding its target
    // where archives can carry one, else left out; a note either way.
    void addLink(const std::string &path, const FileInfo &lst, const LinkVerdict &verdict)
    {
        if (!kStoresLinks) {
            messages_.line(path + ": link left out, " + verdict.why + " (" + verdict.target + ")");
            return;
        }
        std::string stored = storedAs(path, options_.ignorePath, "");
        if (stored.empty())
            return;
        Entry e;
        e.stored = std::move(stored);
        placeEntry(e, path);
        e.isLink = true;
        e.mode = lst.mode;
        e.mtime = lst.mtime;
        e.mtimeNs = static_cast<int32_t>(lst.mtimeNs);
        e.size = verdict.target.size();
        e.linkTarget = std::make_unique<const std::string>(verdict.target);
        push(std::move(e));
        messages_.line(path + ": stored as a link to " + verdict.target + " (" + verdict.why + ")");
    }

    // One name of a folder's listing. A sub-folder to enter goes to
    // `subFolders`.
    void addListed(const FolderReader &folder, const std::string &child, const std::string &name,
                   const std::string &pattern, std::vector<std::pair<std::string, FileInfo>> &subFolders)
    {
        const bool matches = wildcardMatch(pattern, name);
        const bool wanted = matches || options_.recurse;   // a file to store, or a folder to enter
        FileInfo lst;
        if (!folder.stat(name, false, lst)) {
            // Gone since the listing: it was never there.
            if (wanted && !isNotFound(lastError()))
                cannotExamine(child, lastError());
            return;
        }
        FileInfo st = lst;
        if (S_ISLNK(lst.mode)) {
            if (!wanted)
                return;
            LinkVerdict verdict;
            if (!links_.judge(child, verdict) || (verdict.follow && !folder.stat(name, true, st))) {
                if (!isNotFound(lastError()))
                    cannotExamine(child, lastError());
                return;
            }
            if (!verdict.follow)
                return addLink(child, lst, verdict);
        }
        if (S_ISDIR(st.mode)) {
            if (options_.recurse)
                subFolders.emplace_back(child, st);
        } else if (!matches) {
            return;
        } else if (S_ISREG(st.mode)) {
            addFile(child, st);
        } else {
            special(child, st.mode);
        }
    }

    // The folder's own entry, the files in it that match the pattern and,
    // with recursion, the same for every sub-folder.
    void addFolder(const std::string &dir, const FileInfo &dirStat, const std::string &pattern)
    {
        // Links to folders are followed when recursing, but no folder is
        // entered twice: this is what stops link loops.
        if (options_.recurse && !entered_.insert({dirStat.dev, dirStat.ino}).second)
            return;
        addFolderEntry(dir, dirStat);

        auto folder = std::make_unique<FolderReader>();
        if (!folder->open(dir)) {
            ++leftOut_;
            messages_.line(dir + ": folder not read (" + errorText(lastError()) + ")");
            return;
        }
        std::vector<std::string> names;
        if (!folder->names(options_.includeHidden, names)) {
            ++leftOut_;
            messages_.line(dir + ": folder not read to the end (" + errorText(lastError()) + ")");
        }
        std::sort(names.begin(), names.end());

        std::vector<std::pair<std::string, FileInfo>> subFolders;
        for (const auto &n : names) {
            messages_.heartbeat();
            if (stopped())
                return;
            addListed(*folder, joinPath(dir, n), n, pattern, subFolders);
        }
        folder.reset();
        for (const auto &[path, st] : subFolders)
            addFolder(path, st, pattern);
    }

    const CollectOptions &options_;
    Messenger &messages_;
    const std::function<void(const Entry &)> &onEntry_;
    LinkRule links_;
    Collected result_;
    TakenNames taken_;
    std::set<FileId> entered_;
    std::set<FileId> neverStored_;
    std::set<std::string> neverStoredPaths_;
    std::shared_ptr<const std::string> folder_;   // of the entry added last
    size_t leftOut_ = 0;
};

} // namespace

std::string Entry::path() const
{
    return isDir || wholePath ? *folder : joinPath(*folder, lastPart(stored));
}

Collected collectEntries(const std::vector<std::string> &names, const CollectOptions &options,
                         Messenger &messages, const std::function<void(const Entry &)> &onEntry)
{
    Collector collector(options, messages, onEntry);
    collector.findFolders(names);
    for (const auto &name : names) {
        if (collector.stopped())
            break;
        collector.addName(name);
    }
    return collector.take();
}

} // namespace zip32
