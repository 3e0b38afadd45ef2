// Reading source files on Windows: each file read whole, with the C
// runtime's binary reads, into memory, where the hive reader reads lazily.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bytes/bytes.h"
#include "sources/source_files.h"

namespace sources {

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
  // does not read, and whether it may be a registry file at all: anything
  // else is not read further.
  char start[kHeadBytes];
  std::size_t head = std::fread(start, 1, sizeof start, file);
  out.image = ImageKindOf(std::string_view(start, head), {});
  if (out.image != ImageKind::kNone || !MayBeRegistry(std::string_view(start, head))) {
    std::fclose(file);
    return true;
  }
  std::size_t capacity = kHeadBytes;
  auto bytes = std::make_unique_for_overwrite<char[]>(capacity + 1);
  std::memcpy(bytes.get(), start, head);
  std::size_t size = head;
  while (size == capacity) {
    if (capacity > kMaxRegistryFileBytes) {
      std::fclose(file);
      *error = path + ": " +
               bytes::TooLargeForRegistryFile("more than " + std::to_string(kMaxRegistryFileBytes), kMaxRegistryFileBytes);
      return false;
    }
    // Never more room than one byte past the largest registry file.
    std::size_t grown = std::min<std::size_t>(std::max<std::size_t>(capacity * 2, std::size_t{1} << 20),
                                              static_cast<std::size_t>(kMaxRegistryFileBytes) + 1);
    auto bigger = std::make_unique_for_overwrite<char[]>(grown + 1);
    std::memcpy(bigger.get(), bytes.get(), size);
    bytes = std::move(bigger);
    capacity = grown;
    size += std::fread(bytes.get() + size, 1, capacity - size, file);
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
