// TempName: the names of the archive's temporary files. One rule makes them,
// recognises a given archive's leftovers, and keeps any of them out of every
// archive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zip32 {

// The longest file name the engine makes: 255 bytes, the limit of the common
// file systems.
constexpr size_t kMaxFileName = 255;

// The part of the archive's name `archiveName` that its temporary names
// carry: the whole name when "." + name + ".XXXXXXXX.tmp" fits in
// kMaxFileName bytes, else as much of its start as fits, cut between UTF-8
// characters.
std::string temporaryBase(std::string_view archiveName);

// "." + base + "." + the eight lower-case hex digits of `number` + ".tmp".
std::string temporaryName(std::string_view base, uint32_t number);

// True when `name` has the form temporaryName(base, any number).
bool isTemporaryOf(std::string_view name, std::string_view base);

// True for any name of the temporary form, whatever the archive.
bool isTemporaryName(std::string_view name);

} // namespace zip32
