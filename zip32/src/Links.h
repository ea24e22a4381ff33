// Links: which symbolic links met in a folder's listing are followed. The
// archive's folders are those the list of names names; a link that stays
// within them is followed as ever, one that leads out of them (or nowhere)
// is not, so that a link to a private file elsewhere never brings that
// file's contents into an archive meant to be shared.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

namespace zip32 {

struct LinkVerdict {
    bool follow = false;
    std::string target;   // not followed: the text the link holds
    const char *why = ""; // not followed: the reason, for the message
};

class LinkRule {
public:
    // followOut: links that lead out of the archive's folders are followed
    // too, except to a folder holding one of them, the root, or a pseudo
    // file system.
    explicit LinkRule(bool followOut) : followOut_(followOut) {}

    // A folder of the archive, resolved here (realpath) once; one that
    // cannot be resolved is passed over.
    void addFolder(const std::string &path);

    // The verdict on the link at `path`; false when the link itself has gone
    // since it was listed (lastError() says why).
    bool judge(const std::string &path, LinkVerdict &verdict) const;

private:
    const char *refusal(const std::string &resolved) const;
    bool resolveFolder(const std::string &path, std::string &resolved);

    bool followOut_;
    std::vector<std::string> folders_;
    // Every folder added, as named and resolved: a tree names each of its
    // folders after the folder holding it.
    std::unordered_map<std::string, std::string> resolvedFolders_;
};

} // namespace zip32
