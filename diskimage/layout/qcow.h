// QEMU's qcow (version 1) and qcow2 (versions 2 and 3): the header, the
// L1 and L2 tables, the snapshot table. Every integer is big-endian, read
// through bytes::BigEndian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

namespace signature {  // what tells the format, at its offset
inline constexpr std::string_view kQcow = "QFI\xFB";                 // at 0
}  // namespace signature

namespace qcow {  // QEMU's qcow (version 1) and qcow2 (2 and 3): every field big-endian
inline constexpr std::size_t kVersion = 4;        // u32
inline constexpr std::size_t kBackingAt = 8;      // u64, file offset of the backing file's name; 0: none
inline constexpr std::size_t kBackingBytes = 16;  // u32
inline constexpr std::uint32_t kMaxBackingName = 1023;
inline constexpr std::uint32_t kMinClusterBits = 9, kMaxClusterBits = 21;
// QEMU refuses an active L1 table of more than 32 MiB.
inline constexpr std::uint64_t kMaxL1Entries = (32 << 20) / 8;
inline constexpr std::uint32_t kAes = 1, kLuks = 2;  // encryption methods
namespace v1 {
inline constexpr std::size_t kDiskSize = 24;     // u64
inline constexpr std::size_t kClusterBits = 32;  // u8
inline constexpr std::size_t kL2Bits = 33;       // u8: an L2 table holds 1 << l2Bits entries
inline constexpr std::size_t kEncryption = 36;   // u32
inline constexpr std::size_t kL1At = 40;         // u64; the table covers the disk
inline constexpr std::uint32_t kMinL2Bits = 6, kMaxL2Bits = 16;
inline constexpr std::uint64_t kCompressed = std::uint64_t{1} << 63;  // of an L2 entry; no other flags
}  // namespace v1
namespace v2 {
inline constexpr std::size_t kClusterBits = 20;  // u32
inline constexpr std::size_t kDiskSize = 24;     // u64
inline constexpr std::size_t kEncryption = 32;   // u32
inline constexpr std::size_t kL1Entries = 36;    // u32
inline constexpr std::size_t kL1At = 40;         // u64
inline constexpr std::size_t kSnapshots = 60;    // u32
inline constexpr std::size_t kSnapshotsAt = 64;  // u64, the snapshot table's file offset
inline constexpr std::size_t kHeaderBytes = 72;  // extensions follow
}  // namespace v2
namespace v3 {
inline constexpr std::size_t kIncompatible = 72;    // u64, feature bits
inline constexpr std::size_t kHeaderLength = 100;   // u32; extensions follow
inline constexpr std::size_t kCompressionType = 104;  // u8, where the header is longer
}  // namespace v3
inline constexpr std::uint64_t kDirty = 1, kCorrupt = 2, kExternalData = 4, kCompressionType = 8, kExtendedL2 = 16;
inline constexpr std::uint64_t kKnownIncompatible = kDirty | kCorrupt | kExternalData | kCompressionType | kExtendedL2;
inline constexpr std::uint8_t kZlib = 0, kZstd = 1;
inline constexpr std::uint32_t kExtensionEnd = 0;
inline constexpr std::uint32_t kExtensionBackingFormat = 0xE2792ACA;
// An L1 entry points to an L2 table, an L2 entry to a cluster.
inline constexpr std::uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00;  // bits 9 to 55
inline constexpr std::uint64_t kCompressed = std::uint64_t{1} << 62;
inline constexpr std::uint64_t kZeroCluster = 1;  // bit 0 of a standard L2 entry (version 3)
// An internal snapshot's entry in the table: these fields, extra data,
// its ID and its name, padded to 8 bytes.
namespace snapshot {
inline constexpr std::size_t kL1At = 0;        // u64
inline constexpr std::size_t kL1Entries = 8;   // u32
inline constexpr std::size_t kIdBytes = 12;    // u16
inline constexpr std::size_t kNameBytes = 14;  // u16
inline constexpr std::size_t kExtraBytes = 36;  // u32
inline constexpr std::size_t kFixedBytes = 40;
inline constexpr std::size_t kExtraDiskSize = 8;  // u64 in the extra data, where it is 16 bytes or more
inline constexpr std::uint32_t kMaxSnapshots = 65536;   // as QEMU refuses more
inline constexpr std::uint64_t kMaxTableBytes = 64 << 20;
}  // namespace snapshot
}  // namespace qcow

}  // namespace diskimage::layout
