#include "write/Replace.h"

#include "compress/Threads.h"
#include "names/Names.h"

#include <utility>

namespace zip32 {

Replacement::~Replacement() { release(); }

void Replacement::release(bool inBackground)
{
    if (kept.from != kNoFile && inBackground)
        closeInBackground(kept.from);
    else if (kept.from != kNoFile)
        closeFile(kept.from);
    kept.from = kNoFile;
}

Replacement::Replacement(Replacement &&other) noexcept { *this = std::move(other); }

Replacement &Replacement::operator=(Replacement &&other) noexcept
{
    if (this != &other) {
        release();
        path = std::move(other.path);
        earlierThere = other.earlierThere;
        kept = other.kept;
        note = std::move(other.note);
        error = other.error;
        other.kept.from = kNoFile;
    }
    return *this;
}

namespace {

std::string folderOf(const std::string &path)
{
    std::string dir, last;
    splitPath(path, dir, last);
    return dir;
}

// What the new archive keeps of the regular file `path` it replaces. The
// file is opened once, and everything is decided from what that open found:
// a file put in its place meanwhile passes on nothing of its own.
void keepOf(Replacement &plan, const std::string &path)
{
    FileInfo st;
    plan.kept.from = openForReading(path, false);
    if (!(plan.kept.from != kNoFile ? fileInfo(plan.kept.from, st) : statPath(path, false, st))
        || !S_ISREG(st.mode)) {
        plan.earlierThere = false;
        return;
    }
    const uint32_t me = processUser();
    plan.kept.mode = st.mode & 0666;
    if (st.uid == me) {
        plan.kept.group = true;
        plan.kept.gid = st.gid;
    } else if (!userMayWrite(st.uid, folderOf(path))) {
        plan.kept.owner = true;
        plan.kept.uid = st.uid;
        plan.kept.gid = st.gid;
    } else if (plan.kept.from != kNoFile) {
        // Its owner could have planted it: nothing of theirs is passed on.
        closeFile(plan.kept.from);
        plan.kept.from = kNoFile;
    }
}

// Why the link at `link`, holding `text`, is not written through, or null
// when it is; `target` is then the file it leads to.
const char *refusal(const std::string &link, const std::string &text, std::string &target)
{
    FileInfo st;
    const uint32_t me = processUser();
    if (!statPath(link, false, st) || st.uid != me)
        return "the link belongs to another user";
    if (othersMayWrite(folderOf(link)))
        return "other users can write the folder holding it";
    // The folder the link's text names, as the system finds it, and the
    // name in it: one link followed, no more.
    const std::string named = resolvePath(folderOf(link), text);
    std::string dir, last, resolved;
    splitPath(named, dir, last);
    const FolderHandle folder = openFolder(dir);
    const bool found = folder != kNoFile && resolvedFolder(folder, dir, resolved);
    closeFolder(folder);
    if (!found || last.empty())
        return "where it leads cannot be resolved";
    target = joinPath(resolved, last);
    if (!statPath(target, false, st) || !S_ISREG(st.mode) || st.uid != me)
        return "what it leads to is not a file of the same user";
    if (othersMayWrite(resolved))
        return "other users can write the folder it leads into";
    return nullptr;
}

} // namespace

Replacement planReplacement(const std::string &finalPath)
{
    Replacement plan;
    plan.path = finalPath;
    FileInfo st;
    if (!statPath(finalPath, false, st))
        return plan; // nothing there: a new file
    if (S_ISLNK(st.mode)) {
        std::string dir, name, text, target;
        splitPath(finalPath, dir, name);
        const FolderHandle folder = openFolder(dir);
        const bool read = folder != kNoFile && readLinkIn(folder, name, text);
        closeFolder(folder);
        const char *why = read ? refusal(finalPath, text, target) : "it cannot be read";
        if (why) {
            plan.note = finalPath + ": replaced the link to " + text + " itself, not the file it leads to ("
                        + why + ")";
            return plan;
        }
        plan.path = target;
    } else if (!S_ISREG(st.mode)) {
        plan.error = S_ISDIR(st.mode) ? kErrIsDir : kErrExists;
        return plan;
    }
    plan.earlierThere = true;
    keepOf(plan, plan.path);
    return plan;
}

} // namespace zip32
