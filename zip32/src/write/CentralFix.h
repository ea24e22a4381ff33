// Mending the central directory libzip writes for an entry that sits exactly
// on the 32-bit limit.
//
// libzip 1.7.3 marks a size or offset of exactly 0xFFFFFFFF as "in the ZIP64
// field" in a central record but leaves the value out of that field, so Python's
// zipfile and bsdtar reject the whole archive ("File size not found"). After
// libzip has written the archive, this pass finds such records and writes the
// missing values into their ZIP64 field; the local headers are already right
// and stay as they are.
#pragma once

#include "platform/Platform.h"

#include <string>

namespace zip32 {

// Reads the archive in `fd` (open for reading and writing, fully written),
// mends the records described above and rewrites the directory and its end
// records. Returns false with `error` set when the file cannot be read or
// written; an archive that needs nothing is left untouched.
bool mendCentralDirectory(FileHandle fd, std::string &error);

} // namespace zip32
