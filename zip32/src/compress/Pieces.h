// Pieces: how the workers cut a file. A file of up to kWholeMax bytes is
// read and compressed whole; a larger one in pieces of kChunk bytes. The
// pipeline cuts by these, and the earlier archive's entries are judged by
// them (a fingerprint records them, see Reuse.cpp), so both read them here.
#pragma once

#include <cstdint>

namespace zip32 {

constexpr uint64_t kWholeMax = 8u << 20;
constexpr uint64_t kChunk = 2u << 20;

} // namespace zip32
