// EWF (E01), the Expert Witness format a forensic image comes in: what a
// segment file's sections say of it, and the names its segments take. The
// image module checks with these that an image's every segment is there
// before its library reads it (e01_disk.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace diskimage {

// What an EWF (E01) segment file's sections say of it: its number, and
// whether it is the last of its image (a "done" section) or another
// follows (a "next" section). valid is false when the sections cannot be
// followed to either.
struct EwfSegment {
  bool valid = false;
  int number = 0;
  bool last = false;
};
// read(offset, length, out): the bytes there; false where the file ends.
EwfSegment ReadEwfSegment(const std::function<bool(std::uint64_t offset, std::size_t length, std::string* out)>& read);

// The file of segment n (from 1) of the image whose first segment is
// first: IMAGE.E01 to IMAGE.E99, then IMAGE.EAA on, in the letter case
// of first's extension; empty past the last name EWF has.
std::string EwfSegmentName(std::string_view first, int n);

}  // namespace diskimage
