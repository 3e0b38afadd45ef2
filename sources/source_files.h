// Reading the files a registry comes from: the part of choosing sources
// that differs between platforms (source_files_posix.cpp,
// source_files_windows.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "diskimage/formats.h"
#include "hive/hive.h"
#include "sources/sources.h"

namespace sources {

// A source file's bytes: a hive ready for the hive reader, the whole file,
// or for a disk image only what kind it is (the image module reads it).
// None of these for a file whose first bytes are no registry's: it is not
// read further.
struct SourceBytes {
  diskimage::SourceKind image;
  std::unique_ptr<hive::HiveBytes> hive;
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
};

bool ReadSource(const std::string& path, SourceBytes& out, std::string* error);

// Memory for a whole file the image module reads out of an image, which
// a hive then keeps. On POSIX systems it is whole pages of a mapping of
// its own, which the module may replace with the image file's own pages
// where the file lies there as it reads (guarded, as a mapped hive is,
// against the image being cut short while mapped); elsewhere plain memory.
class FileBlock {
 public:
  // Null (data() null) where there is no such memory, or no guard left.
  static FileBlock Allocate(std::size_t size);
  // Whether the image's pages may be mapped over the block.
  static constexpr bool kPages =
#if defined(_WIN32)
      false;
#else
      true;
#endif

  FileBlock() = default;
  FileBlock(FileBlock&& other) noexcept { *this = std::move(other); }
  FileBlock& operator=(FileBlock&& other) noexcept;
  ~FileBlock();
  char* data() const { return data_; }
  bool Holds(const char* bytes, std::size_t size) const {
    return data_ != nullptr && bytes >= data_ && size <= size_ && static_cast<std::size_t>(bytes - data_) <= size_ - size;
  }
  // bytes, which the block holds, as a hive's; the hive keeps the block.
  std::unique_ptr<hive::HiveBytes> TakeHive(std::string_view bytes);

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Whether a file's first bytes (its first sector, or all of a shorter file)
// may begin a registry file: a hive or an export, as their readers tell.
bool MayBeRegistry(std::string_view head);

// What a file's first and last sectors say it is, asking each reader's own
// signature check in turn: the registry readers first (a hive or an export
// is never an image), then the disk image detection.
diskimage::SourceKind SourceKindOf(std::string_view head, std::string_view tail);

// The bytes at the start of a file that tell what it is.
inline constexpr std::size_t kHeadBytes = 512;

// "path: what the system says of error".
std::string SystemError(const std::string& path, int error);

// What a path names, as the system says; for nothing, *error holds the
// system's error number.
enum class PathIs { kNothing, kFile, kDirectory };
PathIs Inspect(const std::string& path, int* error);

// The names of a directory's entries, in the system's order. False with
// the system's error number in *error.
bool DirectoryNames(const std::string& path, std::vector<std::string>* names, int* error);

}  // namespace sources
