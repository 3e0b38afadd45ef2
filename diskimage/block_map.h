// The rule VHD's block table and VDI's block map share: entries past the
// disk's end are never asked for, so a claim of more costs nothing, and
// what the disk's size needs is held within a bound.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace diskimage {

// The entries of 4 bytes each that a disk of diskSize bytes in blocks of
// blockSize needs, of the claimed ones: false with error where they would
// take more than maxBytes. name says the table ("its VHD block table").
inline bool EntriesNeeded(std::string_view name, std::uint32_t claimed, std::uint64_t diskSize, std::uint32_t blockSize,
                          std::uint64_t maxBytes, std::uint32_t* used, std::string* error) {
  std::uint64_t needed = diskSize / blockSize + (diskSize % blockSize != 0 ? 1 : 0);
  *used = static_cast<std::uint32_t>(std::min<std::uint64_t>(claimed, needed));
  if (std::uint64_t{*used} * 4 <= maxBytes) return true;
  *error = std::string(name) + " needs " + std::to_string(std::uint64_t{*used} * 4) + " bytes for a disk of " +
           std::to_string(diskSize) + " bytes in blocks of " + std::to_string(blockSize) + " (at most " +
           std::to_string(maxBytes) + " are read)";
  return false;
}

}  // namespace diskimage
