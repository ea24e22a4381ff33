// FolderSyncs: when the new name of an archive is made to last. After each
// rename the archive's folder is flushed, so that the name lasts as well as
// the data it names (which was flushed before the rename). A run of archives
// into one folder may instead hold that flush (the options' field 24): the
// folder is then flushed once, after the last of them, rather than once for
// each. A held folder is flushed before an archive goes to another folder,
// when the program asks (ZpSetOptions without field 24 set to 1), when an
// archive fails or is stopped, and when the process exits. Only one folder
// is held at a time.
#pragma once

#include "platform/Platform.h"

namespace zip32 {

// An archive took its name in the folder held as `dir`: the folder is
// flushed now, or with `hold` kept to be flushed later.
void folderRenamed(FolderHandle dir, bool hold);
// Flushes the held folder, if there is one, and lets go of it. Safe from an
// exit handler on any thread: it neither locks nor allocates.
void flushHeldFolder();

} // namespace zip32
