// A VirtualBox machine's description (Win98.vbox) as a source: read with
// libxml2, as outside input, so with no DTD, no entities expanded and no
// network, and costing what the file holds.
#pragma once

#include <string>
#include <string_view>

#include "diskimage/machine.h"

namespace diskimage {

// The .vbox will not be read past this size: VirtualBox writes some
// kilobytes, and a machine of many snapshots a few hundred.
inline constexpr std::size_t kMaxMachineFileBytes = 16 << 20;

// The machine that xml describes: the hard disks of its current state and
// of each snapshot, as the files its MediaRegistry gives them (relative to
// the machine's folder, as written), and the registry's files by UUID.
// False with error saying what is wrong.
bool ParseVbox(std::string_view xml, Machine* machine, std::string* error);

}  // namespace diskimage
