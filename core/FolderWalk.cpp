#include "core/FolderWalk.h"

#include "core/FileNames.h"
#include "core/PathHelpers.h"


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
#  include <cstdlib>
#  include <dirent.h>
#  include <fcntl.h>
#  include <unistd.h>
#  ifdef __linux__
#    include <linux/magic.h>
#    include <sys/vfs.h>
#  endif
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
// Links to folders (POSIX). By default none is followed: a link out of the
// tree is stored by the engine as a link, and a link back into the tree is
// named in `linksLeftOut`. When links out are to be followed, a link is
// followed only when its resolved target lies outside the starting folder's
// tree and outside the tree of every link followed on the way down, and
// holds none of them; links onto the kernel's pseudo file systems (/proc,
// /sys, /dev) are not followed either. So the walk never climbs to the root
// or to a parent of the listed folder, and every folder inside the tree is
// gathered under its own path, never under a link's. A link that is not
// followed for one of these reasons is named in `linksLeftOut`.
//
// Every folder that is gathered is also identified by device and inode
// (volume serial and file index on Windows). A folder whose identity was
// already seen in this walk - the starting folder included - is neither
// listed again nor entered again: a second link to the same folder elsewhere
// adds nothing.
//
// Names on POSIX are bytes. The walk opens folders by their bytes and gives
// each name to `out` through FileNameFromNative, so a name that is not valid
// UTF-8 is carried without loss.

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
    // The resolved paths of the trees this folder was reached through: the
    // starting folder's, then the target of each link followed on the way.
    std::vector<NativePath> trees;
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
std::vector<Folder> listFolder(const Folder &folder, SeenFolders &seen, const Yield &yield,
                               QStringList *, bool followLinksOut)
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
        // A junction or a link to a folder: the engine leaves out one that
        // leads elsewhere, and names it.
        if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) && !followLinksOut)
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

std::vector<NativePath> treesOfRoot(const NativePath &) { return {}; }

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

QByteArray realPathOf(const QByteArray &path)
{
    char *resolved = ::realpath(path.constData(), nullptr);
    QByteArray out(resolved ? resolved : "");
    std::free(resolved);
    return out;
}

// True when `path` is `folder` or lies below it; both are resolved paths.
bool isWithin(const QByteArray &path, const QByteArray &folder)
{
    if (folder == "/")
        return true;
    return path.startsWith(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// File systems made up by the kernel: following a link onto one walks
// thousands of entries that are not files at all.
bool isPseudoFileSystem(const QByteArray &resolved)
{
    for (const char *top : {"/proc", "/sys", "/dev"})
        if (isWithin(resolved, QByteArray(top)))
            return true;
#ifdef __linux__
    struct statfs fs;
    if (::statfs(resolved.constData(), &fs) == 0) {
        switch (static_cast<unsigned long>(fs.f_type)) {
        case PROC_SUPER_MAGIC: case SYSFS_MAGIC: case DEVPTS_SUPER_MAGIC: case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC: case SECURITYFS_MAGIC: case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC: case BPF_FS_MAGIC:
            return true;
        default:
            break;
        }
    }
#endif
    return false;
}

// Why a link to a folder must not be followed from `folder`, or nullptr when
// it may be. A link is followed only to a folder outside every tree being
// walked on the way here, and never to one that holds such a tree: so the
// walk cannot climb out of the listed folder, and every folder inside it is
// met under its own name, not under a link's, whatever the listing order.
const char *linkRefusal(const Folder &folder, const QByteArray &target)
{
    if (target.isEmpty())
        return "its target cannot be resolved";
    if (target == "/")
        return "it leads to the root of the file system";
    for (const QByteArray &tree : folder.trees) {
        if (isWithin(tree, target))
            return "it leads to a folder that holds the folder being walked";
        if (isWithin(target, tree))
            return "it leads into the folder being walked, whose folders are taken under their own names";
    }
    if (isPseudoFileSystem(target))
        return "it leads into a system file system";
    return nullptr;
}

QString linkNote(const Folder &folder, const QByteArray &name, int dirFd, const char *why)
{
    QByteArray text(4096, '\0');
    const ssize_t n = ::readlinkat(dirFd, name.constData(), text.data(), size_t(text.size()));
    text.resize(n > 0 ? n : 0);
    return QStringLiteral("%1 -> %2: link not followed, %3")
        .arg(FileNameFromNative(folder.native + name), FileNameFromNative(text),
             QString::fromLatin1(why));
}

// Whether a link to a folder is followed: nullptr when it is; otherwise the
// reason, or "" for a link the walk passes over without a word (one that
// leads out of the tree, which the engine stores as a link and names).
const char *linkDecision(const Folder &folder, const QByteArray &target, bool followLinksOut)
{
    if (followLinksOut)
        return linkRefusal(folder, target);
    for (const QByteArray &tree : folder.trees)
        if (!target.isEmpty() && isWithin(target, tree))
            return "it leads into the folder being walked, whose folders are taken under their own names";
    return "";
}

std::vector<Folder> listFolder(const Folder &folder, SeenFolders &seen, const Yield &yield,
                               QStringList *linksLeftOut, bool followLinksOut)
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
        bool maybeLink = true;
#ifdef DT_DIR
        // The listing says what most entries are; only folders, links and
        // entries of unknown kind need a look at their attributes.
        const unsigned char type = ent->d_type;
        if (type != DT_DIR && type != DT_LNK && type != DT_UNKNOWN)
            continue;
        maybeLink = type != DT_DIR;
#endif
        struct stat st;
        if (::fstatat(listing.fd(), name, &st, 0) != 0 || !S_ISDIR(st.st_mode))
            continue;
        const QByteArray nameBytes(name);
        Folder sub;
        sub.trees = folder.trees;
        struct stat lst;
        if (maybeLink && ::fstatat(listing.fd(), name, &lst, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISLNK(lst.st_mode)) {
            const QByteArray target = realPathOf(folder.native + nameBytes);
            if (const char *why = linkDecision(folder, target, followLinksOut)) {
                if (linksLeftOut && *why)
                    linksLeftOut->append(linkNote(folder, nameBytes, listing.fd(), why));
                continue;
            }
            sub.trees.push_back(target);
        }
        if (!seen.insert(idOf(st)).second)
            continue;
        sub.native.reserve(folder.native.size() + nameBytes.size() + 1);
        sub.native.append(folder.native).append(nameBytes).append('/');
        sub.entry = CleanBackslashes(folder.entry + FileNameFromNative(nameBytes) + kNativeSeparator);
        found.push_back(std::move(sub));
    }
    return found;
}

NativePath toNative(const QString &path)
{
    return FileNameToNative(path);
}

bool rootIdOf(const NativePath &path, FolderId &id)
{
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    id = idOf(st);
    return true;
}

std::vector<NativePath> treesOfRoot(const NativePath &path)
{
    QByteArray resolved = realPathOf(path);
    if (resolved.isEmpty())
        return {};
    return {resolved};
}

#endif

} // namespace

void CollectSubFolders(const QString &root, QStringList &out, bool recurse, const Yield &yield,
                       QStringList *linksLeftOut, bool followLinksOut)
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
    start.trees = treesOfRoot(start.native);

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
    stack.push_back(Frame{listFolder(start, seen, yield, linksLeftOut, followLinksOut), 0});

    while (!stack.empty()) {
        Frame &top = stack.back();
        if (recurse && top.walked < top.subFolders.size()) {
            const Folder &next = top.subFolders[top.walked++];
            std::vector<Folder> below = listFolder(next, seen, yield, linksLeftOut, followLinksOut);
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
