// An EWF (E01) segment file's header and section descriptors. Every integer
// is little-endian, read through bytes::LittleEndian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

namespace signature {  // what tells the format, at its offset
inline constexpr std::string_view kEwf = {"EVF\x09\x0D\x0A\xFF\x00", 8};  // at 0
}  // namespace signature

namespace ewf {  // an EWF (E01) segment file
inline constexpr std::size_t kFileHeaderBytes = 13;
inline constexpr std::size_t kSegmentNumber = 9;  // u16
// Sections follow the file header, each with a descriptor:
inline constexpr std::size_t kSectionType = 0;  // 16 bytes, NUL-padded ("done", "next", ...)
inline constexpr std::size_t kSectionTypeBytes = 16;
inline constexpr std::size_t kSectionNext = 16;  // u64, file offset of the next section
inline constexpr std::size_t kSectionBytes = 76;
}  // namespace ewf

}  // namespace diskimage::layout
