#include "diskimage/ewf.h"

#include "bytes/bytes.h"
#include "diskimage/layout/ewf.h"

namespace diskimage {

using bytes::LittleEndian;

EwfSegment ReadEwfSegment(const std::function<bool(std::uint64_t offset, std::size_t length, std::string* out)>& read) {
  namespace ewf = layout::ewf;
  constexpr int kMaxSections = 1 << 20;
  EwfSegment segment;
  std::string bytes;
  if (!read(0, ewf::kFileHeaderBytes, &bytes) || !bytes.starts_with(layout::signature::kEwf)) return segment;
  segment.number = LittleEndian(bytes).U16(ewf::kSegmentNumber);
  std::uint64_t at = ewf::kFileHeaderBytes;
  for (int i = 0; i < kMaxSections && read(at, ewf::kSectionBytes, &bytes); ++i) {
    std::string_view type = std::string_view(bytes).substr(ewf::kSectionType, ewf::kSectionTypeBytes);
    type = type.substr(0, type.find('\0'));
    if (type == "done" || type == "next") {
      segment.valid = true;
      segment.last = type == "done";
      return segment;
    }
    std::uint64_t next = LittleEndian(bytes).U64(ewf::kSectionNext);
    if (next <= at) return segment;  // sections only go forward: anything else is damage
    at = next;
  }
  return segment;
}

std::string EwfSegmentName(std::string_view first, int n) {
  std::size_t dot = first.rfind('.');
  if (dot == std::string_view::npos || first.size() - dot != 4 || n < 1) return {};
  bool lower = first[dot + 1] >= 'a' && first[dot + 1] <= 'z';
  std::string extension;
  if (n <= 99) {
    extension = std::string(1, 'E') + static_cast<char>('0' + n / 10) + static_cast<char>('0' + n % 10);
  } else {
    // EAA to EZZ, then FAA on, as far as ZZZ.
    int k = n - 100;
    if (k >= 22 * 26 * 26) return {};
    extension = std::string(1, static_cast<char>('E' + k / (26 * 26))) + static_cast<char>('A' + k / 26 % 26) +
                static_cast<char>('A' + k % 26);
  }
  if (lower) {
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
  }
  return std::string(first.substr(0, dot + 1)) + extension;
}

}  // namespace diskimage
