#include "testkit/vm_images.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "diskimage/layout/vdi.h"
#include "diskimage/vdi.h"
#include "testkit/hive_writer.h"

namespace vm_images {

namespace vdi = diskimage::layout::vdi;

std::string DifferencingVdi(const std::string& base, const std::string& after, unsigned char tag) {
  diskimage::VdiHeader header;
  std::vector<std::uint32_t> map;
  std::string error;
  if (!diskimage::ParseVdiHeader(base, base.size(), &header, &error) ||
      !diskimage::ParseVdiBlockMap(std::string_view(base).substr(header.blocksAt), header, base.size(), &map, &error) ||
      after.size() != header.diskSize || std::memcmp(base.data() + vdi::kVersion, "\x01\x00\x01\x00", 4) != 0) {
    return {};
  }
  const std::uint64_t stride = std::uint64_t{header.blockSize} + header.blockExtra;
  std::string child = base.substr(0, header.dataAt);
  hive_writer::PutU32(child, vdi::v1_1::kType, vdi::kDifferencing);
  std::memcpy(child.data() + vdi::v1_1::kParentUuid, header.uuid.data(), vdi::kUuidBytes);
  // The byte before the tag changes too: a parent whose random UUID already
  // ends in the tag (one in 256 of qemu-img's) would otherwise give the
  // child its own UUID, and the child would be found as its own parent.
  child[vdi::v1_1::kUuid + vdi::kUuidBytes - 2] = static_cast<char>(~child[vdi::v1_1::kUuid + vdi::kUuidBytes - 2]);
  child[vdi::v1_1::kUuid + vdi::kUuidBytes - 1] = static_cast<char>(tag);
  std::uint32_t allocated = 0;
  for (std::uint32_t i = 0; i < header.blocks; ++i) {
    std::string was(header.blockSize, '\0');
    if (map[i] != vdi::kBlockFree && map[i] != vdi::kBlockZero) {
      was = base.substr(header.dataAt + map[i] * stride + header.blockExtra, header.blockSize);
    }
    std::string now = after.substr(std::size_t{i} * header.blockSize, header.blockSize);
    now.resize(header.blockSize, '\0');
    std::uint32_t entry = vdi::kBlockFree;
    if (now != was) {
      entry = allocated++;
      child += std::string(header.blockExtra, '\0') + now;
    }
    hive_writer::PutU32(child, header.blocksAt + std::size_t{i} * 4, entry);
  }
  hive_writer::PutU32(child, vdi::v1_1::kBlocks + 4, allocated);  // blocks allocated
  return child;
}

std::string VdiVersion1_0(const std::string& base) {
  diskimage::VdiHeader header;
  std::vector<std::uint32_t> map;
  std::string error;
  if (!diskimage::ParseVdiHeader(base, base.size(), &header, &error) ||
      !diskimage::ParseVdiBlockMap(std::string_view(base).substr(header.blocksAt), header, base.size(), &map, &error) ||
      std::memcmp(base.data() + vdi::kVersion, "\x01\x00\x01\x00", 4) != 0) {
    return {};
  }
  std::string old = base.substr(0, vdi::v1_0::kHeaderEnd);
  std::fill(old.begin() + vdi::kVersion, old.end(), '\0');
  hive_writer::PutU32(old, vdi::kVersion, vdi::kVersion1_0);
  hive_writer::PutU32(old, vdi::v1_0::kType, header.type);
  hive_writer::PutU32(old, vdi::v1_0::kDiskSize, static_cast<std::uint32_t>(header.diskSize));
  hive_writer::PutU32(old, vdi::v1_0::kDiskSize + 4, static_cast<std::uint32_t>(header.diskSize >> 32));
  hive_writer::PutU32(old, vdi::v1_0::kBlockSize, header.blockSize);
  hive_writer::PutU32(old, vdi::v1_0::kBlocks, header.blocks);
  std::memcpy(old.data() + vdi::v1_0::kUuid, header.uuid.data(), vdi::kUuidBytes);
  // The map, then each block the map gives, in the order it gives them.
  std::string blocks;
  std::uint32_t allocated = 0;
  for (std::uint32_t i = 0; i < header.blocks; ++i) {
    std::uint32_t entry = map[i];
    if (entry != vdi::kBlockFree && entry != vdi::kBlockZero) {
      const std::uint64_t stride = std::uint64_t{header.blockSize} + header.blockExtra;
      blocks += base.substr(header.dataAt + entry * stride + header.blockExtra, header.blockSize);
      entry = allocated++;
    }
    old.resize(vdi::v1_0::kHeaderEnd + std::size_t{i} * 4 + 4);
    hive_writer::PutU32(old, vdi::v1_0::kHeaderEnd + std::size_t{i} * 4, entry);
  }
  hive_writer::PutU32(old, vdi::v1_0::kBlocks + 4, allocated);
  return old + blocks;
}

namespace {

// The VHD's fields this writes: of the footer, and of the dynamic disk
// header that follows it. Big-endian, as Virtual PC writes them.
namespace vhd {
constexpr std::size_t kFooterBytes = 512, kHeaderBytes = 1024;
constexpr std::size_t kDataOffset = 16;       // footer: u64, where the dynamic header lies
constexpr std::size_t kDiskType = 60;         // footer: u32
constexpr std::size_t kFooterChecksum = 64;   // footer: u32
constexpr std::size_t kUniqueId = 68;         // footer: 16 bytes
constexpr std::size_t kTableOffset = 16;      // header: u64, where the block table lies
constexpr std::size_t kTableEntries = 28;     // header: u32
constexpr std::size_t kBlockSize = 32;        // header: u32
constexpr std::size_t kHeaderChecksum = 36;   // header: u32
constexpr std::size_t kParentId = 40;         // header: 16 bytes, the parent's footer's unique ID
constexpr std::size_t kParentName = 64;       // header: 512 bytes, UTF-16BE
constexpr std::size_t kLocators = 576;        // header: 8 entries of 24 bytes
constexpr std::uint32_t kDynamic = 3, kDifferencing = 4;
}  // namespace vhd

std::uint64_t GetBE(const std::string& bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

void PutBE(std::string& bytes, std::size_t at, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i, value >>= 8) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
}

// Virtual PC's checksum: the ones' complement of the sum of the bytes,
// its own field taken as zero.
void Checksum(std::string& block, std::size_t field) {
  PutBE(block, field, 0, 4);
  std::uint32_t sum = 0;
  for (char c : block) sum += static_cast<unsigned char>(c);
  PutBE(block, field, ~sum, 4);
}

}  // namespace

std::string DifferencingVhd(const std::string& base, const std::string& before, const std::string& after,
                            const std::string& parentName, unsigned char tag, bool changedOnly,
                            const std::string& locator) {
  if (base.size() < vhd::kFooterBytes + vhd::kHeaderBytes || before.size() != after.size()) return {};
  std::string footer = base.substr(base.size() - vhd::kFooterBytes);
  std::uint64_t headerAt = GetBE(footer, vhd::kDataOffset, 8);
  if (GetBE(footer, vhd::kDiskType, 4) != vhd::kDynamic || headerAt + vhd::kHeaderBytes > base.size()) return {};
  std::string header = base.substr(static_cast<std::size_t>(headerAt), vhd::kHeaderBytes);
  const auto entries = static_cast<std::uint32_t>(GetBE(header, vhd::kTableEntries, 4));
  const auto blockBytes = static_cast<std::size_t>(GetBE(header, vhd::kBlockSize, 4));
  if (blockBytes == 0 || std::uint64_t{entries} * blockBytes < after.size()) return {};

  std::memcpy(header.data() + vhd::kParentId, footer.data() + vhd::kUniqueId, 16);
  std::fill(header.begin() + vhd::kParentName, header.begin() + vhd::kLocators + 8 * 24, '\0');
  for (std::size_t i = 0; i < parentName.size() && i < 255; ++i) header[vhd::kParentName + 2 * i + 1] = parentName[i];
  PutBE(footer, vhd::kDiskType, vhd::kDifferencing, 4);
  footer[vhd::kUniqueId + 14] = static_cast<char>(~footer[vhd::kUniqueId + 14]);  // as DifferencingVdi's UUID
  footer[vhd::kUniqueId + 15] = static_cast<char>(tag);
  PutBE(footer, vhd::kDataOffset, vhd::kFooterBytes, 8);
  const std::size_t tableAt = vhd::kFooterBytes + vhd::kHeaderBytes;
  PutBE(header, vhd::kTableOffset, tableAt, 8);
  Checksum(header, vhd::kHeaderChecksum);
  Checksum(footer, vhd::kFooterChecksum);

  std::string table(static_cast<std::size_t>(entries) * 4, '\xFF');  // each 0xFFFFFFFF: not in this file
  table.resize((table.size() + 511) / 512 * 512, '\xFF');
  if (!locator.empty()) {
    // The locator's path, UTF-16LE, in a sector of its own after the table.
    std::string path(512, '\0');
    for (std::size_t i = 0; i < locator.size() && i < 256; ++i) path[2 * i] = locator[i];
    std::fill(header.begin() + vhd::kParentName, header.begin() + vhd::kParentName + 512, '\0');
    PutBE(header, vhd::kLocators, 0x57327275, 4);                 // "W2ru"
    PutBE(header, vhd::kLocators + 4, 1, 4);                      // its space: one sector
    PutBE(header, vhd::kLocators + 8, 2 * locator.size(), 4);     // its bytes
    PutBE(header, vhd::kLocators + 16, tableAt + table.size(), 8);
    Checksum(header, vhd::kHeaderChecksum);
    table += path;
  }
  std::string blocks;
  const std::size_t bitmapBytes = (blockBytes / 512 / 8 + 511) / 512 * 512;
  std::uint64_t next = (tableAt + table.size()) / 512;  // in sectors
  for (std::uint32_t i = 0; i < entries && std::size_t{i} * blockBytes < after.size(); ++i) {
    std::size_t at = std::size_t{i} * blockBytes, length = std::min(blockBytes, after.size() - at);
    if (before.compare(at, length, after, at, length) == 0) continue;
    PutBE(table, std::size_t{i} * 4, next, 4);
    std::string data = after.substr(at, length);
    data.resize(blockBytes, '\0');
    std::string bitmap(bitmapBytes, '\xFF');
    if (changedOnly) {
      std::fill(bitmap.begin(), bitmap.end(), '\0');
      for (std::size_t s = 0; s * 512 < length; ++s) {
        if (before.compare(at + s * 512, 512, after, at + s * 512, 512) != 0) {
          bitmap[s / 8] = static_cast<char>(bitmap[s / 8] | 0x80 >> (s % 8));
        } else {
          std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(s * 512), 512, 'G');
        }
      }
    }
    blocks += bitmap + data;
    next += (bitmapBytes + blockBytes) / 512;
  }
  return footer + header + table + blocks + footer;
}

std::vector<std::string> WriteChanges(const std::string& before, const std::string& after, const std::string& folder) {
  constexpr std::size_t kPiece = 64 * 1024;
  std::vector<std::string> commands;
  if (before.size() != after.size()) return commands;
  for (std::size_t at = 0; at < after.size(); at += kPiece) {
    std::size_t length = std::min(kPiece, after.size() - at);
    if (before.compare(at, length, after, at, length) == 0) continue;
    std::string piece = folder + "/piece" + std::to_string(at);
    std::ofstream(piece, std::ios::binary).write(after.data() + at, static_cast<std::streamsize>(length));
    commands.insert(commands.end(), {"-c", "write -q -s " + piece + " " + std::to_string(at) + " " + std::to_string(length)});
  }
  return commands;
}

}  // namespace vm_images
