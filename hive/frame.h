// A hive's frame: the header, the key area and the list of blocks, checked
// when the hive is opened. What the lazy reader and the recovery of free
// records both stand on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes/bytes.h"
#include "hive/hive.h"

namespace hive {

struct BlockSpan {
  std::uint64_t at;  // file offset
  std::uint32_t size;
  std::uint16_t number;
};

struct Frame {
  std::uint64_t fileSize = 0;
  std::uint32_t keyAreaSize = 0;
  std::uint32_t rootEntry = 0;  // relative to the RGKN record
  std::vector<BlockSpan> blocks;  // in file order: those that lie whole before a cut
  // A file cut short inside its block list: what is lost, named once
  // ("FILE: offset 0x..: cut short: ..."); empty for a whole file.
  std::string cut;

  bool Has(std::uint64_t offset, std::uint64_t length) const { return bytes::InRange(offset, length, fileSize); }
  // Whether a whole key entry lies at entry, inside the key area.
  bool ValidEntry(std::uint64_t entry) const;
};

// Reads and checks the frame. False with error "FILE: offset 0x..: what"
// for a header or key area that cannot be read; a block list cut by the
// file's end is no refusal: the blocks before the cut are read, and cut
// says what was lost.
bool ReadFrame(HiveBytes& bytes, const std::string& file, Frame* out, std::string* error);

// "FILE: offset 0x..: what", as every refusal of a hive reads.
std::string Refusal(const std::string& file, std::uint64_t offset, const std::string& what);
using bytes::Hex;

}  // namespace hive
