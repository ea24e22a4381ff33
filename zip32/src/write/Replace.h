// Replace: what a new archive replaces under its name, and what it keeps of
// it. An archive replaces the file of its name, keeping its permissions
// (never wider than they were, nor than a new file's), its access ACL and
// its user.* extended attributes, and its owner and group where the process
// may set them. A link of that name is written through, the file it leads to
// replaced in its own folder and the link kept, only where no one else could
// have put it there. Anyone who can write the output folder could plant an
// archive or a link of their own there for the next run to fill with another
// user's data; so:
//   - an earlier archive owned by another user gives its owner, group, ACL
//     and attributes to the new one only when that user cannot write the
//     folder (else the new archive is the process's, as a new file would be);
//   - a link is written through only when it and the file it leads to are
//     the process user's, and neither the link's folder nor that file's can
//     be written by anyone else; otherwise the link itself is replaced, and
//     a note says so.
// An archive with other hard links is replaced by rename all the same: the
// other names keep the earlier file.
#pragma once

#include "platform/Platform.h"

#include <string>

namespace zip32 {

struct Replacement {
    Replacement() = default;
    ~Replacement();
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;
    Replacement(Replacement &&other) noexcept;
    Replacement &operator=(Replacement &&other) noexcept;

    std::string path; // the file the archive is written as
    bool earlierThere = false; // a file is there, which it replaces
    KeptAttributes kept; // what it keeps of it
    std::string note; // a note for a link replaced itself
    int error = 0; // the name is taken by no file (a folder...)

    // Lets go of the file replaced, once what is kept of it has been
    // taken; with `inBackground`, on another thread (closeInBackground).
    void release(bool inBackground = false);
};

// The plan for the archive at `finalPath` (normalised, absolute).
Replacement planReplacement(const std::string &finalPath);

} // namespace zip32
