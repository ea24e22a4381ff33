#include "Collect.h"

#include "Messenger.h"
#include "Names.h"
#include "Platform.h"

#include <algorithm>
#include <memory>
#include <set>
#include <unordered_set>
#include <utility>

namespace zip32 {

namespace {

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

class Collector {
public:
    Collector(const CollectOptions &options, Messenger &messages, const std::function<void(const Entry &)> &onEntry)
        : options_(options), messages_(messages), onEntry_(onEntry)
    {
        FileInfo st;
        if (statPath(options_.archivePath, true, st)) {
            archiveId_ = {st.dev, st.ino};
            haveArchiveId_ = true;
        }
    }

    bool stopped() const { return messages_.stopped(); }

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

        if (hasWildcard(last)) {
            // A folder named for its files that is not there (gone since the
            // caller found it, or a name the caller could not spell) is a
            // folder left out: that must not pass for a complete archive.
            FileInfo st;
            if (!statPath(dir, true, st)) {
                ++unreadableFolders_;
                notMatched(name, errorText(lastError()).c_str());
                return;
            }
            if (!S_ISDIR(st.mode)) {
                ++unreadableFolders_;
                notMatched(name, errorText(kErrNotDir).c_str());
                return;
            }
            addFolder(dir, st, last);
            return;
        }

        FileInfo lst;
        if (!statPath(full, false, lst)) {
            const int error = lastError();
            notMatched(name, isNotFound(error) ? nullptr : errorText(error).c_str());
            return;
        }
        FileInfo st = lst;
        if (S_ISLNK(lst.mode) && !statPath(full, true, st)) {
            brokenLink(full, lastError());
            return;
        }
        if (S_ISREG(st.mode)) {
            addFile(full, st);
        } else if (S_ISDIR(st.mode)) {
            if (options_.recurse)
                addFolder(full, st, "*");
            else
                addFolderEntry(full, st);
        } else {
            special(full, st.mode);
        }
    }

    Collected take()
    {
        result_.foldersNotRead = unreadableFolders_;
        result_.stopped = stopped();
        return std::move(result_);
    }

private:
    void notMatched(const std::string &name, const char *reason)
    {
        ++result_.namesNotMatched;
        std::string text = "name not matched: " + name;
        if (reason) {
            text += " (";
            text += reason;
            text += ')';
        }
        messages_.line(text);
    }

    void brokenLink(const std::string &path, int error)
    {
        messages_.line(path + ": skipped, broken symbolic link (" + errorText(error) + ")");
    }

    void special(const std::string &path, uint32_t mode)
    {
        messages_.line(path + ": skipped, not a regular file (" + kindOf(mode) + ")");
    }

    bool firstTime(const std::string &stored)
    {
        return seen_.insert(stored).second;
    }

    void addFile(const std::string &path, const FileInfo &st)
    {
        ++result_.regularFiles;
        if (haveArchiveId_ && archiveId_.first == st.dev && archiveId_.second == st.ino)
            return;
        if (path == options_.archivePath)
            return;
        std::string stored = storedNameOf(path, options_.root, options_.ignorePath);
        if (stored.empty() || !firstTime(stored))
            return;
        Entry e;
        e.stored = std::move(stored);
        e.path = path;
        e.mode = st.mode;
        e.mtime = st.mtime;
        e.mtimeNs = st.mtimeNs;
        e.size = st.size;
        e.dev = st.dev;
        e.ino = st.ino;
        result_.entries.push_back(std::move(e));
        if (onEntry_)
            onEntry_(result_.entries.back());
    }

    void addFolderEntry(const std::string &path, const FileInfo &st)
    {
        if (options_.ignorePath)
            return;
        std::string stored = storedNameOf(path, options_.root, false);
        if (stored.empty())
            return;
        stored += '/';
        if (!firstTime(stored))
            return;
        Entry e;
        e.stored = std::move(stored);
        e.path = path;
        e.isDir = true;
        e.mode = st.mode;
        e.mtime = st.mtime;
        e.dev = st.dev;
        e.ino = st.ino;
        result_.entries.push_back(std::move(e));
        if (onEntry_)
            onEntry_(result_.entries.back());
    }

    // The folder's own entry, the files in it that match the pattern and,
    // with recursion, the same for every sub-folder.
    void addFolder(const std::string &dir, const FileInfo &dirStat, const std::string &pattern)
    {
        if (options_.recurse) {
            // Links to folders are followed, but no folder is entered twice:
            // this is what stops link loops.
            auto id = std::make_pair(dirStat.dev, dirStat.ino);
            if (!entered_.insert(id).second)
                return;
        }
        addFolderEntry(dir, dirStat);

        auto folder = std::make_unique<FolderReader>();
        if (!folder->open(dir)) {
            messages_.line(dir + ": folder not read (" + errorText(lastError()) + ")");
            ++unreadableFolders_;
            return;
        }
        std::vector<std::string> names = folder->names(options_.includeHidden);
        std::sort(names.begin(), names.end());

        std::vector<std::pair<std::string, FileInfo>> subFolders;
        for (const auto &n : names) {
            messages_.heartbeat();
            if (stopped())
                return;
            const std::string child = joinPath(dir, n);
            FileInfo lst;
            if (!folder->stat(n, false, lst))
                continue;   // gone since the listing: it was never there
            FileInfo st = lst;
            if (S_ISLNK(lst.mode) && !folder->stat(n, true, st)) {
                if (wildcardMatch(pattern, n) || options_.recurse)
                    brokenLink(child, lastError());
                continue;
            }
            if (S_ISDIR(st.mode)) {
                if (options_.recurse)
                    subFolders.emplace_back(child, st);
                continue;
            }
            if (!wildcardMatch(pattern, n))
                continue;
            if (S_ISREG(st.mode))
                addFile(child, st);
            else
                special(child, st.mode);
        }
        folder.reset();
        for (const auto &[path, st] : subFolders)
            addFolder(path, st, pattern);
    }

    const CollectOptions &options_;
    Messenger &messages_;
    const std::function<void(const Entry &)> &onEntry_;
    Collected result_;
    std::unordered_set<std::string> seen_;
    std::set<std::pair<uint64_t, uint64_t>> entered_;
    std::pair<uint64_t, uint64_t> archiveId_{};
    bool haveArchiveId_ = false;
    size_t unreadableFolders_ = 0;
};

} // namespace

Collected collectEntries(const std::vector<std::string> &names, const CollectOptions &options,
                         Messenger &messages, const std::function<void(const Entry &)> &onEntry)
{
    Collector collector(options, messages, onEntry);
    for (const auto &name : names) {
        if (collector.stopped())
            break;
        collector.addName(name);
    }
    return collector.take();
}

} // namespace zip32
