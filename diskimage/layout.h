// The on-disk layouts diskimage/ reads, as named byte fields: the one place
// that knows where a field lies. All integers are little-endian and
// unaligned, read through bytes::LittleEndian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

inline constexpr std::size_t kSectorBytes = 512;

namespace signature {  // what tells each kind of image, at its offset
inline constexpr std::string_view kQcow = "QFI\xFB";                 // at 0
inline constexpr std::size_t kVdiAt = 0x40;
inline constexpr std::string_view kVdi = "\x7F\x10\xDA\xBE";         // u32 0xBEDA107F
inline constexpr std::string_view kEwf = {"EVF\x09\x0D\x0A\xFF\x00", 8};  // at 0
inline constexpr std::string_view kVmdkSparse = "KDMV";              // at 0
inline constexpr std::string_view kVmdkDescriptor = "# Disk DescriptorFile";
inline constexpr std::string_view kVhd = "conectix";                 // at 0, or in the last sector
inline constexpr std::string_view kCabinet = "MSCF";                 // at 0: a Microsoft cabinet
inline constexpr std::string_view kVhdx = "vhdxfile";               // at 0
// A VirtualBox machine: XML whose root element is VirtualBox, which
// VirtualBox writes after a comment of some 300 bytes.
inline constexpr std::string_view kXml = "<?xml";
inline constexpr std::string_view kVirtualBoxRoot = "<VirtualBox";
// A VMware machine: lines name = "value", one of these among the first.
inline constexpr std::string_view kVmxVersionKeys[] = {"config.version", "virtualHW.version"};
}  // namespace signature

namespace mbr {  // a master boot record, and each extended boot record
inline constexpr std::size_t kTable = 446;  // four entries
inline constexpr std::size_t kEntryBytes = 16;
inline constexpr int kSlots = 4;
inline constexpr std::size_t kSignature = 510;  // 0x55 0xAA, as a FAT boot sector has too
inline constexpr std::string_view kSignatureBytes = "\x55\xAA";
}  // namespace mbr

namespace partition {  // an entry of a partition table
inline constexpr std::size_t kType = 4;     // u8
inline constexpr std::size_t kStart = 8;    // u32, in sectors: from the disk's start (MBR) or the EBR (a logical one)
inline constexpr std::size_t kSectors = 12;  // u32
}  // namespace partition

namespace fat_entry {  // a FAT directory entry
inline constexpr std::size_t kName = 0;  // 8 + 3 characters, blank-padded
inline constexpr std::size_t kBaseLength = 8;
inline constexpr std::size_t kNameLength = 11;
inline constexpr std::size_t kAttributes = 11;  // u8
inline constexpr std::size_t kSize = 28;        // u32
inline constexpr std::size_t kBytes = 32;
inline constexpr unsigned char kEnd = 0x00;      // first name byte: no entry follows
inline constexpr unsigned char kDeleted = 0xE5;  // first name byte: a deleted entry
inline constexpr unsigned char kLongName = 0x0F;     // attributes of a long-name part
inline constexpr unsigned char kVolumeLabel = 0x08;  // attribute bit
// A FAT directory holds at most 65,536 entries.
inline constexpr std::size_t kMaxEntries = 65536;
}  // namespace fat_entry

namespace msdos_sys {  // MSDOS.SYS of Windows 95, 98 and Me: a text file
inline constexpr std::string_view kPathsSection = "[PATHS]";  // compared in upper case
inline constexpr std::string_view kWinDir = "WINDIR";         // WinDir=C:\WINDOWS
}  // namespace msdos_sys

namespace ewf {  // an EWF (E01) segment file
inline constexpr std::size_t kFileHeaderBytes = 13;
inline constexpr std::size_t kSegmentNumber = 9;  // u16
// Sections follow the file header, each with a descriptor:
inline constexpr std::size_t kSectionType = 0;  // 16 bytes, NUL-padded ("done", "next", ...)
inline constexpr std::size_t kSectionTypeBytes = 16;
inline constexpr std::size_t kSectionNext = 16;  // u64, file offset of the next section
inline constexpr std::size_t kSectionBytes = 76;
}  // namespace ewf

