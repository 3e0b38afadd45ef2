// The files of a virtual machine's description, read from the host: the
// .vbox, or the .vmx with the .vmsd beside it that lists its snapshots.
#pragma once

#include <string>

#include "diskimage/formats.h"
#include "diskimage/machine.h"
#include "imagemodule/volumes.h"

namespace diskimage {

// The machine that path (a .vbox or a .vmx, as format says) describes, its
// files made paths of this host (relative ones from the machine's folder).
// False with error naming the file and what is wrong.
bool ReadMachine(const std::string& path, MachineFormat format, Machine* machine, std::string* error);

// The most hard disks a machine's state may attach: VMware Workstation's
// 4 IDE, 120 SATA (4 controllers of 30), 60 SCSI and 60 NVMe (4 of 15
// each); VirtualBox attaches fewer.
inline constexpr std::size_t kMaxMachineDisks = 244;

// Opens into image the disks of source, of kind (a disk or a machine): an image's one disk (as
// its qcow2 snapshot names, where one does), or the hard disks of the
// machine's state snapshot names (empty: the current one), of which disk
// (from 1; -1: any) is to be read: the others are opened one at a time for
// their partitions' letters, and closed. A machine's disk that holds no
// FAT volume is passed over, and named should no other disk hold one.
// machine gets what a machine's file says. False with error.
bool OpenSourceDisks(Image& image, const std::string& source, SourceKind kind, const StateWanted& snapshot, int disk,
                     Machine* machine, std::string* error);

}  // namespace diskimage
