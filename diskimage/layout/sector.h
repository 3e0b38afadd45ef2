// The unit every disk layout counts in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

inline constexpr std::size_t kSectorBytes = 512;

}  // namespace diskimage::layout
