#include "diskimage/qcow.h"

#include <algorithm>

#include "bytes/bytes.h"
#include "diskimage/layout/qcow.h"

namespace diskimage {

namespace qcow = layout::qcow;
using bytes::BigEndian;

namespace {

bool Refuse(std::string* error, std::string what) {
  *error = std::move(what);
  return false;
}

// What the incompatible feature bits of a version 3 header ask for that
// this reader cannot give; empty when nothing.
std::string Unreadable(std::uint64_t features, std::uint8_t compression) {
  if ((features & qcow::kExternalData) != 0) return "its data lies in an external data file, which is not read here";
  if ((features & qcow::kExtendedL2) != 0) return "it has extended L2 entries (subclusters), which are not read here";
  if ((features & qcow::kCompressionType) != 0 && compression != qcow::kZlib) {
    return compression == qcow::kZstd ? "its clusters are compressed with zstd, which is not read here (zlib is)"
                                      : "its clusters are compressed in an unknown way (" +
                                            std::to_string(compression) + ")";
  }
  std::uint64_t unknown = features & ~qcow::kKnownIncompatible;
  if (unknown != 0) return "it asks for incompatible features this reader does not know (" + bytes::Hex(unknown) + ")";
  return {};
}

// The header extensions (version 2 and later), up to the end marker: the
// backing file's format is named there.
bool ReadExtensions(const BigEndian& h, std::size_t at, QcowHeader* header, std::string* error) {
  while (true) {
    std::uint32_t type = h.U32(at);
    std::uint32_t length = h.U32(at + 4);
    if (!h.complete()) return Refuse(error, "its header extensions run past the first cluster");
    if (type == qcow::kExtensionEnd) return true;
    std::string_view data = h.Span(at + 8, length);
    if (!h.complete()) return Refuse(error, "a header extension runs past the first cluster");
    if (type == qcow::kExtensionBackingFormat) header->backingFormat = std::string(data);
    at += 8 + (std::size_t{length} + 7) / 8 * 8;
  }
}

}  // namespace

bool ParseQcowHeader(std::string_view head, QcowHeader* out, std::string* error) {
  BigEndian h(head);
  QcowHeader header;
  header.version = h.U32(qcow::kVersion);
  std::uint64_t backingAt = h.U64(qcow::kBackingAt);
  std::uint32_t backingBytes = h.U32(qcow::kBackingBytes);
  std::uint32_t encryption = 0;
  if (header.version == 1) {
    header.diskSize = h.U64(qcow::v1::kDiskSize);
    header.clusterBits = h.U8(qcow::v1::kClusterBits);
    header.l2Bits = h.U8(qcow::v1::kL2Bits);
    encryption = h.U32(qcow::v1::kEncryption);
    header.l1At = h.U64(qcow::v1::kL1At);
  } else if (header.version == 2 || header.version == 3) {
    header.clusterBits = h.U32(qcow::v2::kClusterBits);
    header.diskSize = h.U64(qcow::v2::kDiskSize);
    encryption = h.U32(qcow::v2::kEncryption);
    header.snapshots = h.U32(qcow::v2::kSnapshots);
    header.l1Entries = h.U32(qcow::v2::kL1Entries);
    header.l1At = h.U64(qcow::v2::kL1At);
    header.snapshotsAt = h.U64(qcow::v2::kSnapshotsAt);
  } else {
    return Refuse(error, "qcow version " + std::to_string(header.version) + ", which is none QEMU writes (1, 2 or 3)");
  }
  if (!h.complete()) return Refuse(error, "the qcow header is cut short");
  if (encryption != 0) {
    return Refuse(error, encryption == qcow::kAes    ? std::string("encrypted (AES); encrypted images are not read")
                         : encryption == qcow::kLuks ? std::string("encrypted (LUKS); encrypted images are not read")
                                                     : "encrypted (method " + std::to_string(encryption) +
                                                           "); encrypted images are not read");
  }
  if (header.clusterBits < qcow::kMinClusterBits || header.clusterBits > qcow::kMaxClusterBits) {
    return Refuse(error, "qcow cluster size 2^" + std::to_string(header.clusterBits) + ", which is none QEMU writes");
  }
  if (header.version == 1) {
    if (header.l2Bits < qcow::v1::kMinL2Bits || header.l2Bits > qcow::v1::kMaxL2Bits) {
      return Refuse(error, "qcow L2 tables of 2^" + std::to_string(header.l2Bits) + " entries, which is none QEMU writes");
    }
    // As QEMU sizes the table: enough entries to cover the disk.
    unsigned shift = header.clusterBits + header.l2Bits;
    std::uint64_t entries = (header.diskSize >> shift) + ((header.diskSize & ((std::uint64_t{1} << shift) - 1)) != 0);
    if (entries > 0xFFFFFFFF) return Refuse(error, "a qcow disk of " + std::to_string(header.diskSize) + " bytes");
    header.l1Entries = static_cast<std::uint32_t>(entries);
  } else {
    header.l2Bits = header.clusterBits - 3;  // a cluster of 8-byte entries
  }
  std::size_t extensionsAt = qcow::v2::kHeaderBytes;
  if (header.version == 3) {
    std::uint64_t features = h.U64(qcow::v3::kIncompatible);
    std::uint32_t headerBytes = h.U32(qcow::v3::kHeaderLength);
    std::uint8_t compression = headerBytes > qcow::v3::kCompressionType ? h.U8(qcow::v3::kCompressionType) : 0;
    if (!h.complete()) return Refuse(error, "the qcow header is cut short");
    if (std::string why = Unreadable(features, compression); !why.empty()) return Refuse(error, why);
    extensionsAt = headerBytes;
  }
  if (header.version >= 2 && !ReadExtensions(h, extensionsAt, &header, error)) return false;
  if (backingAt != 0) {
    if (backingBytes == 0 || backingBytes > qcow::kMaxBackingName) {
      return Refuse(error, "its backing file's name is " + std::to_string(backingBytes) + " bytes long");
    }
    std::string_view name = h.Span(static_cast<std::size_t>(std::min<std::uint64_t>(backingAt, head.size())), backingBytes);
    if (!h.complete()) return Refuse(error, "its backing file's name lies past the first cluster");
    header.backingFile = std::string(name);
  }
  *out = std::move(header);
  return true;
}

QcowCluster DecodeL2Entry(std::uint64_t entry, std::uint32_t version, std::uint32_t clusterBits) {
  using Kind = QcowCluster::Kind;
  if ((entry & (version == 1 ? qcow::v1::kCompressed : qcow::kCompressed)) != 0) {
    if (version == 1) {
      // The offset in the low 63 - clusterBits bits, the size in bytes above.
      unsigned offsetBits = 63 - clusterBits;
      std::uint64_t at = entry & ((std::uint64_t{1} << offsetBits) - 1);
      return {Kind::kCompressed, at, (entry >> offsetBits) & ((std::uint64_t{1} << clusterBits) - 1)};
    }
    // The offset in the low 62 - (clusterBits - 8) bits, the count of
    // 512-byte sectors after the first above, up to bit 61.
    unsigned offsetBits = 62 - (clusterBits - 8);
    std::uint64_t at = entry & ((std::uint64_t{1} << offsetBits) - 1);
    std::uint64_t sectors = ((entry & ~qcow::kCompressed) >> offsetBits) + 1;
    return {Kind::kCompressed, at, sectors * 512 - at % 512};
  }
  if (version >= 3 && (entry & qcow::kZeroCluster) != 0) return {Kind::kZero, 0, 0};
  std::uint64_t at = entry & qcow::kOffsetMask;
  return at == 0 ? QcowCluster{Kind::kUnallocated, 0, 0} : QcowCluster{Kind::kData, at, 0};
}

bool ParseQcowSnapshots(std::string_view table, const QcowHeader& header, std::vector<QcowSnapshot>* out,
                        std::string* error) {
  namespace snap = qcow::snapshot;
  out->clear();
  if (header.snapshots > snap::kMaxSnapshots) {
    return Refuse(error, "its snapshot table claims " + std::to_string(header.snapshots) + " snapshots (QEMU writes " +
                             std::to_string(snap::kMaxSnapshots) + " at most)");
  }
  std::size_t at = 0;
  for (std::uint32_t i = 0; i < header.snapshots; ++i) {
    BigEndian e(table.substr(std::min(at, table.size())));
    QcowSnapshot s{.id = {}, .name = {}, .l1At = e.U64(snap::kL1At), .l1Entries = e.U32(snap::kL1Entries),
                   .diskSize = header.diskSize};
    std::uint32_t extra = e.U32(snap::kExtraBytes);
    std::uint16_t idBytes = e.U16(snap::kIdBytes), nameBytes = e.U16(snap::kNameBytes);
    std::uint64_t size = std::uint64_t{snap::kFixedBytes} + extra + idBytes + nameBytes;
    if (!e.complete() || size > table.size() - std::min(at, table.size())) {
      return Refuse(error, "its snapshot table (at byte " + std::to_string(header.snapshotsAt) + ") runs past the file's end in entry " +
                               std::to_string(i + 1));
    }
    std::string_view entry = table.substr(at, static_cast<std::size_t>(size));
    if (extra >= snap::kExtraDiskSize + 8) s.diskSize = BigEndian(entry.substr(snap::kFixedBytes)).U64(snap::kExtraDiskSize);
    s.id = std::string(entry.substr(snap::kFixedBytes + extra, idBytes));
    s.name = std::string(entry.substr(snap::kFixedBytes + extra + idBytes, nameBytes));
    out->push_back(std::move(s));
    at += static_cast<std::size_t>((size + 7) / 8 * 8);
  }
  return true;
}

}  // namespace diskimage
