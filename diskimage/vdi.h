// VirtualBox's VDI images, read with a reader of our own: no library in
// Debian reads them. What is parsed of outside bytes (the header and the
// block map) is here, plain code the image module and a fuzz target share;
// the module's disk over it is vdi_disk.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace diskimage {

using Uuid = std::array<unsigned char, 16>;

// A UUID as VirtualBox writes it in a .vbox: the first three fields in
// the GUID's (little-endian) byte order, lower case, with hyphens.
std::string UuidText(const Uuid& uuid);

struct VdiHeader {
  std::uint32_t type = 0;  // layout::vdi::kDynamic, ...
  std::uint64_t blocksAt = 0;
  std::uint64_t dataAt = 0;
  std::uint64_t diskSize = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t blockExtra = 0;
  std::uint32_t blocks = 0;  // as the header claims them
  std::uint32_t used = 0;    // those the disk's size needs: all of the map that is read
  Uuid uuid = {};
  Uuid parent = {};  // all zero but in a differencing image
  bool differencing() const;
};

// The header in an image's first bytes (layout::vdi::kHeaderBytes of them,
// or all the file has), checked against the file's size: every field that
// could make a read cost more than the file, or land outside it, is
// refused. False with error saying what is wrong.
bool ParseVdiHeader(std::string_view head, std::uint64_t fileSize, VdiHeader* header, std::string* error);

// The block map's bytes, checked: each allocated block lies whole within
// the file. False with error naming the first that does not.
bool ParseVdiBlockMap(std::string_view bytes, const VdiHeader& header, std::uint64_t fileSize,
                      std::vector<std::uint32_t>* map, std::string* error);

}  // namespace diskimage
