#include "names/Collect.h"

#include "names/FolderAhead.h"
#include "names/Links.h"
#include "messages/Messenger.h"
#include "names/Names.h"
#include "platform/Platform.h"
#include "names/TempName.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

namespace zip32 {

namespace {

// The longest name a zip entry can carry: its length is a 16-bit field.
constexpr size_t kMaxStoredName = 0xFFFF;

// What is said of a folder or file that is another one than was listed, or
// is reached through a link now.
const char *const kChanged = "changed while being zipped";

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

using FileId = std::pair<uint64_t, uint64_t>; // device, inode

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
    std::vector<uint32_t> slots_; // entry number + 1; 0 is free
    size_t count_ = 0;
};

// The last part of a stored name: the entry's own name in its folder.
std::string_view lastPart(std::string_view stored) { return stored.substr(stored.rfind('/') + 1); }

// Why a folder or file could not be reached, for a message: the engine's
// own words where it is another one than listed, else the system's.
std::string reasonOf(int error)
{
    return error == kErrIsLink || error == kErrChanged ? std::string(kChanged) : errorText(error);
}

class Collector {
public:
    Collector(const CollectOptions &options, Messenger &messages, Collected &into,
              const std::function<void(const Entry &)> &onEntry)
        : options_(options), messages_(messages), onEntry_(onEntry), links_(options.followLinks),
          result_(into), tree_(*result_.folders), taken_(result_.entries)
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

    // The folders the program names, for the link rule and as the places
    // everything else is reached from: the folder of each wildcard name and
    // each folder named plainly, unless it lies below one named before
    // (then it is reached from that one, name by name, when its turn comes).
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
            if (hasWildcard(last)) {
                if (!belowNamed(dir))
                    addNamedFolder(dir);
            } else if (statPath(full, true, st) && S_ISDIR(st.mode)) {
                addNamedFolder(full);
            }
        }
    }

    // The folders of the wildcard names, listed on another thread ahead of
    // the walk. With recursion the walk reaches most folders from those,
    // so nothing is listed ahead.
    void listAhead(const std::vector<std::string> &names)
    {
        if (options_.recurse)
            return;
        std::vector<std::string> folders;
        for (const std::string &name : names) {
            std::string dir, last;
            if (!name.empty())
                splitPath(resolvePath(options_.root, name), dir, last);
            folders.push_back(hasWildcard(last) ? dir : std::string());
        }
        ahead_ =
            std::make_unique<FolderAhead>(std::move(folders), options_.includeHidden, options_.startWork);
    }

    // The program's `k`th name.
    void addName(const std::string &name, size_t k)
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
            addWildcardName(name, dir, last, k);
        else
            addPlainName(name, full);
    }

    NamedFolders namedFolders()
    {
        NamedFolders ids;
        for (const std::string &path : named_)
            if (const FolderNode *node = tree_.known(path))
                ids.emplace_back(node->dev, node->ino);
        return ids;
    }

    void finish()
    {
        result_.leftOut = leftOut_;
        result_.stopped = stopped();
    }

