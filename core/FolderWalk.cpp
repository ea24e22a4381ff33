#include "core/FolderWalk.h"
#include "core/PathHelpers.h"
#include "core/Platform.h"

#include <cstdint>
#include <unordered_set>
#include <vector>

// How the walk works
//
// Each folder is listed completely (and its listing closed) before the walk
// descends into any of its sub-folders; the sub-folders of one folder are
// appended to `out` only after everything below all of them. That order is
// the natural recursive one; it is produced here with an explicit stack of
// per-folder working lists, so a very deep tree cannot exhaust the call stack.
//
// Links to folders (symbolic links; on Windows junctions and mount points
// too). By default none is followed: a link out of the tree is the engine's
// to store as a link (or, on Windows, to leave out and name), and a link
// back into the tree is named in `linksLeftOut`. When links out are to be
// followed, a link is followed only when its resolved target lies outside
// the starting folder's tree and outside the tree of every link followed on
// the way down, and holds none of them; links onto the kernel's pseudo file
// systems (/proc, /sys, /dev) are not followed either. So the walk never
// climbs to the root or to a parent of the listed folder, and every folder
// inside the tree is gathered under its own path, never under a link's. A
// link that is not followed for one of these reasons is named in
// `linksLeftOut`.
//
// Every folder that is gathered is also identified by device and inode
// (volume serial and file index on Windows). A folder whose identity was
// already seen in this walk - the starting folder included - is neither
// listed again nor entered again: a second link to the same folder elsewhere
// adds nothing.
//
// Names on POSIX are bytes. The walk opens folders by their bytes and gives
// each name to `out` through FileNameFromNative, so a name that is not valid
// UTF-8 is carried without loss. What the system is asked is in the
// platform files (PlatformPosix.cpp, PlatformWindows.cpp).

