// VM disks qemu-img cannot make: a differencing VDI, as VirtualBox writes
// one when a snapshot is taken and the machine then runs on; and the
// install of a driver written into an image qemu-io can write.
#pragma once

#include <string>
#include <vector>

namespace vm_images {

// A differencing VDI whose parent is base (a dynamic or fixed VDI's bytes):
// it holds, block by block, what of after (the raw disk as it is now)
// differs from what base gives, and nothing else. Its own UUID ends in
// tag, and is never base's. Empty when base is no VDI this can read or
// after is not its size.
std::string DifferencingVdi(const std::string& base, const std::string& after, unsigned char tag);

// The same disk as a VDI of header version 1.0, as VirtualBox before 1.4
// wrote one: base is a version 1.1 VDI's bytes. Empty when base is none.
std::string VdiVersion1_0(const std::string& base);

// A differencing VHD (Virtual PC's "differencing hard disk image") over
// base, a dynamic VHD whose disk reads as before: its 2 MiB blocks where
// after differs from before, every sector of them marked as its own, and
// parentName as the parent its header names (by which libvhdi finds it).
// Its identifier ends in tag, and is never base's. Empty when base is no
// dynamic VHD.
// Where changedOnly, a block's bitmap marks only the sectors after changes,
// and the block's other sectors hold 'G', which a reader must never show;
// where locator is not empty, the parent is named by a relative Windows
// locator (W2ru) holding it, and parentName is left empty.
std::string DifferencingVhd(const std::string& base, const std::string& before, const std::string& after,
                            const std::string& parentName, unsigned char tag, bool changedOnly = false,
                            const std::string& locator = "");

// The qemu-io commands that write into an image whose disk reads as before
// whatever of after differs from it, 64 KiB at a time, as the guest's
// writes would: -c arguments, pieces of after cut into folder. Empty when
// the two are not one size.
std::vector<std::string> WriteChanges(const std::string& before, const std::string& after, const std::string& folder);

}  // namespace vm_images
