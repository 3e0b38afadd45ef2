// A Microsoft cabinet, as far as ours tells it (libmspack unpacks it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

namespace signature {  // what tells the format, at its offset
inline constexpr std::string_view kCabinet = "MSCF";                 // at 0: a Microsoft cabinet
}  // namespace signature


}  // namespace diskimage::layout
