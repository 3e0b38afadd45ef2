// Disk images as registry sources: a raw disk or FAT volume, VMDK, VHD or
// E01, read through The Sleuth Kit's library in a module that is loaded only
// when a source is an image (image_module.cpp). What this file parses itself
// (an image's first bytes, the source syntax, MSDOS.SYS, DOS drive letters)
// needs no library.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winreg/store.h"

namespace regstore {

enum class ImageKind { kNone, kDisk, kVhd, kVmdk, kE01, kVdi, kQcow2 };

// What an image's first 512 bytes and last 512 bytes say it is; kNone for
// anything else. A hive or a .reg file is never an image.
ImageKind DetectImage(std::string_view head, std::string_view tail);

// A source entry that names a file inside an image:
//   IMAGE#part=N&path=\WINDOWS\SYSTEM.DA0
//   IMAGE#path=\WINDOWS\SYSBCKUP\RB000.CAB&cab=SYSTEM.DAT
// part picks a partition (its number as Linux counts them: 1 to 4 primary, 5
// on logical; 0 a volume without a partition table); path is a file, or a
// Windows directory (its SYSTEM.DAT and USER.DAT); cab a file inside the
// cabinet that path names. '#' cannot be the list separator, and an entry
// that names an existing file is that file.
struct ImageSelector {
  std::string image;
  int partition = -1;  // -1: any
  std::string path;    // empty: the Windows directory the image holds
  std::string cab;
};

// Splits entry at its last '#'. Returns false with a message naming what is
// wrong when the part after it is not a selector.
bool ParseImageSelector(std::string_view entry, ImageSelector* out, std::string* error);

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
};

// The letters DOS gives them: C: the first primary FAT partition, then the
// logical drives in order, then the other primary partitions. Same order as
// volumes; beyond Z: a volume gets none (0).
std::vector<char> DriveLetters(const std::vector<FatVolume>& volumes);

// Reads the registry an image holds, as selected, into reg. False with a
// one-line message naming the image (and the partition) and what is wrong.
bool LoadImage(Registry& reg, const ImageSelector& selector, std::string* error);

}  // namespace regstore
