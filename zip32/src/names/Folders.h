// Folders: every folder one archive reads, held open or opened again from
// the folder holding it, one name at a time, never through a link that was
// not judged and followed on purpose. So a folder or file that someone
// replaces with a link after it was listed leads nowhere: the engine finds
// a link where it expects none, or another file than it listed, and names
// it "changed while being zipped". Paths are kept for messages and stored
// names only; the system never sees one longer than a single name, so a
// tree deeper than the system's path limit is read whole.
//
// Only so many folders are held open at once (folderBudget); the others
// are opened again when they are needed, through their parents, and must
// then be the same folder (device and inode) they were the first time.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace zip32 {

class FolderTree;

struct FolderNode {
    FolderTree *tree = nullptr;
    const FolderNode *parent = nullptr; // null: a folder the program named, opened by its path
    std::string path; // full path, for messages and stored names
    std::string name; // its name in the parent
    uint64_t dev = 0, ino = 0;
    uint32_t mode = 0; // as first opened
    int64_t mtime = 0;
    bool viaLink = false; // reached through a link that was followed
    bool keepsChangeTimes = false; // its file system keeps real change times

private:
    friend class FolderTree;
    // Held under the tree's mutex.
    mutable FolderHandle handle_ = kNoFile;
    mutable uint32_t users_ = 0;
    mutable std::list<const FolderNode *>::iterator lru_;
};

class FolderTree {
public:
    FolderTree();
    ~FolderTree();
    FolderTree(const FolderTree &) = delete;
    FolderTree &operator=(const FolderTree &) = delete;

    // A folder held open for as long as the Hold lives; an empty Hold (with
    // lastError() set) when it cannot be opened again, or is another folder
    // now.
    class Hold {
    public:
        Hold() = default;
        Hold(Hold &&other) noexcept : node_(other.node_) { other.node_ = nullptr; }
        Hold &operator=(Hold &&other) noexcept;
        ~Hold() { release(); }
        explicit operator bool() const { return node_ != nullptr; }
        FolderHandle handle() const { return node_->handle_; }

    private:
        friend class FolderTree;
        explicit Hold(const FolderNode *node) : node_(node) {}
        void release();
        const FolderNode *node_ = nullptr;
    };

    // The folder the program names by `path`, links in the path followed.
    // Null with lastError() set when it cannot be opened. A registered one
    // is found again by `known`, and folders below it are reached from it.
    const FolderNode *top(const std::string &path, bool registered = true);
    // The folder `name` in `parent`. A link there is followed only with
    // `expected`: the attributes of what it was judged to lead to, which
    // the folder opened must then be (else kErrChanged). Null with
    // lastError() set (kErrIsLink: a link stands there).
    const FolderNode *child(const FolderNode &parent, const std::string &name,
                            const FileInfo *expected = nullptr);
    // A registered folder, or one reached from one, at `path`; else null.
    const FolderNode *known(const std::string &path);

    Hold hold(const FolderNode &node);

private:
    const FolderNode *add(FolderNode node, FolderHandle handle, const FileInfo &st, bool registered);
    bool open(const FolderNode &node); // mutex_ held
    // `name` in `parent`, which is opened first and kept open meanwhile.
    FolderHandle openChild(const FolderNode &parent, const std::string &name, bool follow); // mutex_ held
    void keepOpen(const FolderNode &node, FolderHandle handle); // mutex_ held
    void release(const FolderNode &node);

    std::mutex mutex_;
    std::deque<FolderNode> nodes_; // never move
    std::unordered_map<std::string, const FolderNode *> byPath_; // named and found
    std::list<const FolderNode *> open_; // least recently used first
    size_t budget_;
};

} // namespace zip32
