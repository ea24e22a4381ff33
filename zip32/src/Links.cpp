#include "Links.h"

#include "Platform.h"

#include <algorithm>

namespace zip32 {

// realpath, but for a folder below one resolved already: that folder's
// resolution and the names down from it, each looked at once to be sure it
// is a folder and no link. The program names a tree's folders in any order,
// each once: one look per folder instead of one per part of every path.
bool LinkRule::resolveFolder(const std::string &path, std::string &resolved)
{
    std::vector<std::string> below;   // the names from `above` down, last first
    std::string above = path;
    auto known = resolvedFolders_.find(above);
    while (known == resolvedFolders_.end()) {
        std::string parent, last;
        splitPath(above, parent, last);
        if (parent == above || last.empty() || last == "." || last == "..")
            break;
        below.push_back(std::move(last));
        above = std::move(parent);
        known = resolvedFolders_.find(above);
    }
    if (known != resolvedFolders_.end()) {
        std::string named = above, into = known->second;
        for (auto name = below.rbegin(); name != below.rend(); ++name) {
            named = joinPath(named, *name);
            FileInfo st;
            if (!statPath(named, false, st) || !S_ISDIR(st.mode))
                break;   // a link, or gone: the system says where it leads
            into = joinPath(into, *name);
            resolvedFolders_.emplace(named, into);
        }
        if (named == path && resolvedFolders_.count(path)) {
            resolved = std::move(into);
            return true;
        }
    }
    if (!resolvedPath(path, resolved))
        return false;
    resolvedFolders_.emplace(path, resolved);
    return true;
}

void LinkRule::addFolder(const std::string &path)
{
    std::string resolved;
    if (!resolveFolder(path, resolved))
        return;
    // Only the outermost folders are kept: what lies within a folder that
    // lies in another lies in that one too, and what holds the inner one
    // either lies in the outer one or holds it. The program names a folder
    // and each of its sub-folders: one folder is kept.
    for (const std::string &folder : folders_)
        if (isWithin(resolved, folder))
            return;
    folders_.erase(std::remove_if(folders_.begin(), folders_.end(),
                                  [&](const std::string &folder) { return isWithin(folder, resolved); }),
                   folders_.end());
    folders_.push_back(std::move(resolved));
}

// Why a link to `resolved` is not followed, or null when it is.
const char *LinkRule::refusal(const std::string &resolved) const
{
    for (const std::string &folder : folders_)
        if (isWithin(resolved, folder))
            return nullptr;
    if (!followOut_)
        return "it leads out of the folder";
    // Asked to follow links out: still not to what holds an archive folder
    // (the root among them), which would take in the folder again and all
    // around it, nor into what the kernel makes up.
    for (const std::string &folder : folders_)
        if (isWithin(folder, resolved))
            return "it leads to a folder that holds the folder";
    if (isPseudoFileSystem(resolved))
        return "it leads into a system file system";
    return nullptr;
}

bool LinkRule::judge(const std::string &path, LinkVerdict &verdict) const
{
    verdict = LinkVerdict{};
    std::string resolved;
    const bool found = resolvedPath(path, resolved);
    if (found) {
        verdict.why = refusal(resolved);
        verdict.follow = verdict.why == nullptr;
        if (verdict.follow)
            return true;
    } else {
        const int error = lastError();
        verdict.why = isNotFound(error) || error == kErrNotDir ? "its target is missing"
                                                               : "its target cannot be resolved";
    }
    if (readLink(path, verdict.target))
        return true;
    // A link whose text cannot be read (a kind of reparse point this reader
    // does not know) is still told by where it leads.
    verdict.target = resolved;
    return found;
}

} // namespace zip32