namespace {

struct FolderIdHash {
    std::size_t operator()(const FolderId &id) const noexcept
    {
        return std::hash<std::uint64_t>()(id.node * 0x9E3779B97F4A7C15ull ^ id.device);
    }
};

using SeenFolders = std::unordered_set<FolderId, FolderIdHash>;

// One gathered folder: the text that goes to `out`, and what the listing
// that found it saw: its name there, its identity and whether it is a link.
struct Folder {
    QString entry;
    NativePath name;
    FolderId id;
    bool link = false;
    // The resolved paths of the trees this folder was reached through: the
    // starting folder's, then the target of each link followed on the way.
    std::vector<NativePath> trees;
};

void callYield(const Yield &yield)
{
    if (yield)
        yield();
}

// Why a link to a folder must not be followed from `folder`, or nullptr when
// it may be. A link is followed only to a folder outside every tree being
// walked on the way here, and never to one that holds such a tree: so the
// walk cannot climb out of the listed folder, and every folder inside it is
// met under its own name, not under a link's, whatever the listing order.
const char *linkRefusal(const Folder &folder, const NativePath &target)
{
    if (target.size() == 0)
        return "its target cannot be resolved";
    if (IsFileSystemRoot(target))
        return "it leads to the root of the file system";
    for (const NativePath &tree : folder.trees) {
        if (IsWithin(tree, target))
            return "it leads to a folder that holds the folder being walked";
        if (IsWithin(target, tree))
            return "it leads into the folder being walked, whose folders are taken under their own names";
    }
    if (IsSystemFileSystem(target))
        return "it leads into a system file system";
    return nullptr;
}

// Whether a link to a folder is followed: nullptr when it is; otherwise the
// reason, or "" for a link the walk passes over without a word (one that
// leads out of the tree, which the engine stores as a link and names).
const char *linkDecision(const Folder &folder, const NativePath &target, bool followLinksOut)
{
    if (followLinksOut)
        return linkRefusal(folder, target);
    for (const NativePath &tree : folder.trees)
        if (target.size() != 0 && IsWithin(target, tree))
            return "it leads into the folder being walked, whose folders are taken under their own names";
    return "";
}

// Lists `folder`, held as `held`, gathering its sub-folders that are not
// hidden, were not met before in this walk, and are not links the rules
// above refuse.
std::vector<Folder> listFolder(const Folder &folder, const WalkFolder &held, SeenFolders &seen,
                               const Yield &yield, QStringList *linksLeftOut, bool followLinksOut)
{
    std::vector<Folder> found;
    ListFolders(
        held, [&] { callYield(yield); },
        [&](ListedFolder &&listed) {
            Folder sub;
            sub.trees = folder.trees;
            if (listed.link) {
                const NativePath target = ResolvedPathIn(held, listed.name);
                if (const char *why = linkDecision(folder, target, followLinksOut)) {
                    if (linksLeftOut && *why)
                        linksLeftOut->append(QStringLiteral("%1 -> %2: link not followed, %3")
                                                 .arg(folder.entry + FromNativePath(listed.name),
                                                      LinkTextIn(held, listed.name),
                                                      QString::fromLatin1(why)));
                    return;
                }
                sub.trees.push_back(target);
            }
            if (!seen.insert(listed.id).second)
                return;
            sub.entry = CleanBackslashes(folder.entry + FromNativePath(listed.name) + kNativeSeparator);
            sub.name = std::move(listed.name);
            sub.id = listed.id;
            sub.link = listed.link;
            found.push_back(std::move(sub));
        });
    return found;
}

// One frame per folder being walked: the folder held (closed when the walk
// holds too many; opened again from the frame above when it is needed), its
// gathered sub-folders and how many of them have been walked so far.
struct Frame {
    WalkFolder held;
    std::vector<Folder> subFolders;
    std::size_t walked = 0;
};

// The folder of frame `k`, opened again from the nearest frame above it
// that still holds its folder: each is the sub-folder its parent frame is
// walking, and must still be the folder listed.
void reopen(std::vector<Frame> &stack, std::size_t k)
{
    std::size_t open = k;
    while (open > 0 && !stack[open].held.isOpen())
        --open;
    for (std::size_t m = open + 1; m <= k && stack[m - 1].held.isOpen(); ++m) {
        const Folder &folder = stack[m - 1].subFolders[stack[m - 1].walked - 1];
        stack[m].held = stack[m - 1].held.child(folder.name, folder.link, folder.id);
    }
}

// Keeps the folders held within the walk's budget: the starting folder and
// the deepest ones stay open.
void keepWithinBudget(std::vector<Frame> &stack, std::size_t budget)
{
    std::size_t open = 0;
    for (const Frame &frame : stack)
        open += frame.held.isOpen() ? 1 : 0;
    for (std::size_t k = 1; open > budget && k + 1 < stack.size(); ++k) {
        if (stack[k].held.isOpen()) {
            stack[k].held.close();
            --open;
        }
    }
}

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
    const NativePath native = ToNativePath(start.entry);
    const NativePath resolved = ResolvedPath(native);
    if (resolved.size() != 0)
        start.trees.push_back(resolved);

    // Everything below the starting folder is opened from it, name by name.
    WalkFolder held = WalkFolder::open(native);
    SeenFolders seen;
    FolderId rootId;
    if (held.isOpen() && FolderIdOf(held, rootId))
        seen.insert(rootId);

    const std::size_t budget = WalkFolderBudget();
    std::vector<Frame> stack;
    std::vector<Folder> top = held.isOpen()
                                  ? listFolder(start, held, seen, yield, linksLeftOut, followLinksOut)
                                  : std::vector<Folder>();
    stack.push_back(Frame{std::move(held), std::move(top), 0});

    while (!stack.empty()) {
        Frame &top = stack.back();
        if (recurse && top.walked < top.subFolders.size()) {
            const Folder &next = top.subFolders[top.walked++];
            if (!top.held.isOpen())
                reopen(stack, stack.size() - 1);
            // A folder that is no longer the one listed (a link in its
            // place now) is not walked; the engine names it.
            WalkFolder below = top.held.child(next.name, next.link, next.id);
            std::vector<Folder> found =
                below.isOpen() ? listFolder(next, below, seen, yield, linksLeftOut, followLinksOut)
                               : std::vector<Folder>();
            // `top` and `next` are not used after this point: the push may
            // move the frames.
            stack.push_back(Frame{std::move(below), std::move(found), 0});
            keepWithinBudget(stack, budget);
            continue;
        }
        for (Folder &sub : top.subFolders) {
            callYield(yield);
            out.append(std::move(sub.entry));
        }
        stack.pop_back();
    }
}
