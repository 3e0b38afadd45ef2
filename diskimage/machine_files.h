// The files of a virtual machine's description, read from the host: the
// .vbox, or the .vmx with the .vmsd beside it that lists its snapshots.
#pragma once

#include <string>

#include "diskimage/image.h"
#include "diskimage/machine.h"

namespace diskimage {

// The machine that path (of kind kVirtualBox or kVmware) describes, its
// files made paths of this host (relative ones from the machine's folder).
// False with error naming the file and what is wrong.
bool ReadMachine(const std::string& path, ImageKind kind, Machine* machine, std::string* error);

}  // namespace diskimage
