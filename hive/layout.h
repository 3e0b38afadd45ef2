// The CREG format's records as named byte fields: the one place that knows
// where a field lies. The hive reader parses through it, and so does the
// writer the tests build hives with. All integers are little-endian and
// unaligned; offsets in key entries are relative to the RGKN record, and
// kNone (~0) means none.
//
//   0x00  file header          0x20  RGKN record, then the key entries
//   then  RGDB blocks: a header, then key records tiling the block; a key
//         record holds its name and its values back to back
#pragma once

#include <cstddef>
#include <cstdint>

namespace hive::layout {

inline constexpr std::uint32_t kNone = 0xFFFFFFFFU;
inline constexpr std::uint16_t kNoNumber = 0xFFFF;  // a key entry's record or block: none; a record: free

namespace file {  // the file header
inline constexpr std::size_t kSignature = 0;      // "CREG"
inline constexpr std::size_t kMinorVersion = 4;   // u16, 0
inline constexpr std::size_t kMajorVersion = 6;   // u16, 1
inline constexpr std::size_t kFirstBlock = 8;     // u32, file offset of the first RGDB block
inline constexpr std::size_t kBlockCount = 16;    // u16
inline constexpr std::size_t kBytes = 0x20;
}  // namespace file

namespace rgkn {  // the key area's header, at file offset kAt
inline constexpr std::size_t kAt = 0x20;
inline constexpr std::size_t kSignature = 0;  // "RGKN"
inline constexpr std::size_t kSize = 4;       // u32, the whole key area, this header included
inline constexpr std::size_t kRootEntry = 8;  // u32, relative to the RGKN record
inline constexpr std::size_t kBytes = 0x20;
}  // namespace rgkn

// The file header and the RGKN header, read together when a hive is opened.
inline constexpr std::size_t kHeadBytes = rgkn::kAt + rgkn::kBytes;

// The file offset of a key entry named by its offset from the RGKN record:
// a sum that passes 32 bits, taken in 64 on every build.
constexpr std::uint64_t EntryOffset(std::uint32_t entry) { return std::uint64_t{rgkn::kAt} + entry; }

namespace entry {  // a key entry, in the key area
inline constexpr std::size_t kNameHash = 4;     // u32, sum of the upper-cased name's bytes below 0x80
inline constexpr std::size_t kParent = 12;      // u32
inline constexpr std::size_t kFirstChild = 16;  // u32
inline constexpr std::size_t kNext = 20;        // u32, next sibling
inline constexpr std::size_t kRecord = 24;      // u16, record number in its block
inline constexpr std::size_t kBlock = 26;       // u16, block number
inline constexpr std::size_t kBytes = 28;
}  // namespace entry

namespace block {  // an RGDB block's header
inline constexpr std::size_t kSignature = 0;  // "RGDB"
inline constexpr std::size_t kSize = 4;       // u32, header included; the next block follows
inline constexpr std::size_t kUnused = 8;     // u32, unused bytes
inline constexpr std::size_t kUnknown = 12;   // u16, 8
inline constexpr std::size_t kNumber = 14;    // u16, the number key entries name
inline constexpr std::size_t kUsed = 16;      // u32, used bytes
inline constexpr std::size_t kBytes = 0x20;
}  // namespace block

namespace record {  // a key record, in a block
inline constexpr std::size_t kSize = 0;        // u32, these 4 bytes included
inline constexpr std::size_t kNumber = 4;      // u16; kNoNumber: a free record
inline constexpr std::size_t kUsed = 8;        // u32, used size
inline constexpr std::size_t kNameLength = 12;  // u16
inline constexpr std::size_t kValueCount = 14;  // u16
inline constexpr std::size_t kReserved = 16;   // u32, 0 in every key record
inline constexpr std::size_t kName = 20;       // the name, then the values
inline constexpr std::size_t kBytes = kName;   // the fixed part
}  // namespace record

namespace value {  // a value, in a key record
inline constexpr std::size_t kType = 0;        // u32
inline constexpr std::size_t kNameLength = 8;  // u16
inline constexpr std::size_t kDataLength = 10;  // u16
inline constexpr std::size_t kName = 12;       // the name, then the data
inline constexpr std::size_t kBytes = kName;   // the fixed part
}  // namespace value

}  // namespace hive::layout
