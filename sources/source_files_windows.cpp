// Reading source files on Windows: each file read whole, with the C
// runtime's binary reads, into memory, where the hive reader reads lazily.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <io.h>
#include <new>
#include <utility>

#include "bytes/bytes.h"
#include "sources/source_files.h"
#include "text/wide.h"

namespace sources {

using diskimage::SourceKind;
using diskimage::SourceType;
using hive::HiveBytes;
using hive::LooksLikeHive;
using hive::MemoryHiveBytes;

std::string SystemError(const std::string& path, int error) { return path + ": " + std::strerror(error); }

std::FILE* OpenHostFile(const std::string& path) {
#if defined(_WIN64)
  // The 64-bit build runs on Windows NT alone, whose wide calls open any
  // name; the 32-bit one runs on Windows 9x too, where they do nothing.
  return ::_wfopen(text::WideOf(path).c_str(), L"rb");
#else
  return std::fopen(path.c_str(), "rb");
#endif
}

bool ReadSource(const std::string& path, SourceBytes& out, std::string* error) {
  std::FILE* file = OpenHostFile(path);
  if (file == nullptr) {
    *error = SystemError(path, errno);
    return false;
  }
  // The first sector and the last say whether it is a disk image (a fixed
  // VHD is told by its last alone), which this build does not read, and
  // the first whether it may be a registry file at all: anything else is
  // not read further.
  char start[kHeadBytes];
  std::size_t head = std::fread(start, 1, sizeof start, file);
  char end[kHeadBytes];
  std::size_t tail = 0;
  long long length = _filelengthi64(_fileno(file));
  // fsetpos, as Windows 98's C runtime has it and no 64-bit fseek.
  if (fpos_t at = length - static_cast<long long>(kHeadBytes); head == kHeadBytes && at >= 0) {
    fpos_t back = static_cast<fpos_t>(head);
    if (std::fsetpos(file, &at) == 0) tail = std::fread(end, 1, sizeof end, file);
    if (std::fsetpos(file, &back) != 0) {
      *error = SystemError(path, errno);
      std::fclose(file);
      return false;
    }
  }
  out.image = SourceKindOf(std::string_view(start, head), std::string_view(end, tail));
  if (out.image.type != SourceType::kNone || !MayBeRegistry(std::string_view(start, head))) {
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

// Plain memory: the module reads the image's bytes into it.
FileBlock FileBlock::Allocate(std::size_t size) {
  FileBlock block;
  block.data_ = new (std::nothrow) char[size == 0 ? 1 : size];
  block.size_ = size;
  return block;
}

FileBlock& FileBlock::operator=(FileBlock&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  return *this;
}

FileBlock::~FileBlock() { delete[] data_; }

std::unique_ptr<hive::HiveBytes> FileBlock::TakeHive(std::string_view bytes) {
  if (bytes.data() != data_ || !Holds(bytes.data(), bytes.size())) return hive::CopyHiveBytes(bytes);
  size_ = 0;
  return hive::MemoryHiveBytes(std::unique_ptr<char[]>(std::exchange(data_, nullptr)), bytes.size());
}

}  // namespace sources
