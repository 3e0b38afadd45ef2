// A FAT volume's bytes, arbitrary: the boot sector, the FAT and the
// directories read as the image module reads them, from the root down two
// levels, every file read, and read again into pages that take the host
// file's own pages where they lie in step (as the tools' blocks do): the
// two must agree. The bytes are the start of a raw disk file of 64 MiB,
// zeros past them, so that a FAT32 volume's start alone is a volume.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diskimage/disk.h"
#include "diskimage/fat.h"
#include "diskimage/host_file.h"

namespace {

constexpr std::uint64_t kVolumeBytes = 64 << 20;

// The file read into a block of pages with a page to spare, as the tools
// give one: it must read as the plain read did.
void ReadIntoPages(diskimage::FatFileSystem& fs, const diskimage::FatEntry& e, const std::string& path,
                   const std::string& plain) {
  const std::size_t page = diskimage::HostFile::PageBytes();
  const std::size_t size = plain.size() + page;
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return;
  std::string_view placed;
  std::string error;
  bool read = fs.Read(e, path, [&](std::size_t) {
    return diskimage::FatFileSystem::RoomBlock{static_cast<char*>(block), page};
  }, &placed, &error);
  if (!read || placed != plain) __builtin_trap();
  ::munmap(block, size);
}

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
      ReadIntoPages(fs, e, below, bytes);
    } else if (error.empty()) {
      __builtin_trap();
    }
    fs.Find(below, &error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Made once, and removed with the process.
  static const struct Folder {
    Folder() {
      char name[] = "/tmp/fat-fuzz-XXXXXX";
      path = mkdtemp(name) != nullptr ? name : "";
    }
    ~Folder() {
      if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::string path;
  } folder;
  if (folder.path.empty() || size > kVolumeBytes) return 0;
  const std::string path = folder.path + "/volume";
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                  static_cast<std::streamsize>(size));
  if (::truncate(path.c_str(), static_cast<off_t>(kVolumeBytes)) != 0) return 0;
  std::string error;
  std::unique_ptr<diskimage::Disk> volume = diskimage::OpenRawDisk(path, &error);
  if (volume == nullptr) return 0;
  std::unique_ptr<diskimage::FatFileSystem> fs = diskimage::FatFileSystem::Open(*volume, 0, &error, nullptr, 850);
  if (fs == nullptr) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  Walk(*fs, fs->Root(), "", 0);
  fs->Find("/WINDOWS/SYSTEM.DAT", &error);
  return 0;
}
