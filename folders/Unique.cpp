#include "folders/Unique.h"

#include "batch/MainModule.h"

#include <QFile>

#include <cstdint>
#include <unordered_set>
#include <vector>

#ifdef _WIN32
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#  include <string>
#else
#  include <dirent.h>
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <sys/types.h>
#endif

// How the walk works
//
// Each folder is listed completely (and its listing closed) before the walk
// descends into any of its sub-folders; the sub-folders of one folder are
// appended to `out` only after everything below all of them. That order is
// the natural recursive one; it is produced here with an explicit stack of
// per-folder working lists, so a very deep tree cannot exhaust the call stack.
//
// Every folder that is gathered is identified by device and inode (volume
// serial and file index on Windows), following links. A folder whose identity
// was already seen in this walk - the starting folder included - is neither
// listed again nor entered again: a link back to an ancestor, or a second link
// to the same folder, adds nothing. Each real folder therefore appears once,
// under the first path by which the walk met it.
//
// Names on POSIX are bytes. The walk opens folders by their bytes, so a name
// that is not valid in the locale's encoding is still walked; its entry text
// in `out` is Qt's decoding of it, which is lossy for such names.

namespace {

struct FolderId {
    std::uint64_t device = 0;
    std::uint64_t node = 0;
    bool operator==(const FolderId &) const = default;
};

struct FolderIdHash {
    std::size_t operator()(const FolderId &id) const noexcept
    {
        return std::hash<std::uint64_t>()(id.node * 0x9E3779B97F4A7C15ull ^ id.device);
    }
};

using SeenFolders = std::unordered_set<FolderId, FolderIdHash>;

#ifdef _WIN32
using NativePath = std::wstring;
#else
using NativePath = QByteArray;
#endif

// One gathered folder: the text that goes to `out`, and the path used to
// open it.
struct Folder {
    QString entry;
    NativePath native; // ends in a separator
};

void callYield(const Yield &yield)
{
    if (yield)
        yield();
}

#ifdef _WIN32

bool folderIdOf(const std::wstring &path, FolderId &id)
{
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!ok || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    id.device = info.dwVolumeSerialNumber;
    id.node = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// Lists `folder`, gathering its sub-folders that are neither hidden nor
// system and were not met before in this walk.
std::vector<Folder> listFolder(const Folder &folder, SeenFolders &seen, const Yield &yield)
{
    std::vector<Folder> found;
    WIN32_FIND_DATAW data;
    const std::wstring pattern = folder.native + L"*";
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return found;
    callYield(yield);
    do {
        callYield(yield);
        const DWORD attrs = data.dwFileAttributes;
        if (attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
            continue;
        if (!(attrs & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        const std::wstring name(data.cFileName);
        if (name == L"." || name == L"..")
            continue;
        Folder sub;
        sub.native = folder.native + name + L"\\";
        FolderId id;
        if (!folderIdOf(sub.native, id) || !seen.insert(id).second)
            continue;
        sub.entry = CleanBackslashes(folder.entry + QString::fromStdWString(name) + kNativeSeparator);
        found.push_back(std::move(sub));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return found;
}

NativePath toNative(const QString &path)
{
    return path.toStdWString();
}

bool rootIdOf(const NativePath &path, FolderId &id)
{
    return folderIdOf(path, id);
}

#else // POSIX

class Listing {
public:
    explicit Listing(const QByteArray &path) : m_dir(::opendir(path.constData())) {}
    ~Listing()
    {
        if (m_dir)
            ::closedir(m_dir);
    }
    Listing(const Listing &) = delete;
    Listing &operator=(const Listing &) = delete;

    bool isOpen() const { return m_dir != nullptr; }
    int fd() const { return ::dirfd(m_dir); }
    // The next entry in the directory's own order; nullptr at the end or on
    // a read error.
    const dirent *next() { return ::readdir(m_dir); }

private:
    DIR *m_dir;
};

FolderId idOf(const struct stat &st)
{
    return FolderId{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

std::vector<Folder> listFolder(const Folder &folder, SeenFolders &seen, const Yield &yield)
{
    std::vector<Folder> found;
    Listing listing(folder.native);
    if (!listing.isOpen())
        return found;
    callYield(yield);
    while (const dirent *ent = listing.next()) {
        callYield(yield);
        const char *name = ent->d_name;
        // Names beginning with "." are hidden; that covers "." and ".." too.
        if (name[0] == '.')
            continue;
#ifdef DT_DIR
        // The listing says what most entries are; only folders, links and
        // entries of unknown kind need a look at their attributes.
        const unsigned char type = ent->d_type;
        if (type != DT_DIR && type != DT_LNK && type != DT_UNKNOWN)
            continue;
#endif
        struct stat st;
        if (::fstatat(listing.fd(), name, &st, 0) != 0 || !S_ISDIR(st.st_mode))
            continue;
        if (!seen.insert(idOf(st)).second)
            continue;
        Folder sub;
        const QByteArray nameBytes(name);
        sub.native.reserve(folder.native.size() + nameBytes.size() + 1);
        sub.native.append(folder.native).append(nameBytes).append('/');
        sub.entry = CleanBackslashes(folder.entry + QFile::decodeName(nameBytes) + kNativeSeparator);
        found.push_back(std::move(sub));
    }
    return found;
}

NativePath toNative(const QString &path)
{
    return QFile::encodeName(path);
}

bool rootIdOf(const NativePath &path, FolderId &id)
{
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    id = idOf(st);
    return true;
}

#endif

} // namespace

void CollectSubFolders(const QString &root, QStringList &out, bool recurse, const Yield &yield)
{
    // An empty root would list the working folder, which no caller means;
    // a root with an embedded NUL would list a different folder.
    if (root.isEmpty() || root.contains(QChar(u'\0')))
        return;

    // Names are joined to the root by plain concatenation, so the root must
    // end in a separator; one is added when it is missing.
    Folder start;
    start.entry = root;
    if (!start.entry.endsWith(kNativeSeparator))
        start.entry += kNativeSeparator;
    start.native = toNative(start.entry);

    SeenFolders seen;
    FolderId rootId;
    if (rootIdOf(start.native, rootId))
        seen.insert(rootId);

    // One frame per folder being walked: its gathered sub-folders and how many
    // of them have been walked so far.
    struct Frame {
        std::vector<Folder> subFolders;
        std::size_t walked = 0;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{listFolder(start, seen, yield), 0});

    while (!stack.empty()) {
        Frame &top = stack.back();
        if (recurse && top.walked < top.subFolders.size()) {
            const Folder &next = top.subFolders[top.walked++];
            std::vector<Folder> below = listFolder(next, seen, yield);
            // `top` and `next` are not used after this point: the push may
            // move the frames.
            stack.push_back(Frame{std::move(below), 0});
            continue;
        }
        for (Folder &sub : top.subFolders) {
            callYield(yield);
            out.append(std::move(sub.entry));
        }
        stack.pop_back();
    }
}
