#include "write/FolderSyncs.h"

#include <atomic>

namespace zip32 {

namespace {

// The folder held, and which folder it is: a path may name another folder
// by the time the next archive goes there, so folders are told apart by
// device and inode. The identity is touched only on the program's thread.
std::atomic<FolderHandle> g_held{kNoFile};
uint64_t g_heldDev = 0, g_heldIno = 0;

} // namespace

void flushHeldFolder()
{
    const FolderHandle held = g_held.exchange(kNoFile);
    if (held != kNoFile) {
        syncFolder(held);
        closeFolder(held);
    }
}

void folderRenamed(FolderHandle dir, bool hold)
{
    FileInfo st;
    if (!hold || !fileInfo(dir, st)) {
        syncFolder(dir);
        return;
    }
    if (g_held.load() != kNoFile && st.dev == g_heldDev && st.ino == g_heldIno)
        return; // the flush to come covers this name too
    const FolderHandle copy = copyOfFolder(dir);
    if (copy == kNoFile) {
        syncFolder(dir);
        return;
    }
    flushHeldFolder();
    g_heldDev = st.dev;
    g_heldIno = st.ino;
    g_held.store(copy);
}

} // namespace zip32
