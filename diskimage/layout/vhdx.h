// Hyper-V's VHDX, as far as ours tells it (libvhdi reads it): the file
// type identifier at its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

namespace signature {  // what tells the format, at its offset
inline constexpr std::string_view kVhdx = "vhdxfile";               // at 0
}  // namespace signature


}  // namespace diskimage::layout
