// VMware's VMDK, as far as ours tells it (libvmdk reads it): a sparse
// extent's magic number, or a text descriptor's first line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

namespace signature {  // what tells the format, at its offset
inline constexpr std::string_view kVmdkSparse = "KDMV";              // at 0
inline constexpr std::string_view kVmdkDescriptor = "# Disk DescriptorFile";
}  // namespace signature


}  // namespace diskimage::layout
