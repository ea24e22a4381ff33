#include "names/Folders.h"

#include <iterator>

namespace zip32 {

FolderTree::FolderTree() : budget_(folderBudget()) {}

FolderTree::~FolderTree()
{
    for (const FolderNode *node : open_)
        closeFolder(node->handle_);
}

FolderTree::Hold &FolderTree::Hold::operator=(Hold &&other) noexcept
{
    if (this != &other) {
        release();
        node_ = other.node_;
        other.node_ = nullptr;
    }
    return *this;
}

void FolderTree::Hold::release()
{
    if (node_)
        node_->tree->release(*node_);
    node_ = nullptr;
}

namespace {

bool sameFile(const FileInfo &a, uint64_t dev, uint64_t ino) { return a.dev == dev && a.ino == ino; }

} // namespace

const FolderNode *FolderTree::add(FolderNode node, FolderHandle handle, const FileInfo &st, bool registered)
{
    node.tree = this;
    node.dev = st.dev;
    node.ino = st.ino;
    node.mode = st.mode;
    node.mtime = st.mtime;
    // A folder on the same device as the one holding it is on the same file
    // system: asked once per file system met, not once per folder.
    node.keepsChangeTimes =
        node.parent && node.parent->dev == st.dev ? node.parent->keepsChangeTimes : keepsChangeTimes(handle);
    nodes_.push_back(std::move(node));
    const FolderNode &made = nodes_.back();
    if (registered)
        byPath_.emplace(made.path, &made);
    keepOpen(made, handle);
    return &made;
}

const FolderNode *FolderTree::top(const std::string &path, bool registered)
{
    std::lock_guard lock(mutex_);
    if (registered)
        if (const auto it = byPath_.find(path); it != byPath_.end())
            return it->second;
    const FolderHandle handle = openFolder(path);
    FileInfo st;
    if (handle == kNoFile)
        return nullptr;
    if (!fileInfo(handle, st)) {
        const int error = lastError();
        closeFolder(handle);
        setLastError(error);
        return nullptr;
    }
    FolderNode node;
    node.path = path;
    return add(std::move(node), handle, st, registered);
}

const FolderNode *FolderTree::child(const FolderNode &parent, const std::string &name,
                                    const FileInfo *expected)
{
    std::lock_guard lock(mutex_);
    const FolderHandle handle = openChild(parent, name, expected != nullptr);
    if (handle == kNoFile)
        return nullptr;
    FileInfo st;
    if (!fileInfo(handle, st) || (expected && !sameFile(st, expected->dev, expected->ino))) {
        const int error = expected ? kErrChanged : lastError();
        closeFolder(handle);
        setLastError(error);
        return nullptr;
    }
    FolderNode node;
    node.parent = &parent;
    node.path = joinPath(parent.path, name);
    node.name = name;
    node.viaLink = expected != nullptr;
    return add(std::move(node), handle, st, true);
}

const FolderNode *FolderTree::known(const std::string &path)
{
    std::lock_guard lock(mutex_);
    const auto it = byPath_.find(path);
    return it == byPath_.end() ? nullptr : it->second;
}

FolderTree::Hold FolderTree::hold(const FolderNode &node)
{
    std::lock_guard lock(mutex_);
    if (!open(node))
        return Hold();
    ++node.users_;
    return Hold(&node);
}

void FolderTree::release(const FolderNode &node)
{
    std::lock_guard lock(mutex_);
    --node.users_;
}

bool FolderTree::open(const FolderNode &node)
{
    if (node.handle_ != kNoFile) {
        open_.splice(open_.end(), open_, node.lru_);
        return true;
    }
    const FolderHandle handle =
        node.parent ? openChild(*node.parent, node.name, node.viaLink) : openFolder(node.path);
    if (handle == kNoFile)
        return false;
    // Opened again: it must be the very folder it was.
    FileInfo st;
    if (!fileInfo(handle, st) || !sameFile(st, node.dev, node.ino)) {
        closeFolder(handle);
        setLastError(kErrChanged);
        return false;
    }
    keepOpen(node, handle);
    return true;
}

FolderHandle FolderTree::openChild(const FolderNode &parent, const std::string &name, bool follow)
{
    if (!open(parent))
        return kNoFile;
    ++parent.users_; // not to be closed while its child is opened
    const FolderHandle handle = openFolderIn(parent.handle_, name, follow);
    --parent.users_;
    return handle;
}

void FolderTree::keepOpen(const FolderNode &node, FolderHandle handle)
{
    node.handle_ = handle;
    open_.push_back(&node);
    node.lru_ = std::prev(open_.end());
    // The least recently used folders that nobody holds give their handles
    // back; they are opened again when they are needed.
    for (auto it = open_.begin(); open_.size() > budget_ && it != open_.end();) {
        const FolderNode *old = *it;
        if (old->users_ > 0 || old == &node) {
            ++it;
            continue;
        }
        closeFolder(old->handle_);
        old->handle_ = kNoFile;
        it = open_.erase(it);
    }
}

} // namespace zip32
