// Reading the files a registry comes from: the part of choosing sources
// that differs between platforms (source_files_posix.cpp,
// source_files_windows.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "diskimage/image.h"
#include "hive/hive.h"
#include "sources/sources.h"

namespace sources {

// Far above any Windows 9x registry (they stop working long before), and
// low enough that a wrong path to a disk image fails fast and clearly.
inline constexpr std::uint64_t kMaxSourceBytes = std::uint64_t{1} << 30;

// A source file's bytes: a hive ready for the hive reader, the whole file,
// or for a disk image only what kind it is (the image module reads it).
struct SourceBytes {
  diskimage::ImageKind image = diskimage::ImageKind::kNone;
  std::unique_ptr<hive::HiveBytes> hive;
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
};

bool ReadSource(const std::string& path, SourceBytes& out, std::string* error);

// "path: what the system says of error".
std::string SystemError(const std::string& path, int error);

}  // namespace sources
