// What a source file is, told by its first and last bytes, and the one
// table of the container formats a disk comes in. Detection, the listing's
// names, the snapshot gate, the chain's openers and the fuzz targets all
// walk the table: a new format is a row here, an opener where the chain
// opens links (chain.cpp), and its reader's files.
#pragma once

#include <span>
#include <string_view>

namespace diskimage {

// A source that is no registry file: a disk in a container, a cabinet
// copied out of a Windows directory (SYSBCKUP\RB000.CAB: files, no disk),
// or a machine's description (a .vbox, a .vmx: the disks of each of its
// saved states, by name).
enum class SourceType { kNone, kDisk, kCabinet, kMachine };

// The container a disk comes in, in the table's order.
enum class Container { kQcow, kQcow2, kVdi, kE01, kVmdk, kVhdx, kVhd, kRaw };

enum class MachineFormat { kVirtualBox, kVmware };

// How a container finds the file it stands on, where it stands on one.
enum class ParentBy {
  kNothing,   // a whole disk in itself
  kName,      // a path the child holds (qcow2's backing file, VMDK's parentFileNameHint, VHD's locators)
  kUuid,      // the parent's UUID, looked up in the machine's media registry, then beside the child
  kSegments,  // the next segments, named after the first (IMAGE.E01, IMAGE.E02, ...)
};

struct ContainerFormat {
  Container id;
  std::string_view name;  // as listings and messages show it
  // Whether a file is of this format, by its first 512 bytes and its last
  // (fewer where it is shorter). Asked in the table's order.
  bool (*probe)(std::string_view head, std::string_view tail);
  bool internalSnapshots;  // saved states inside the one file, chosen with snapshot=
  ParentBy parent;
  // Who reads it: empty for a reader of our own, else the outside library,
  // which only the image module links.
  std::string_view library;
};

// Every row, one per Container, in Container's order, which is the order
// detection asks them in.
std::span<const ContainerFormat> ContainerFormats();
const ContainerFormat& FormatOf(Container id);

struct SourceKind {
  SourceType type = SourceType::kNone;
  Container container = Container::kRaw;               // for kDisk
  MachineFormat machine = MachineFormat::kVirtualBox;  // for kMachine

  bool operator==(const SourceKind&) const = default;
  // As a listing names it: a container's name, "cabinet", "VirtualBox
  // machine", "VMware machine"; "none" for anything else.
  std::string_view Name() const;
};

// What a file's first 512 bytes and last 512 bytes say it is; kNone for
// anything else. A file that is a hive or a .reg export is none, which the
// caller, knowing those formats, asks first. A raw disk is told by the
// boot sector's signature, which every other format is asked before.
SourceKind DetectSource(std::string_view head, std::string_view tail);

inline SourceKind DiskIn(Container container) { return {SourceType::kDisk, container, {}}; }

}  // namespace diskimage