namespace vdi {  // a VirtualBox disk image: a pre-header, a header, the block map, the blocks
inline constexpr std::size_t kSignature = 0x40;  // u32 0xBEDA107F
inline constexpr std::size_t kVersion = 0x44;    // u32: major << 16 | minor
inline constexpr std::uint32_t kVersion1_0 = 0x00010000;
inline constexpr std::uint32_t kVersion1_1 = 0x00010001;
inline constexpr std::size_t kHeaderBytes = 0x200;  // what is read: either version's header fits
namespace v1_1 {
inline constexpr std::size_t kHeaderSize = 0x48;   // u32
inline constexpr std::size_t kType = 0x4C;         // u32
inline constexpr std::size_t kBlocksAt = 0x154;    // u32, file offset of the block map
inline constexpr std::size_t kDataAt = 0x158;      // u32, file offset of block 0
inline constexpr std::size_t kDiskSize = 0x170;    // u64
inline constexpr std::size_t kBlockSize = 0x178;   // u32
inline constexpr std::size_t kBlockExtra = 0x17C;  // u32, bytes before each block's data
inline constexpr std::size_t kBlocks = 0x180;      // u32
inline constexpr std::size_t kUuid = 0x188;        // 16 bytes
inline constexpr std::size_t kParentUuid = 0x1A8;  // 16 bytes, "link": zero but in a differencing image
}  // namespace v1_1
namespace v1_0 {  // the map follows the header, the blocks the map
inline constexpr std::size_t kType = 0x48;
inline constexpr std::size_t kDiskSize = 0x160;
inline constexpr std::size_t kBlockSize = 0x168;
inline constexpr std::size_t kBlocks = 0x16C;
inline constexpr std::size_t kUuid = 0x174;
inline constexpr std::size_t kParentUuid = 0x194;
inline constexpr std::size_t kHeaderEnd = 0x1A4;
}  // namespace v1_0
inline constexpr std::size_t kUuidBytes = 16;
inline constexpr std::uint32_t kDynamic = 1, kFixed = 2, kUndo = 3, kDifferencing = 4;
inline constexpr std::uint32_t kBlockFree = 0xFFFFFFFF;  // not in this file: the parent's, else zeros
inline constexpr std::uint32_t kBlockZero = 0xFFFFFFFE;  // zeros, whatever the parent holds
}  // namespace vdi

namespace vhd {  // Virtual PC's VHD: a footer, and for a dynamic or differencing disk a header and a block table; big-endian
inline constexpr std::size_t kFooterBytes = 512, kHeaderBytes = 1024;
namespace footer {
inline constexpr std::size_t kDataOffset = 16;   // u64: where the dynamic header lies
inline constexpr std::size_t kCurrentSize = 48;  // u64: the disk's size
inline constexpr std::size_t kDiskType = 60;     // u32
inline constexpr std::size_t kUniqueId = 68;     // 16 bytes: what a child names its parent by
}  // namespace footer
namespace header {
inline constexpr std::string_view kCookie = "cxsparse";  // at 0
inline constexpr std::size_t kTableOffset = 16;   // u64
inline constexpr std::size_t kTableEntries = 28;  // u32
inline constexpr std::size_t kBlockSize = 32;     // u32
inline constexpr std::size_t kParentId = 40;      // 16 bytes: the parent's footer's unique ID
inline constexpr std::size_t kParentName = 64;    // 512 bytes, UTF-16BE
inline constexpr std::size_t kParentNameBytes = 512;
inline constexpr std::size_t kLocators = 576;     // 8 entries of 24 bytes
inline constexpr std::size_t kLocatorCount = 8, kLocatorBytes = 24;
}  // namespace header
namespace locator {  // an entry: where the parent's path, as one platform writes it, lies
inline constexpr std::size_t kCode = 0;     // u32, a four-character code
inline constexpr std::size_t kLength = 8;   // u32, bytes
inline constexpr std::size_t kOffset = 16;  // u64
inline constexpr std::uint32_t kWindowsRelative = 0x57327275;  // "W2ru": UTF-16LE, from the child's folder
inline constexpr std::uint32_t kWindowsAbsolute = 0x57326B75;  // "W2ku": UTF-16LE
inline constexpr std::uint32_t kMaxLength = 4096;
}  // namespace locator
inline constexpr std::uint32_t kFixed = 2, kDynamic = 3, kDifferencing = 4;
inline constexpr std::uint32_t kUnallocated = 0xFFFFFFFF;  // a block table entry: not in this file
inline constexpr std::uint32_t kMaxBlockBytes = 1u << 28;
}  // namespace vhd

namespace qcow {  // QEMU's qcow (version 1) and qcow2 (2 and 3): every field big-endian
inline constexpr std::size_t kVersion = 4;        // u32
inline constexpr std::size_t kBackingAt = 8;      // u64, file offset of the backing file's name; 0: none
inline constexpr std::size_t kBackingBytes = 16;  // u32
inline constexpr std::uint32_t kMaxBackingName = 1023;
inline constexpr std::uint32_t kMinClusterBits = 9, kMaxClusterBits = 21;
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
