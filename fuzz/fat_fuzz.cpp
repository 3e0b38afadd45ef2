// A FAT volume's bytes, arbitrary: the boot sector, the FAT and the
// directories read as the image module reads them, from the root down two
// levels, every file read. The bytes are the volume's start; past them it
// reads as zeros up to 64 MiB, so that a FAT32 volume's start alone is a
// volume.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "diskimage/disk.h"
#include "diskimage/fat.h"

namespace {

class Volume : public diskimage::Disk {
 public:
  Volume(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint64_t Size() const override { return kSize; }
  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string*) override {
    if (offset >= kSize) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, kSize - offset));
    std::memset(out, 0, length);
    if (offset < size_) std::memcpy(out, data_ + offset, std::min<std::size_t>(length, size_ - offset));
    return static_cast<std::int64_t>(length);
  }

 private:
  static constexpr std::uint64_t kSize = 64 << 20;
  const std::uint8_t* data_;
  std::size_t size_;
};

void Walk(diskimage::FatFileSystem& fs, const diskimage::FatEntry& dir, const std::string& path, int depth) {
  std::vector<diskimage::FatEntry> entries;
  std::string error;
  if (!fs.List(dir, path, &entries, &error)) {
    if (error.empty()) __builtin_trap();
    return;
  }
  for (const diskimage::FatEntry& e : entries) {
    std::string below = path + "\\" + e.name;
    if (e.directory) {
      if (depth < 2) Walk(fs, e, below, depth + 1);
      continue;
    }
    // What the module reads of a registry file at most.
    if (e.size > (16u << 20)) continue;
    std::string bytes;
    if (fs.Read(e, below, &bytes, &error)) {
      if (bytes.size() != e.size) __builtin_trap();
    } else if (error.empty()) {
      __builtin_trap();
    }
    fs.Find(below, &error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Volume volume(data, size);
  std::string error;
  std::unique_ptr<diskimage::FatFileSystem> fs = diskimage::FatFileSystem::Open(volume, 0, &error, nullptr, 850);
  if (fs == nullptr) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  Walk(*fs, fs->Root(), "", 0);
  fs->Find("/WINDOWS/SYSTEM.DAT", &error);
  return 0;
}
