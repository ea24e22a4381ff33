// A folder's names that pass a caller's test, through the listing every
// system gives (FolderReader).
#include "platform/Platform.h"

namespace zip32 {

bool namesMatching(FolderHandle dir, NameTest wanted, std::vector<std::string> &out)
{
    FolderReader folder;
    std::vector<std::string> names;
    out.clear();
    if (!folder.open(dir))
        return false;
    folder.names(true, names); // what could be listed
    for (std::string &name : names)
        if (wanted(name))
            out.push_back(std::move(name));
    return true;
}

} // namespace zip32
