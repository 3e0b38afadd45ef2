// VMware's VMDK, as its published Virtual Disk Format (version 5.0) lays
// it out: a text descriptor, standing alone or embedded in a hosted sparse
// extent, and the sparse extent itself (header, grain directory, grain
// tables, grains, and for a stream-optimized one compressed grains with
// markers and a footer). Every integer is little-endian and unaligned,
// read through bytes::LittleEndian; offsets in a header count 512-byte
// sectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

namespace signature {  // what tells the format, at its offset
inline constexpr std::string_view kVmdkSparse = "KDMV";              // at 0
inline constexpr std::string_view kVmdkDescriptor = "# Disk DescriptorFile";
}  // namespace signature

namespace vmdk {  // a hosted sparse extent's header: its first sector
inline constexpr std::size_t kMagic = 0;             // "KDMV"
inline constexpr std::size_t kVersion = 4;           // u32: 1, 2 or 3
inline constexpr std::size_t kFlags = 8;             // u32
inline constexpr std::size_t kCapacity = 12;         // u64: sectors the extent holds
inline constexpr std::size_t kGrainSectors = 20;     // u64: a power of two, at least 8
inline constexpr std::size_t kDescriptorAt = 28;     // u64: an embedded descriptor's sector, 0 for none
inline constexpr std::size_t kDescriptorSectors = 36;  // u64
inline constexpr std::size_t kTableEntries = 44;     // u32: entries in a grain table, 512
inline constexpr std::size_t kRedundantDirectoryAt = 48;  // u64
inline constexpr std::size_t kDirectoryAt = 56;      // u64, or kDirectoryAtEnd
inline constexpr std::size_t kOverhead = 64;         // u64
inline constexpr std::size_t kLineEndings = 73;      // "\n \r\n": a file that went through a text transfer changes them
inline constexpr std::string_view kLineEndingBytes = "\n \r\n";
inline constexpr std::size_t kCompression = 77;      // u16: 0 none, 1 deflate
inline constexpr std::size_t kHeaderBytes = 512;

inline constexpr std::uint32_t kFlagLineTest = 1u << 0;     // the line endings are there to be checked
inline constexpr std::uint32_t kFlagZeroGrains = 1u << 2;   // a table entry of 1 is a grain of zeros
inline constexpr std::uint32_t kFlagCompressed = 1u << 16;  // grains are deflated, each behind a marker
inline constexpr std::uint32_t kFlagMarkers = 1u << 17;     // the stream holds markers
inline constexpr std::uint16_t kDeflate = 1;
// A stream-optimized extent's header leaves the directory's place to the
// footer, a copy of the header written once the stream is done.
inline constexpr std::uint64_t kDirectoryAtEnd = ~std::uint64_t{0};
inline constexpr std::uint32_t kZeroGrain = 1;  // a table entry, with kFlagZeroGrains
inline constexpr std::uint64_t kMaxGrainSectors = 1u << 16;  // 32 MiB, far past what VMware writes (64 KiB)

// The footer of a stream-optimized extent: its last three sectors are a
// footer marker, the footer (a header), and the end-of-stream marker.
inline constexpr std::uint64_t kFooterFromEnd = 1024;
inline constexpr std::uint64_t kFooterMarkerFromEnd = 1536;

namespace marker {  // before each compressed grain, and each metadata block of a stream
inline constexpr std::size_t kSector = 0;  // u64: the grain's first sector in the extent
inline constexpr std::size_t kSize = 8;    // u32: the deflated bytes after it; 0 in a metadata marker
inline constexpr std::size_t kType = 12;   // u32, in a metadata marker
inline constexpr std::size_t kGrainHead = 12;  // a grain marker's bytes before its data
inline constexpr std::uint32_t kFooter = 3;
}  // namespace marker
}  // namespace vmdk

}  // namespace diskimage::layout
