// VM disks qemu-img cannot make: a differencing VDI, as VirtualBox writes
// one when a snapshot is taken and the machine then runs on.
#pragma once

#include <string>

namespace vm_images {

// A differencing VDI whose parent is base (a dynamic or fixed VDI's bytes):
// it holds, block by block, what of after (the raw disk as it is now)
// differs from what base gives, and nothing else. Its own UUID ends in
// tag. Empty when base is no VDI this can read or after is not its size.
std::string DifferencingVdi(const std::string& base, const std::string& after, unsigned char tag);

}  // namespace vm_images
