// VMware's VMDK images, read with a reader of our own (vmdk_disk.cpp):
// libvmdk 20200926 applies a flat extent's offset in bytes where VMware
// and QEMU count sectors, and overflows a buffer joining an extent name
// that holds a folder, while the layout is public and small (VMware's
// Virtual Disk Format). What is parsed of outside bytes is here, plain
// code a fuzz target shares.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace diskimage {

// A line of a descriptor's extent section: RW 2048 SPARSE "disk-s001.vmdk".
struct VmdkExtent {
  enum class Kind { kSparse, kFlat, kZero };
  Kind kind = Kind::kFlat;
  std::uint64_t sectors = 0;
  std::string file;          // as written; empty for a ZERO extent
  std::uint64_t offset = 0;  // a flat extent's first sector in its file
};

struct VmdkDescriptor {
  std::uint32_t cid = 0;
  std::uint32_t parentCid = 0xFFFFFFFF;  // none: the link is a base
  std::string createType;
  std::string parentHint;  // parentFileNameHint, as written
  std::vector<VmdkExtent> extents;
  bool HasParent() const { return parentCid != 0xFFFFFFFF; }
};

// A descriptor's text. False with error saying which line is wrong, or
// what is missing (no extent, an extent of a kind not read, a delta with
// no parent named).
bool ParseVmdkDescriptor(std::string_view text, VmdkDescriptor* out, std::string* error);

// A hosted sparse extent's header, as read (a stream-optimized one's from
// its footer).
struct VmdkSparseHeader {
  std::uint32_t version = 0;
  std::uint32_t flags = 0;
  std::uint64_t capacity = 0;      // sectors
  std::uint64_t grainSectors = 0;
  std::uint64_t descriptorAt = 0;  // sectors
  std::uint64_t descriptorSectors = 0;
  std::uint32_t tableEntries = 0;
  std::uint64_t directoryAt = 0;  // sectors
  bool compressed = false;
  bool zeroGrains = false;
  std::uint64_t directoryEntries = 0;  // those the capacity needs
  bool footerAtEnd() const;
};

// The header's 512 bytes, checked against the file's size: a known
// version, a grain a power of two, the directory within the file and no
// larger than maxDirectoryBytes for what the capacity needs. False with
// error.
bool ParseVmdkSparseHeader(std::string_view bytes, std::uint64_t fileSize, std::uint64_t maxDirectoryBytes,
                           VmdkSparseHeader* out, std::string* error);

// A grain table entry as a place in the file: 0 none (the parent's, or
// zeros), or the sector. isZero where the entry marks a grain of zeros.
struct VmdkGrain {
  std::uint64_t sector = 0;
  bool zero = false;
};
VmdkGrain DecodeGrainEntry(std::uint32_t entry, const VmdkSparseHeader& header);

}  // namespace diskimage