private:
    bool belowNamed(const std::string &dir) const
    {
        return std::any_of(named_.begin(), named_.end(),
                           [&](const std::string &folder) { return isWithin(dir, folder); });
    }

    void addNamedFolder(const std::string &path)
    {
        named_.push_back(path);
        const FolderNode *node = tree_.top(path);
        if (!node)
            return; // told when its name's turn comes
        std::string resolved;
        FolderTree::Hold held = tree_.hold(*node);
        if (held && resolvedFolder(held.handle(), path, resolved))
            links_.addFolder(std::move(resolved));
    }

    // The folder at `dir` for a wildcard name: a named one, or one reached
    // from the nearest folder above it that is, name by name, following a
    // link on the way only where the link rule allows. Null with the reason
    // (lastError()) when it cannot be reached.
    const FolderNode *folderAt(const std::string &dir)
    {
        if (const FolderNode *node = tree_.known(dir))
            return node;
        std::vector<std::string> below; // the names from `above` down, last first
        std::string above = dir;
        const FolderNode *node = nullptr;
        while (!node) {
            std::string parent, last;
            splitPath(above, parent, last);
            if (parent == above || last.empty())
                return tree_.top(dir); // nothing above it is named
            below.push_back(std::move(last));
            above = std::move(parent);
            node = tree_.known(above);
            // A folder named before that could not be opened then: never
            // passed over for one below it opened by its path.
            if (!node && std::find(named_.begin(), named_.end(), above) != named_.end()
                && !(node = tree_.top(above)))
                return nullptr;
        }
        for (auto name = below.rbegin(); node && name != below.rend(); ++name)
            node = enter(*node, *name);
        return node;
    }

    // The folder `name` in `parent`: a link there only as the rule allows.
    const FolderNode *enter(const FolderNode &parent, const std::string &name)
    {
        const FolderNode *node = tree_.child(parent, name);
        if (node || lastError() != kErrIsLink)
            return node;
        FolderTree::Hold held = tree_.hold(parent);
        LinkVerdict verdict;
        if (!held || !links_.judge(held.handle(), name, joinPath(parent.path, name), verdict)
            || !verdict.follow) {
            setLastError(kErrIsLink);
            return nullptr;
        }
        return tree_.child(parent, name, &verdict.reached);
    }

    void addWildcardName(const std::string &name, const std::string &dir, const std::string &pattern,
                         size_t k)
    {
        // A folder named for its files that is not there (gone since the
        // caller found it, or a name the caller could not spell) is a
        // folder left out: that must not pass for a complete archive. One
        // that is reached through a link now, or is another folder than
        // before, changed while being zipped.
        const FolderNode *node = folderAt(dir);
        if (!node) {
            const int error = lastError();
            ++leftOut_;
            if (error == kErrIsLink || error == kErrChanged)
                messages_.line(dir + ": folder not read (" + reasonOf(error) + ")");
            else
                notMatched(name, errorText(error).c_str());
            return;
        }
        std::optional<AheadListing> listing;
        if (ahead_)
            listing = ahead_->take(k, [&] {
                messages_.heartbeat();
                return !stopped();
            });
        addFolder(*node, pattern, listing ? &*listing : nullptr);
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
        if (S_ISDIR(st.mode)) {
            const FolderNode *node = tree_.top(full);
            if (!node)
                cannotExamine(full, lastError());
            else if (options_.recurse)
                addFolder(*node, "*");
            else
                addFolderEntry(*node);
            return;
        }
        if (!S_ISREG(st.mode))
            return special(full, st.mode);
        std::string dir, last;
        splitPath(full, dir, last);
        // Its folder, opened by its path: the program named the file, not
        // the folder, and nothing else in it is reached from there.
        const FolderNode *folder = tree_.top(dir, false);
        if (!folder)
            return cannotExamine(full, lastError());
        addFile(*folder, full, st, S_ISLNK(lst.mode) ? &lst : nullptr);
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
        messages_.line(path + ": " + reasonOf(error));
    }

    void special(const std::string &path, uint32_t mode)
    {
        messages_.line(path + ": skipped, not a regular file (" + kindOf(mode) + ")");
    }

    // The stored name of `path`, empty when it is not to be stored: the
    // root itself, a name taken already, or one too long for a zip entry.
    std::string storedAs(const std::string &path, bool ignorePath, const char *suffix)
    {
        std::string stored = storedName(path, options_.root, ignorePath);
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

    // Stores `e`, made for `path` in `folder`, under its stored name (see
    // storedAs); false when it is not to be stored.
    bool store(Entry e, const FolderNode &folder, const std::string &path, bool ignorePath,
               const char *suffix)
    {
        const std::string stored = storedAs(path, ignorePath, suffix);
        if (stored.empty())
            return false;
        e.stored = result_.names.keep(stored);
        e.folder = &folder;
        result_.entries.push_back(std::move(e));
        taken_.insert(result_.entries.size() - 1);
        if (onEntry_)
            onEntry_(result_.entries.back());
        return true;
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

    // The file at `path`, which lies in `folder` under the last part of the
    // path; `link`: the link it is reached through, followed (else null).
    void addFile(const FolderNode &folder, const std::string &path, const FileInfo &st, const FileInfo *link)
    {
        if (neverStored(path, st))
            return;
        Entry e;
        e.viaLink = link != nullptr;
        if (link)
            e.linkPart = std::make_unique<const Entry::LinkPart>(Entry::LinkPart{
                {}, Identity{link->dev, link->ino, link->ctime, static_cast<int32_t>(link->ctimeNs)}});
        e.mode = st.mode;
        e.mtime = st.mtime;
        e.mtimeNs = static_cast<int32_t>(st.mtimeNs);
        e.ctime = st.ctime;
        e.ctimeNs = static_cast<int32_t>(st.ctimeNs);
        e.size = st.size;
        e.dev = st.dev;
        e.ino = st.ino;
        store(std::move(e), folder, path, options_.ignorePath, "");
    }

    void addFolderEntry(const FolderNode &folder)
    {
        if (options_.ignorePath)
            return;
        Entry e;
        e.isDir = true;
        e.mode = folder.mode;
        e.mtime = folder.mtime;
        e.dev = folder.dev;
        e.ino = folder.ino;
        store(std::move(e), folder, folder.path, false, "/");
    }

    // A link that is not followed: kept as a link entry holding its target
    // where archives can carry one, else left out; a note either way.
    void addLink(const FolderNode &folder, const std::string &path, const FileInfo &lst,
                 const LinkVerdict &verdict)
    {
        if (!kStoresLinks) {
            messages_.line(path + ": link left out, " + verdict.why + " (" + verdict.target + ")");
            return;
        }
        Entry e;
        e.isLink = true;
        e.mode = lst.mode;
        e.mtime = lst.mtime;
        e.mtimeNs = static_cast<int32_t>(lst.mtimeNs);
        e.size = verdict.target.size();
        e.linkPart = std::make_unique<const Entry::LinkPart>(Entry::LinkPart{verdict.target, {}});
        if (store(std::move(e), folder, path, options_.ignorePath, ""))
            messages_.line(path + ": stored as a link to " + verdict.target + " (" + verdict.why + ")");
    }

    // A sub-folder to enter, found in a listing: its name and what it is
    // (for a link that is followed, what it was judged to lead to).
    struct SubFolder {
        std::string name;
        FileInfo st;
        bool viaLink;
    };

    // One name of a folder's listing, and what it is (`looked`, not through
    // a link). A sub-folder to enter goes to `subFolders`.
    void addListed(FolderHandle handle, const FolderNode &folder, const std::string &name,
                   const Looked &looked, const std::string &pattern, std::vector<SubFolder> &subFolders)
    {
        const bool matches = wildcardMatch(pattern, name);
        const bool wanted = matches || options_.recurse; // a file to store, or a folder to enter
        const std::string child = joinPath(folder.path, name);
        if (!looked.ok) {
            // Gone since the listing: it was never there.
            if (wanted && !isNotFound(looked.error))
                cannotExamine(child, looked.error);
            return;
        }
        const FileInfo &lst = looked.info;
        FileInfo st = lst;
        const bool link = S_ISLNK(lst.mode);
        if (link) {
            if (!wanted)
                return;
            LinkVerdict verdict;
            if (!links_.judge(handle, name, child, verdict)) {
                if (!isNotFound(lastError()))
                    cannotExamine(child, lastError());
                return;
            }
            if (!verdict.follow)
                return addLink(folder, child, lst, verdict);
            st = verdict.reached;
        }
        if (S_ISDIR(st.mode)) {
            if (options_.recurse)
                subFolders.push_back({name, st, link});
        } else if (!matches) {
            return;
        } else if (S_ISREG(st.mode)) {
            addFile(folder, child, st, link ? &lst : nullptr);
        } else {
            special(child, st.mode);
        }
    }

    // The names in `folder`, held as `handle`, sorted so that the first to
    // take is the last, and what each is when that is known already: the
    // listing made ahead (`ahead`) when it is of this very folder, else the
    // folder's own. False (said) when it cannot be read at all.
    bool namesOf(const FolderNode &folder, FolderHandle handle, AheadListing *ahead,
                 std::vector<std::string> &names, std::vector<Looked> &looked)
    {
        if (ahead && ahead->dev == folder.dev && ahead->ino == folder.ino) {
            names = std::move(ahead->names);
            looked = std::move(ahead->looked);
            return true;
        }
        FolderReader reader;
        if (!reader.open(handle)) {
            ++leftOut_;
            messages_.line(folder.path + ": folder not read (" + reasonOf(lastError()) + ")");
            return false;
        }
        if (!reader.names(options_.includeHidden, names)) {
            ++leftOut_;
            messages_.line(folder.path + ": folder not read to the end (" + errorText(lastError()) + ")");
        }
        std::sort(names.begin(), names.end(), std::greater<>());
        return true;
    }

    // The folder's own entry, the files in it that match the pattern and,
    // with recursion, the same for every sub-folder. `ahead`: the folder's
    // listing made ahead, used when it is of this very folder.
    void addFolder(const FolderNode &node, const std::string &pattern, AheadListing *ahead = nullptr)
    {
        // Links to folders are followed when recursing, but no folder is
        // entered twice: this is what stops link loops.
        if (options_.recurse && !entered_.insert({node.dev, node.ino}).second)
            return;
        addFolderEntry(node);

        std::vector<SubFolder> subFolders;
        {
            FolderTree::Hold held = tree_.hold(node);
            if (!held) {
                ++leftOut_;
                messages_.line(node.path + ": folder not read (" + reasonOf(lastError()) + ")");
                return;
            }
            std::vector<std::string> names;
            std::vector<Looked> looks;
            if (!namesOf(node, held.handle(), ahead, names, looks))
                return;
            // In order, taken from the back and given back as they go.
            StatAhead listed(held.handle(), std::move(names), std::move(looks), options_.startWork);
            const std::function<void()> beat = [&] { messages_.heartbeat(); };
            std::string name;
            Looked looked;
            while (listed.next(name, looked, beat)) {
                messages_.heartbeat();
                if (stopped())
                    return;
                addListed(held.handle(), node, name, looked, pattern, subFolders);
            }
        }
        for (const SubFolder &sub : subFolders) {
            const FolderNode *child = tree_.child(node, sub.name, sub.viaLink ? &sub.st : nullptr);
            if (!child) {
                ++leftOut_;
                messages_.line(joinPath(node.path, sub.name) + ": folder not read (" + reasonOf(lastError())
                               + ")");
                continue;
            }
            addFolder(*child, pattern);
        }
    }

    const CollectOptions &options_;
    Messenger &messages_;
    const std::function<void(const Entry &)> &onEntry_;
    LinkRule links_;
    Collected &result_;
    FolderTree &tree_;
    TakenNames taken_;
    std::unique_ptr<FolderAhead> ahead_;
    std::vector<std::string> named_; // the folders named, as findFolders found them
    std::set<FileId> entered_;
    std::set<FileId> neverStored_;
    std::set<std::string> neverStoredPaths_;
    size_t leftOut_ = 0;
};

} // namespace

