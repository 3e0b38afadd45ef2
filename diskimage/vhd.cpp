#include "diskimage/vhd.h"

#include <algorithm>
#include <cstring>

#include "bytes/bytes.h"
#include "diskimage/block_map.h"
#include "diskimage/layout/vhd.h"
#include "text/unicode.h"

namespace diskimage {

namespace vhd = layout::vhd;
using bytes::BigEndian;

namespace {

bool Refuse(std::string* error, std::string what) {
  *error = std::move(what);
  return false;
}

}  // namespace

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  // Up to the first NUL, as little-endian units for the product's codec.
  std::string little;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char first = bytes[i + (bigEndian ? 1 : 0)], second = bytes[i + (bigEndian ? 0 : 1)];
    if (first == '\0' && second == '\0') break;
    little += first;
    little += second;
  }
  std::string out;
  text::Utf16ToUtf8(little, out, /*markLone=*/true);
  return out;
}

bool VhdSectorIsOwn(std::string_view bitmap, std::uint64_t sector) {
  if (sector / 8 >= bitmap.size()) return false;
  return (static_cast<unsigned char>(bitmap[static_cast<std::size_t>(sector / 8)]) >> (7 - sector % 8) & 1) != 0;
}

std::uint32_t VhdChecksum(std::string_view bytes, std::size_t checksumAt) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i < checksumAt || i >= checksumAt + 4) sum += static_cast<unsigned char>(bytes[i]);
  }
  return ~sum;
}

bool ParseVhdFooter(std::string_view bytes, std::uint64_t fileSize, VhdFooter* out, std::string* error) {
  namespace f = vhd::footer;
  BigEndian b(bytes);
  if (!b.Holds(0, layout::signature::kVhd)) return Refuse(error, "no VHD footer (\"conectix\")");
  VhdFooter footer;
  footer.type = b.U32(f::kDiskType);
  footer.diskSize = b.U64(f::kCurrentSize);
  footer.headerAt = b.U64(f::kDataOffset);
  footer.checksum = b.U32(f::kChecksum);
  footer.summed = VhdChecksum(bytes.substr(0, vhd::kFooterBytes), f::kChecksum);
  std::string_view id = b.Span(f::kUniqueId, footer.id.size());
  if (!b.complete()) return Refuse(error, "the VHD footer is cut short");
  std::memcpy(footer.id.data(), id.data(), footer.id.size());  // complete: all 16 bytes are there
  if (footer.type != vhd::kFixed && footer.type != vhd::kDynamic && footer.type != vhd::kDifferencing) {
    return Refuse(error, "VHD disk type " + std::to_string(footer.type) + ", which is none Virtual PC writes (2, 3 or 4)");
  }
  // A fixed disk is the file less its footer: a claim of the footer's
  // sector too would read the footer as the disk's last sector.
  if (footer.type == vhd::kFixed && (fileSize < vhd::kFooterBytes || footer.diskSize > fileSize - vhd::kFooterBytes)) {
    return Refuse(error, "a fixed VHD of " + std::to_string(footer.diskSize) + " bytes in a file of " +
                             std::to_string(fileSize) + ", which holds " +
                             std::to_string(fileSize < vhd::kFooterBytes ? 0 : fileSize - vhd::kFooterBytes) +
                             " bytes of disk before its footer");
  }
  if (footer.type != vhd::kFixed && !bytes::InRange(footer.headerAt, vhd::kHeaderBytes, fileSize)) {
    return Refuse(error, "its VHD header (at byte " + std::to_string(footer.headerAt) + ") lies past the file's end");
  }
  *out = footer;
  return true;
}

bool ParseVhdHeader(std::string_view bytes, const VhdFooter& footer, std::uint64_t fileSize, VhdHeader* out,
                    std::string* error) {
  namespace h = vhd::header;
  BigEndian b(bytes);
  if (!b.Holds(0, h::kCookie)) return Refuse(error, "no VHD dynamic header (\"cxsparse\") where its footer says");
  VhdHeader header;
  header.tableAt = b.U64(h::kTableOffset);
  header.entries = b.U32(h::kTableEntries);
  header.blockSize = b.U32(h::kBlockSize);
  header.checksum = b.U32(h::kChecksum);
  header.summed = VhdChecksum(bytes.substr(0, vhd::kHeaderBytes), h::kChecksum);
  std::string_view parentId = b.Span(h::kParentId, header.parentId.size());
  std::string_view name = b.Span(h::kParentName, h::kParentNameBytes);
  if (!b.complete()) return Refuse(error, "the VHD header is cut short");
  if (header.blockSize < 512 || header.blockSize > vhd::kMaxBlockBytes || (header.blockSize & (header.blockSize - 1)) != 0) {
    return Refuse(error, "VHD block size " + std::to_string(header.blockSize) + " is none Virtual PC writes");
  }
  // The table is read whole, and so must lie in the file: a claim of a
  // billion entries costs what the file holds.
  if (!bytes::InRange(header.tableAt, std::uint64_t{header.entries} * 4, fileSize)) {
    return Refuse(error, "its VHD block table (" + std::to_string(header.entries) + " entries at byte " +
                             std::to_string(header.tableAt) + ") runs past the file's end");
  }
  if (std::uint64_t{header.entries} * header.blockSize < footer.diskSize) {
    return Refuse(error, "its VHD block table covers less than the disk's " + std::to_string(footer.diskSize) + " bytes");
  }
  if (!EntriesNeeded("its VHD block table", header.entries, footer.diskSize, header.blockSize, vhd::kMaxTableBytes,
                     &header.used, error)) {
    return false;
  }
  if (footer.type == vhd::kDifferencing) {
    std::memcpy(header.parentId.data(), parentId.data(), header.parentId.size());  // complete: all 16 there
    header.parentName = Utf16ToUtf8(name, true);
    for (std::size_t i = 0; i < h::kLocatorCount; ++i) {
      BigEndian e(bytes.substr(h::kLocators + i * h::kLocatorBytes, h::kLocatorBytes));
      VhdLocator l{e.U32(vhd::locator::kCode), e.U64(vhd::locator::kOffset), e.U32(vhd::locator::kLength)};
      bool windows = l.code == vhd::locator::kWindowsRelative || l.code == vhd::locator::kWindowsAbsolute;
      if (windows && l.length <= vhd::locator::kMaxLength && bytes::InRange(l.offset, l.length, fileSize)) {
        header.locators.push_back(l);
      }
    }
  }
  *out = std::move(header);
  return true;
}

}  // namespace diskimage
