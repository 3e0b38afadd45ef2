// What is parsed of disk images without their library, on arbitrary bytes:
// MSDOS.SYS, the source syntax that selects a part of an image, the first
// and last sectors that say what an image is, and DOS drive letters.
#include <cstdint>
#include <string>

#include "diskimage/ewf.h"
#include "diskimage/formats.h"
#include "diskimage/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto windows = diskimage::ParseMsdosSys(bytes)) {
    if (windows->drive < 'A' || windows->drive > 'Z' || windows->path.empty()) __builtin_trap();
  }
  diskimage::ImageSelector selector;
  std::string error;
  if (diskimage::ParseImageSelector(bytes, &selector, &error)) {
    if (selector.image.size() > size) __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }
  // A directory's raw entries: whatever it finds was in them.
  if (auto claimed = diskimage::FatEntrySize(bytes, "SYSTEM.DAT")) {
    if (bytes.find("SYSTEM  DAT") == std::string_view::npos && bytes.find("system  dat") == std::string_view::npos &&
        size < 32) {
      __builtin_trap();
    }
  }
  // The input as a disk: whatever table it holds, the chain is followed no
  // further than its bound, and every partition has a number of its own.
  diskimage::PartitionTable table = diskimage::ReadPartitionTable([&](std::uint64_t sector, std::string* out) {
    if (sector >= size / 512) return false;
    out->assign(bytes.substr(static_cast<std::size_t>(sector) * 512, 512));
    return true;
  });
  int logical = 0;
  for (std::size_t i = 0; i < table.partitions.size(); ++i) {
    logical += table.partitions[i].logical ? 1 : 0;
    if (i > 0 && table.partitions[i].number <= table.partitions[i - 1].number) __builtin_trap();
  }
  if (logical > diskimage::kMaxLogicalPartitions) __builtin_trap();
  // The input as an EWF segment file: its sections are followed forward only.
  diskimage::ReadEwfSegment([&](std::uint64_t offset, std::size_t length, std::string* out) {
    if (offset > size || length > size - offset) return false;
    out->assign(bytes.substr(static_cast<std::size_t>(offset), length));
    return true;
  });
  if (size >= 2) {
    std::string name = diskimage::EwfSegmentName(bytes.substr(2), data[0] | data[1] << 8);
    if (!name.empty() && name.size() != size - 2) __builtin_trap();
  }
  diskimage::DetectSource(bytes.substr(0, 512), bytes.size() > 512 ? bytes.substr(bytes.size() - 512) : bytes);
  std::vector<diskimage::FatVolume> volumes;
  for (std::size_t i = 0; i < size && i < 40; ++i) volumes.push_back({static_cast<int>(i), (data[i] & 1) != 0});
  std::vector<char> letters = diskimage::DriveLetters(volumes);
  for (std::size_t i = 0; i + 1 < letters.size(); ++i) {
    for (std::size_t j = i + 1; j < letters.size(); ++j) {
      if (letters[i] != 0 && letters[i] == letters[j]) __builtin_trap();
    }
  }
  return 0;
}
