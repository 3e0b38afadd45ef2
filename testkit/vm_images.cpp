#include "testkit/vm_images.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "diskimage/layout.h"
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
