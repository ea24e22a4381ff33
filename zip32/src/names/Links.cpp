#include "names/Links.h"

#include <algorithm>

namespace zip32 {

void LinkRule::addFolder(std::string resolved)
{
    // Only the outermost folders are kept: what lies within a folder that
    // lies in another lies in that one too, and what holds the inner one
    // either lies in the outer one or holds it.
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

bool LinkRule::judge(FolderHandle folder, const std::string &name, const std::string &path,
                     LinkVerdict &verdict) const
{
    verdict = LinkVerdict{};
    std::string resolved;
    const bool found = resolveIn(folder, name, path, resolved, verdict.reached);
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
    if (readLinkIn(folder, name, verdict.target))
        return true;
    // A link whose text cannot be read (a kind of reparse point this reader
    // does not know) is still told by where it leads.
    verdict.target = resolved;
    return found;
}

} // namespace zip32
