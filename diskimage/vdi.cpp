#include "diskimage/vdi.h"

#include <algorithm>

#include "bytes/bytes.h"
#include "diskimage/block_map.h"
#include "diskimage/layout/vdi.h"

namespace diskimage {

namespace vdi = layout::vdi;
using bytes::LittleEndian;

std::string UuidText(const Uuid& u) {
  // Data1 (4 bytes), Data2 and Data3 (2 each) little-endian; the rest as stored.
  constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    unsigned char b = u[static_cast<std::size_t>(kOrder[i])];
    text += kHex[b >> 4];
    text += kHex[b & 0xF];
  }
  return text;
}

bool VdiHeader::differencing() const { return parent != Uuid{}; }

namespace {

Uuid UuidAt(const LittleEndian& h, std::size_t at) {
  Uuid uuid{};
  std::string_view bytes = h.Span(at, vdi::kUuidBytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) uuid[i] = static_cast<unsigned char>(bytes[i]);
  return uuid;
}

bool Refuse(std::string* error, std::string what) {
  *error = std::move(what);
  return false;
}

}  // namespace

bool ParseVdiHeader(std::string_view head, std::uint64_t fileSize, VdiHeader* out, std::string* error) {
  LittleEndian h(head);
  VdiHeader header;
  std::uint32_t version = h.U32(vdi::kVersion);
  if (version == vdi::kVersion1_1) {
    namespace v = vdi::v1_1;
    header.type = h.U32(v::kType);
    header.blocksAt = h.U32(v::kBlocksAt);
    header.dataAt = h.U32(v::kDataAt);
    header.diskSize = h.U64(v::kDiskSize);
    header.blockSize = h.U32(v::kBlockSize);
    header.blockExtra = h.U32(v::kBlockExtra);
    header.blocks = h.U32(v::kBlocks);
    header.uuid = UuidAt(h, v::kUuid);
    header.parent = UuidAt(h, v::kParentUuid);
  } else if (version == vdi::kVersion1_0) {
    namespace v = vdi::v1_0;
    header.type = h.U32(v::kType);
    header.diskSize = h.U64(v::kDiskSize);
    header.blockSize = h.U32(v::kBlockSize);
    header.blocks = h.U32(v::kBlocks);
    header.uuid = UuidAt(h, v::kUuid);
    header.parent = UuidAt(h, v::kParentUuid);
    header.blocksAt = v::kHeaderEnd;
    header.dataAt = header.blocksAt + std::uint64_t{header.blocks} * 4;
  } else {
    return Refuse(error, "VDI header version " + std::to_string(version >> 16) + "." +
                             std::to_string(version & 0xFFFF) + ", which is none VirtualBox wrote (1.0 or 1.1)");
  }
  if (!h.complete()) return Refuse(error, "the VDI header is cut short");
  if (header.type < vdi::kDynamic || header.type > vdi::kDifferencing) {
    return Refuse(error, "unknown VDI image type " + std::to_string(header.type));
  }
  // A block is a power of two VirtualBox can write: 512 bytes to 256 MiB.
  if (header.blockSize < 512 || header.blockSize > (1u << 28) || (header.blockSize & (header.blockSize - 1)) != 0) {
    return Refuse(error, "VDI block size " + std::to_string(header.blockSize) + " is none VirtualBox writes");
  }
  if (header.blockExtra > header.blockSize) return Refuse(error, "VDI block extra data larger than a block");
  if (std::uint64_t{header.blocks} * header.blockSize < header.diskSize) {
    return Refuse(error, "the VDI block map covers less than the disk's " + std::to_string(header.diskSize) + " bytes");
  }
  // The map is read whole: it must lie in the file, so that a claim of a
  // billion blocks costs what the file holds, not what it claims.
  if (!bytes::InRange(header.blocksAt, std::uint64_t{header.blocks} * 4, fileSize)) {
    return Refuse(error, "the VDI block map (" + std::to_string(header.blocks) + " blocks at byte " +
                             std::to_string(header.blocksAt) + ") runs past the file's end");
  }
  if (!EntriesNeeded("the VDI block map", header.blocks, header.diskSize, header.blockSize, vdi::kMaxMapBytes,
                     &header.used, error)) {
    return false;
  }
  *out = header;
  return true;
}

bool ParseVdiBlockMap(std::string_view bytes, const VdiHeader& header, std::uint64_t fileSize,
                      std::vector<std::uint32_t>* map, std::string* error) {
  LittleEndian m(bytes);
  map->assign(header.used, 0);
  const std::uint64_t stride = std::uint64_t{header.blockSize} + header.blockExtra;
  for (std::uint32_t i = 0; i < header.used; ++i) {
    std::uint32_t entry = m.U32(std::size_t{i} * 4);
    if (!m.complete()) return Refuse(error, "the VDI block map is cut short");
    (*map)[i] = entry;
    if (entry == vdi::kBlockFree || entry == vdi::kBlockZero) continue;
    if (header.type == vdi::kFixed && entry != i) {
      return Refuse(error, "block " + std::to_string(i) + " of a fixed VDI is mapped elsewhere");
    }
    std::uint64_t at = header.dataAt + entry * stride;  // at most 2^32 * 2^29: no overflow
    if (!bytes::InRange(at, stride, fileSize)) {
      return Refuse(error, "VDI block " + std::to_string(i) + " lies past the file's end (at byte " +
                               std::to_string(at) + ")");
    }
  }
  return true;
}

}  // namespace diskimage
