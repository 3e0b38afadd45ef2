// diskimage/ owns disk images as registry sources: a raw disk or FAT
// volume, VMDK, VHD, VDI, qcow2, qcow or E01, and cabinets. What is parsed here (the
// selector syntax after '#', MSDOS.SYS, the partition table, DOS drive letters) is
// plain code that the sources, the image module and the fuzz targets share;
// what a file is, is told by formats.h, and the image module (imagemodule/)
// reads the images through the libraries it links; it is loaded only when a
// source is an image. It uses nothing of the registry.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>


namespace diskimage {

// A source entry that names a file inside an image:
//   IMAGE#part=N&path=\WINDOWS\SYSTEM.DA0
//   IMAGE#path=\WINDOWS\SYSBCKUP\RB000.CAB&cab=SYSTEM.DAT
//   RB000.CAB#cab=SYSTEM.DAT
//   Win98.vbox#snapshot=Before driver&disk=2&part=1
//   Win98.qcow2#snapshot-id=2
// snapshot picks a saved state of a machine or a qcow2 image, by its name
// or else its ID (empty: the current state), snapshot-id by its ID alone,
// which no name can be taken for; disk one of a machine's hard disks
// (from 1, as the machine lists them); part picks a partition (its number as Linux counts them: 1 to 4 primary, 5
// on logical; 0 a volume without a partition table); path is a file, or a
// Windows directory (its SYSTEM.DAT and USER.DAT); cab a file inside the
// cabinet that path names, or that the entry is. Which parts apply depends
// on what the file is, which is known only once it is read. '#' cannot be the list separator, and an entry
// that names an existing file is that file. In a value, %XX (two hex
// digits) stands for the byte XX: '&', '#', '=' and '%' are written so, as
// any byte may be; a '%' before anything else is itself.
struct ImageSelector {
  std::string image = {};
  int partition = -1;         // -1: any
  std::string path = {};      // empty: the Windows directory the image holds
  std::string cab = {};
  std::string snapshot = {};    // empty: the current state
  std::string snapshotId = {};  // or the state chosen by its ID alone
  int disk = -1;                // -1: any

  bool operator==(const ImageSelector&) const = default;
};

// Splits entry at the first '#' whose rest is a selector (an image's name
// and a path in it may hold '#'). Returns false with a message naming what
// is wrong when no '#' begins one, the last one's.
bool ParseImageSelector(std::string_view entry, ImageSelector* out, std::string* error);

// text with each marker and two hex digits after it made the byte they
// stand for ("%3D" is '=' in a selector, "|22" is '"' in VMware's files);
// a marker before anything else is itself.
std::string UndoHexEscapes(std::string_view text, char marker);

// The entry that ParseImageSelector reads back as selector: its parts in
// the order snapshot (or snapshot-id), disk, part, path, cab, each value
// with '&', '#', '=', '%' and every byte outside printable ASCII written
// as %XX, so that a message can show it as it stands and a user can type
// it back whatever the terminal's charset. The image alone where no part
// is set.
std::string FormatImageSelector(const ImageSelector& selector);

// Which of Windows' two hives a file is by its name (its last part, in any
// letter case): SYSTEM.DAT and USER.DAT, and the backups Windows names
// after them (SYSTEM.DA0, SYSTEM.1ST, USER.DA0), wherever they lie; none
// for any other name, whose contents say.
enum class HiveName { kNone, kSystem, kUser };
HiveName HiveNameOf(std::string_view name);

// The Windows directory MSDOS.SYS names: WinDir= under [Paths], as drive
// letter (upper case) and path ("\WIN98").
struct WindowsDirectory {
  char drive = 0;
  std::string path;
};
std::optional<WindowsDirectory> ParseMsdosSys(std::string_view text);

// A disk's FAT volumes, in the partition table's order.
struct FatVolume {
  int number = 0;        // as Linux counts partitions
  bool logical = false;  // in an extended partition
  int disk = 0;          // the machine's hard disk it lies on, in the BIOS's order
};

// A partition of an MBR disk, numbered as Linux numbers them: 1 to 4 the
// primary table's slots, 5 on the logical partitions in the order of the
// extended partition's chain (whatever their order on the disk).
struct Partition {
  int number = 0;
  bool logical = false;
  std::uint8_t type = 0;      // the table's type byte
  std::uint64_t start = 0;    // in 512-byte sectors from the disk's start
  std::uint64_t sectors = 0;
};

struct PartitionTable {
  bool found = false;  // sector 0 holds a partition table
  std::vector<Partition> partitions;  // primaries in slot order, then logicals in chain order
  std::vector<std::string> problems;  // what could not be followed, one line each
};

// The chain of logical partitions is followed this far, and no further:
// DOS gives letters up to Z:, so a longer chain (damaged, or crafted) is no
// disk Windows 9x ran from.
inline constexpr int kMaxLogicalPartitions = 64;

// Reads the MBR at sector 0 and the extended partition's chain through
// readSector (a 512-byte sector by number; false where it cannot be read).
PartitionTable ReadPartitionTable(const std::function<bool(std::uint64_t sector, std::string* bytes)>& readSector);

// Whether DOS gives a partition of this type a drive letter: FAT12, FAT16
// and FAT32, with or without LBA.
bool IsDosFatType(std::uint8_t type);

// The letters DOS gives them: C: the first primary FAT partition of the
// first disk, the next letters the first primary of each other disk, then
// the logical drives disk by disk, then the other primary partitions.
// Same order as volumes (disk by disk); beyond Z: a volume gets none (0).
std::vector<char> DriveLetters(const std::vector<FatVolume>& volumes);

// The size the raw 32-byte entries of a FAT directory claim for the file of
// that short (8.3) name, in any letter case; nullopt when no live entry has
// it. The image library drops an entry whose size cannot be, and the file
// would seem not to be there: this tells what it claims.
std::optional<std::uint32_t> FatEntrySize(std::string_view directory, std::string_view name);

}  // namespace diskimage
