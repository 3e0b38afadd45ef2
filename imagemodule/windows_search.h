// The one search for the Windows directory of an image's volumes, which
// reading and the listing share: what MSDOS.SYS on the boot volume (C:)
// names, as Windows boots by it, and every top-level folder of each volume
// that holds a registry, as Windows' setup takes any name for its folder.
// Each part opens only the volumes it looks at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "diskimage/image.h"
#include "imagemodule/volumes.h"

namespace diskimage {

// MSDOS.SYS is a text file of some kilobytes: a larger one is none DOS wrote.
inline constexpr std::uint64_t kMaxMsdosSysBytes = 1 << 20;

// What MSDOS.SYS on C: says.
struct MsdosSysSays {
  Volume* boot = nullptr;  // C:, where it holds a FAT volume
  std::string unreadable;  // it is there but cannot be read: why ("" where it was read, or is not there)
  std::optional<WindowsDirectory> named;  // where it names a directory
  Volume* volume = nullptr;    // the volume of the letter named, where there is one
  FatFileSystem* fs = nullptr;  // its file system, where it holds one
};
MsdosSysSays ReadMsdosSys(Image& image);

// A folder that may be the Windows directory.
struct WindowsCandidate {
  Volume* volume;
  FatFileSystem* fs;
  std::string dir;  // "/WINDOWS", as VolumePath writes it
};

// The top-level folders holding a registry, volume by volume: of the
// volumes DOS gives a letter and a volume without a partition table where
// lettered, of every volume otherwise. anyFat says whether any volume
// looked at holds a FAT file system.
std::vector<WindowsCandidate> TopLevelFolders(Image& image, bool lettered, bool* anyFat = nullptr);

}  // namespace diskimage
