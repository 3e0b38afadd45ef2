// Reading source files on Windows: each file read whole, with the C
// runtime's binary reads, into memory, where the hive reader reads lazily.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sources/source_files.h"

namespace sources {

using diskimage::DetectImage;
using diskimage::ImageKind;
using hive::HiveBytes;
using hive::LooksLikeHive;
using hive::MemoryHiveBytes;

std::string SystemError(const std::string& path, int error) { return path + ": " + std::strerror(error); }

bool ReadSource(const std::string& path, SourceBytes& out, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = SystemError(path, errno);
    return false;
  }
  // The first sector says whether it is a disk image, which this build
  // does not read.
  char start[512];
  std::size_t head = std::fread(start, 1, sizeof start, file);
  out.image = DetectImage(std::string_view(start, head), {});
  if (out.image != ImageKind::kNone) {
    std::fclose(file);
    return true;
  }
  std::rewind(file);
  std::size_t capacity = 0;
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
  while (true) {
    if (size == capacity) {
      if (capacity >= kMaxSourceBytes) {
        std::fclose(file);
        *error = path + ": too large for a registry file (more than " + std::to_string(kMaxSourceBytes) + " bytes)";
        return false;
      }
      std::size_t grown = capacity == 0 ? std::size_t{1} << 20 : capacity * 2;
      auto bigger = std::make_unique_for_overwrite<char[]>(grown + 1);
      if (size != 0) std::memcpy(bigger.get(), bytes.get(), size);
      bytes = std::move(bigger);
      capacity = grown;
    }
    std::size_t got = std::fread(bytes.get() + size, 1, capacity - size, file);
    size += got;
    if (got == 0) break;
  }
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *error = SystemError(path, errno);
    return false;
  }
  if (LooksLikeHive(std::string_view(bytes.get(), size))) {
    out.hive = MemoryHiveBytes(std::move(bytes), size);
  } else {
    out.bytes = std::move(bytes);
    out.size = size;
  }
  return true;
}

}  // namespace sources
