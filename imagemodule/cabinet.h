// The cabinets in which Windows 98 and Me keep the registry of their last
// boots (SYSBCKUP\RB000.CAB), unpacked in memory through libmspack.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "diskimage/image.h"
#include "diskimage/layout/cabinet.h"
#include "imagemodule/libraries.h"

namespace diskimage {

inline constexpr std::string_view kCabinetSignature = layout::signature::kCabinet;

// The files of a cabinet, in its order. False with error saying why.
bool ListCabinet(const std::string& cabinet, std::vector<CabinetFile>* files, std::string* error);

// What a cabinet holds and how to choose one of its files, for a message
// that ends a read naming none: how is the selector of the cabinet, which
// each file's sets cab= of.
std::string CabinetChoices(const std::string& cabinet, const ImageSelector& how);

// Unpacks the file name (in any letter case) of the cabinet's bytes into
// out; a file that claims, or unpacks to, more than maxBytes is refused.
// False with error saying why.
bool Unpack(const std::string& cabinet, const std::string& name, std::uint64_t maxBytes, std::string* out,
            std::string* error);

}  // namespace diskimage
