// Links: which symbolic links met in a folder's listing are followed. The
// archive's folders are those the list of names names; a link that stays
// within them is followed as ever, one that leads out of them (or nowhere)
// is not, so that a link to a private file elsewhere never brings that
// file's contents into an archive meant to be shared.
#pragma once

#include "platform/Platform.h"

#include <string>
#include <vector>

namespace zip32 {

struct LinkVerdict {
    bool follow = false;
    std::string target; // not followed: the text the link holds
    const char *why = ""; // not followed: the reason, for the message
    FileInfo reached; // followed: what it leads to, as it was judged
};

class LinkRule {
public:
    // followOut: links that lead out of the archive's folders are followed
    // too, except to a folder holding one of them, the root, or a pseudo
    // file system.
    explicit LinkRule(bool followOut) : followOut_(followOut) {}

    // A folder of the archive, by its resolved path.
    void addFolder(std::string resolved);

    // The verdict on the link `name` in `folder` (at `path`); false when
    // the link itself has gone since it was listed (lastError() says why).
    // What a followed link leads to is judged and looked at in one step:
    // the file then opened through the link must be that one.
    bool judge(FolderHandle folder, const std::string &name, const std::string &path,
               LinkVerdict &verdict) const;

private:
    const char *refusal(const std::string &resolved) const;

    bool followOut_;
    std::vector<std::string> folders_;
};

} // namespace zip32
