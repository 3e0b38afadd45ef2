// The container formats read through outside libraries (VHDX through
// libvhdi, E01 through libewf), each in its plug-in (libraries.h), opened
// as links of a chain: a chain the module makes opens them with
// LibraryDisk.
#pragma once

#include <memory>
#include <string>

#include "diskimage/chain.h"

namespace diskimage {

// A link in one of those formats: the chain's LibraryOpener.
std::unique_ptr<Disk> LibraryDisk(Container format, const std::string& path, Chain& chain, std::string* error);

}  // namespace diskimage
