// The image module's questions of a FAT volume (fat.h): reading a file
// whole, what a path names, and where the Windows directories are, each
// worded as the module's messages word it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "diskimage/fat.h"
#include "diskimage/messages.h"

namespace diskimage {

// A path as the module keeps it: '/' between names and one before the
// first ("/WINDOWS/SYSTEM.DAT"), whichever the user wrote.
std::string VolumePath(std::string path);

// The whole of a file of kind (for a message) of at most maxBytes. False
// when it is not there (error left empty) or cannot be read (error says
// why: an entry claiming more than the volume holds, a chain that cannot
// be followed, a failed read of the disk).
bool ReadFile(FatFileSystem& fs, const std::string& path, std::uint64_t maxBytes, std::string* bytes,
              std::string* error, std::string_view kind = kRegistryFile);
// The same into the memory room gives, placed where it says
// (FatFileSystem::Read).
bool ReadFile(FatFileSystem& fs, const std::string& path, std::uint64_t maxBytes, const FatFileSystem::Room& room,
              std::string_view* placed, std::string* error, std::string_view kind = kRegistryFile);

bool IsDirectory(FatFileSystem& fs, const std::string& path);
// Whether a file is there, or damage on its path stands in the way:
// reading it then says which.
bool Exists(FatFileSystem& fs, const std::string& path);
// Whether a directory holds SYSTEM.DAT or USER.DAT.
bool HoldsRegistry(FatFileSystem& fs, const std::string& dir);
// The folders at the top of a volume that hold SYSTEM.DAT or USER.DAT, in
// the root directory's order ("/WINDOWS", "/WIN98"): Windows' setup takes
// any name for its directory, and a dual-boot disk often has D:\WIN98.
std::vector<std::string> WindowsDirectories(FatFileSystem& fs);

}  // namespace diskimage
