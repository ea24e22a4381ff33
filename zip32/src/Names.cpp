#include "Names.h"

#include "Messenger.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unordered_set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

const char *kindOf(mode_t mode)
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

std::string joinPath(const std::string &dir, std::string_view name)
{
    std::string out = dir;
    if (out.empty() || out.back() != '/')
        out += '/';
    out += name;
    return out;
}

class Collector {
public:
    Collector(const CollectOptions &options, Messenger &messages, const std::function<void(const Entry &)> &onEntry)
        : options_(options), messages_(messages), onEntry_(onEntry)
    {
        struct stat st;
        if (::stat(options_.archivePath.c_str(), &st) == 0) {
            archiveId_ = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
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
        const std::string full = normalizePath(name[0] == '/' ? name : joinPath(options_.root, name));
        const size_t slash = full.rfind('/');
        const std::string dir = slash == 0 ? std::string("/") : full.substr(0, slash);
        const std::string last = full.substr(slash + 1);

        if (hasWildcard(last)) {
            // A folder named for its files that is not there (gone since the
            // caller found it, or a name the caller could not spell) is a
            // folder left out: that must not pass for a complete archive.
            struct stat st;
            if (::stat(dir.c_str(), &st) != 0) {
                ++unreadableFolders_;
                notMatched(name, std::strerror(errno));
                return;
            }
            if (!S_ISDIR(st.st_mode)) {
                ++unreadableFolders_;
                notMatched(name, std::strerror(ENOTDIR));
                return;
            }
            addFolder(dir, st, last);
            return;
        }

        struct stat lst;
        if (::lstat(full.c_str(), &lst) != 0) {
            notMatched(name, errno == ENOENT ? nullptr : std::strerror(errno));
            return;
        }
        struct stat st = lst;
        if (S_ISLNK(lst.st_mode) && ::stat(full.c_str(), &st) != 0) {
            brokenLink(full, errno);
            return;
        }
        if (S_ISREG(st.st_mode)) {
            addFile(full, st);
        } else if (S_ISDIR(st.st_mode)) {
            if (options_.recurse)
                addFolder(full, st, "*");
            else
                addFolderEntry(full, st);
        } else {
            special(full, st.st_mode);
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
        messages_.line(path + ": skipped, broken symbolic link (" + std::strerror(error) + ")");
    }

    void special(const std::string &path, mode_t mode)
    {
        messages_.line(path + ": skipped, not a regular file (" + kindOf(mode) + ")");
    }

    bool firstTime(const std::string &stored)
    {
        return seen_.insert(stored).second;
    }

    void addFile(const std::string &path, const struct stat &st)
    {
        ++result_.regularFiles;
        if (haveArchiveId_ && archiveId_.first == static_cast<uint64_t>(st.st_dev)
            && archiveId_.second == static_cast<uint64_t>(st.st_ino))
            return;
        if (path == options_.archivePath)
            return;
        std::string stored = storedName(path, options_.root, options_.ignorePath);
        if (stored.empty() || !firstTime(stored))
            return;
        Entry e;
        e.stored = std::move(stored);
        e.path = path;
        e.mode = static_cast<uint32_t>(st.st_mode);
        e.mtime = static_cast<int64_t>(st.st_mtime);
        e.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_nsec);
        e.size = static_cast<uint64_t>(st.st_size);
        e.dev = static_cast<uint64_t>(st.st_dev);
        e.ino = static_cast<uint64_t>(st.st_ino);
        result_.entries.push_back(std::move(e));
        if (onEntry_)
            onEntry_(result_.entries.back());
    }

    void addFolderEntry(const std::string &path, const struct stat &st)
    {
        if (options_.ignorePath)
            return;
        std::string stored = storedName(path, options_.root, false);
        if (stored.empty())
            return;
        stored += '/';
        if (!firstTime(stored))
            return;
        Entry e;
        e.stored = std::move(stored);
        e.path = path;
        e.isDir = true;
        e.mode = static_cast<uint32_t>(st.st_mode);
        e.mtime = static_cast<int64_t>(st.st_mtime);
        e.dev = static_cast<uint64_t>(st.st_dev);
        e.ino = static_cast<uint64_t>(st.st_ino);
        result_.entries.push_back(std::move(e));
        if (onEntry_)
            onEntry_(result_.entries.back());
    }

    // The folder's own entry, the files in it that match the pattern and,
    // with recursion, the same for every sub-folder.
    void addFolder(const std::string &dir, const struct stat &dirStat, const std::string &pattern)
    {
        if (options_.recurse) {
            // Links to folders are followed, but no folder is entered twice:
            // this is what stops link loops.
            auto id = std::make_pair(static_cast<uint64_t>(dirStat.st_dev),
                                     static_cast<uint64_t>(dirStat.st_ino));
            if (!entered_.insert(id).second)
                return;
        }
        addFolderEntry(dir, dirStat);

        int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR *d = dfd >= 0 ? ::fdopendir(dfd) : nullptr;
        if (!d) {
            int error = errno;
            if (dfd >= 0)
                ::close(dfd);
            messages_.line(dir + ": folder not read (" + std::strerror(error) + ")");
            ++unreadableFolders_;
            return;
        }
        std::vector<std::string> names;
        while (struct dirent *de = ::readdir(d)) {
            std::string_view n = de->d_name;
            if (n == "." || n == "..")
                continue;
            if (!options_.includeHidden && n[0] == '.')
                continue;
            names.emplace_back(n);
        }
        std::sort(names.begin(), names.end());

        std::vector<std::pair<std::string, struct stat>> subFolders;
        for (const auto &n : names) {
            messages_.heartbeat();
            const std::string child = joinPath(dir, n);
            struct stat lst;
            if (::fstatat(dfd, n.c_str(), &lst, AT_SYMLINK_NOFOLLOW) != 0)
                continue;   // gone since the listing: it was never there
            struct stat st = lst;
            if (S_ISLNK(lst.st_mode) && ::fstatat(dfd, n.c_str(), &st, 0) != 0) {
                if (wildcardMatch(pattern, n) || options_.recurse)
                    brokenLink(child, errno);
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                if (options_.recurse)
                    subFolders.emplace_back(child, st);
                continue;
            }
            if (!wildcardMatch(pattern, n))
                continue;
            if (S_ISREG(st.st_mode))
                addFile(child, st);
            else
                special(child, st.st_mode);
        }
        ::closedir(d);
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
