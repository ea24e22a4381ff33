#include "Names.h"

#include "Messenger.h"
#include "Platform.h"

#include <algorithm>
#include <memory>
#include <set>
#include <unordered_set>
#include <utility>

namespace zip32 {

bool hasWildcard(std::string_view text)
{
    return text.find_first_of("*?") != std::string_view::npos;
}

namespace {

// Length of the character starting at name[i]: a whole UTF-8 sequence when
// one starts there, otherwise one byte.
size_t charLength(std::string_view name, size_t i)
{
    const auto lead = static_cast<unsigned char>(name[i]);
    size_t len = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
    if (i + len > name.size())
        return 1;
    for (size_t k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80)
            return 1;
    return len;
}

bool plainMatch(std::string_view pattern, std::string_view name)
{
    // Iterative matching with one backtrack point (the last '*').
    size_t p = 0, n = 0;
    size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n += charLength(name, n);
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            starN += charLength(name, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace

bool wildcardMatch(std::string_view pattern, std::string_view name)
{
    if (plainMatch(pattern, name))
        return true;
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*"
        && name.find('.') == std::string_view::npos)
        return plainMatch(pattern.substr(0, pattern.size() - 2), name);
    return false;
}

std::string normalizePath(std::string_view path)
{
    std::vector<std::string_view> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string_view::npos)
            slash = path.size();
        std::string_view part = path.substr(at, slash - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = slash + 1;
    }
    std::string out;
    for (auto part : parts) {
        out += '/';
        out += part;
    }
    return out.empty() ? std::string("/") : out;
}

std::string storedName(std::string_view path, std::string_view root, bool ignorePath)
{
    if (ignorePath) {
        size_t slash = path.rfind('/');
        return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
    }
    if (root == "/")
        return std::string(path.substr(1));
    if (path == root)
        return {};
    if (path.size() > root.size() && path.substr(0, root.size()) == root && path[root.size()] == '/')
        return std::string(path.substr(root.size() + 1));
    return std::string(path.substr(path.empty() ? 0 : 1));
}

bool isAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isValidUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > text.size())
            return false;
        for (size_t k = 1; k < len; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))
            || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

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

    void addName(const std::string &name)
    {
        messages_.heartbeat();
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
    for (const auto &name : names)
        collector.addName(name);
    return collector.take();
}

} // namespace zip32
