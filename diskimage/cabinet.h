// The cabinets in which Windows 98 and Me keep the registry of their last
// boots (SYSBCKUP\RB000.CAB), unpacked in memory through libmspack.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace diskimage {

// What a Microsoft cabinet begins with.
inline constexpr std::string_view kCabinetSignature = "MSCF";

// Unpacks the file name (in any letter case) of the cabinet's bytes into
// out; a file that claims, or unpacks to, more than maxBytes is refused.
// False with error saying why.
bool Unpack(const std::string& cabinet, const std::string& name, std::uint64_t maxBytes, std::string* out,
            std::string* error);

}  // namespace diskimage