std::string_view NameStore::keep(std::string_view name)
{
    constexpr size_t kBlock = 64u << 10;
    if (left_ < name.size() + 1) {
        left_ = std::max(kBlock, name.size() + 1);
        blocks_.push_back(std::make_unique<char[]>(left_));
        free_ = blocks_.back().get();
    }
    char *const kept = free_;
    std::copy(name.begin(), name.end(), kept);
    kept[name.size()] = '\0';
    free_ += name.size() + 1;
    left_ -= name.size() + 1;
    return {kept, name.size()};
}

std::string_view Entry::name() const
{
    return lastPart(isDir ? stored.substr(0, stored.size() - 1) : stored);
}

std::string Entry::path() const { return isDir ? folder->path : joinPath(folder->path, name()); }

FileHandle openEntry(const Entry &e, FileInfo &st, std::string &reason)
{
    FolderTree::Hold folder = e.folder->tree->hold(*e.folder);
    if (!folder) {
        reason = reasonOf(lastError());
        return kNoFile;
    }
    const FileHandle fd = openIn(folder.handle(), std::string(e.name()), e.viaLink);
    if (fd == kNoFile) {
        const int error = lastError();
        reason = error == kErrIsLink ? std::string("skipped, ") + kChanged : errorText(error);
        return kNoFile;
    }
    if (!fileInfo(fd, st)) {
        reason = errorText(lastError());
        closeFile(fd);
        return kNoFile;
    }
    // Another file than the one listed (put in its place, or reached
    // through a link that leads elsewhere now): never read.
    if (S_ISREG(st.mode) && (st.dev != e.dev || st.ino != e.ino))
        reason = std::string("skipped, ") + kChanged;
    else if (!S_ISREG(st.mode))
        reason = "skipped, no longer a regular file";
    else
        return fd;
    closeFile(fd);
    return kNoFile;
}

void collectEntries(const std::vector<std::string> &names, const CollectOptions &options, Messenger &messages,
                    Collected &into, const std::function<void(const Entry &)> &onEntry,
                    const std::function<void(const NamedFolders &)> &onNamed)
{
    Collector collector(options, messages, into, onEntry);
    collector.findFolders(names);
    if (onNamed)
        onNamed(collector.namedFolders());
    collector.listAhead(names);
    for (size_t k = 0; k < names.size(); ++k) {
        if (collector.stopped())
            break;
        collector.addName(names[k], k);
    }
    collector.finish();
}

} // namespace zip32
