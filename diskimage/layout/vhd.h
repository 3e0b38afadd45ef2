// Virtual PC's VHD: its footer, and for a dynamic or differencing disk its
// header, block table and parent locators. Every integer is big-endian,
// read through bytes::BigEndian; the locators' paths are UTF-16LE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

namespace signature {  // what tells the format, at its offset
inline constexpr std::string_view kVhd = "conectix";                 // at 0, or in the last sector
}  // namespace signature

namespace vhd {  // Virtual PC's VHD: a footer, and for a dynamic or differencing disk a header and a block table; big-endian
inline constexpr std::size_t kFooterBytes = 512, kHeaderBytes = 1024;
namespace footer {
inline constexpr std::size_t kDataOffset = 16;   // u64: where the dynamic header lies
inline constexpr std::size_t kCurrentSize = 48;  // u64: the disk's size
inline constexpr std::size_t kDiskType = 60;     // u32
inline constexpr std::size_t kChecksum = 64;     // u32: the one's complement of the sum of the other bytes
inline constexpr std::size_t kUniqueId = 68;     // 16 bytes: what a child names its parent by
}  // namespace footer
namespace header {
inline constexpr std::string_view kCookie = "cxsparse";  // at 0
inline constexpr std::size_t kTableOffset = 16;   // u64
inline constexpr std::size_t kTableEntries = 28;  // u32
inline constexpr std::size_t kBlockSize = 32;     // u32
inline constexpr std::size_t kChecksum = 36;      // u32, as the footer's, over the header's 1024 bytes
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
// What of a block table is held in memory at most: 16 times a table of the
// largest disk Virtual PC and Hyper-V write (2040 GiB in 2 MiB blocks).
inline constexpr std::uint64_t kMaxTableBytes = 64 << 20;
}  // namespace vhd

}  // namespace diskimage::layout
