// A VirtualBox disk image (VDI): its pre-header, header, block map and
// blocks. Every integer is little-endian, read through bytes::LittleEndian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

namespace signature {  // what tells the format, at its offset
inline constexpr std::size_t kVdiAt = 0x40;
inline constexpr std::string_view kVdi = "\x7F\x10\xDA\xBE";         // u32 0xBEDA107F
}  // namespace signature

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
// What of a block map is held in memory at most: 16 times the map of a
// 2 TiB disk in VirtualBox's 1 MiB blocks.
inline constexpr std::uint64_t kMaxMapBytes = 128 << 20;
inline constexpr std::uint32_t kBlockFree = 0xFFFFFFFF;  // not in this file: the parent's, else zeros
inline constexpr std::uint32_t kBlockZero = 0xFFFFFFFE;  // zeros, whatever the parent holds
}  // namespace vdi

}  // namespace diskimage::layout
