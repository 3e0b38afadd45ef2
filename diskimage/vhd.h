// Virtual PC's VHD images (fixed, dynamic and differencing), read with a
// reader of our own (vhd_disk.cpp): libvhdi 20210425 reads a dynamic VHD
// one 512-byte sector per read of the file, some 2,800 reads for the
// shared 1.2 MB hive, twice the raw disk's time, while the layout is
// public and small (Microsoft's published VHD image format). VHDX stays
// with libvhdi. What is parsed of outside bytes is here, plain code a fuzz
// target shares.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace diskimage {

struct VhdFooter {
  std::uint32_t type = 0;  // layout::vhd::kFixed, ...
  std::uint64_t diskSize = 0;
  std::uint64_t headerAt = 0;  // dynamic and differencing
  std::array<unsigned char, 16> id = {};
  std::uint32_t checksum = 0;  // as stored
  std::uint32_t summed = 0;    // as its bytes sum: another value is damage to them
};

// Where a differencing disk's parent's path lies, as one platform writes it.
struct VhdLocator {
  std::uint32_t code = 0;  // layout::vhd::locator::kWindowsRelative, ...
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
};

struct VhdHeader {
  std::uint64_t tableAt = 0;
  std::uint32_t entries = 0;  // as the header claims them
  std::uint32_t used = 0;     // those the disk's size needs: all that is read
  std::uint32_t blockSize = 0;
  std::uint32_t checksum = 0;  // as stored, and as its bytes sum
  std::uint32_t summed = 0;
  std::array<unsigned char, 16> parentId = {};
  std::string parentName;  // UTF-8; empty but in a differencing disk
  std::vector<VhdLocator> locators;  // the Windows ones, each within the file
};

// Whether a differencing disk's block holds sector (of the block) itself,
// as the block's sector bitmap says: bit 7 of its first byte is sector 0.
// Beyond the bitmap, none is the block's own.
bool VhdSectorIsOwn(std::string_view bitmap, std::uint64_t sector);

// A VHD footer's or header's checksum: the one's complement of the sum of
// its bytes, the checksum's own four left out.
std::uint32_t VhdChecksum(std::string_view bytes, std::size_t checksumAt);

// The footer: the file's last 512 bytes (or its first, which a dynamic
// disk copies there). False with error saying what is wrong.
bool ParseVhdFooter(std::string_view bytes, std::uint64_t fileSize, VhdFooter* footer, std::string* error);

// The dynamic header at footer.headerAt, checked against the file's
// size: the block table lies in the file and covers the disk, a block is
// a power of two up to 256 MiB. False with error.
bool ParseVhdHeader(std::string_view bytes, const VhdFooter& footer, std::uint64_t fileSize, VhdHeader* header,
                    std::string* error);

// UTF-16 text (big- or little-endian) as UTF-8, up to its first NUL; an
// unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);

}  // namespace diskimage
