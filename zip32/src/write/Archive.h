// Archive: one call of ZpArchive, from the list of names to the finished file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zip32 {

class Messenger;

struct ArchiveRequest {
    std::string archivePath; // as given by the program
    std::vector<std::string> names;
    std::vector<std::string> leaveOut; // files never stored, as given
    std::string root; // as given; empty = current directory
    bool recurse = false;
    bool ignorePath = false;
    bool includeHidden = false;
    bool update = false;
    bool followLinks = false;
    bool holdFolderSync = false; // see FolderSyncs.h
    int level = 6; // 1..9
    unsigned workers = 1;
};

// Returns one of the ZP_ result codes.
int32_t makeArchive(const ArchiveRequest &request, Messenger &messages);

// How many files of the latest archive written had their data copied from
// the archive it replaced (see Reuse.h); for the tests.
size_t copiedInLastArchive();

} // namespace zip32
