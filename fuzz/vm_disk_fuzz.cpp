// A VM disk's file as a disk, on arbitrary bytes: the container format its
// first bytes say (formats.h), opened as the image module opens it, and read where the tables point, through the readers of our own and
// the libraries'. The bytes are a file alone in a folder of its own, as
// the readers take a path: a parent or an extent a file names is no file
// there (or the file itself), and so is refused or read as it.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "diskimage/chain.h"
#include "diskimage/host_file.h"
#include "imagemodule/library_disks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Made once, and removed with the process.
  static const struct Folder {
    Folder() {
      char name[] = "/tmp/vm-disk-fuzz-XXXXXX";
      path = mkdtemp(name) != nullptr ? name : "";
    }
    ~Folder() {
      if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::string path;
  } folder;
  if (folder.path.empty()) return 0;
  const std::string path = folder.path + "/disk";
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                  static_cast<std::streamsize>(size));
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string_view head = bytes.substr(0, 512), tail = size > 512 ? bytes.substr(size - 512) : bytes;
  diskimage::SourceKind kind = diskimage::DetectSource(head, tail);
  diskimage::Chain chain(diskimage::LibraryDisk);
  std::string error;
  std::unique_ptr<diskimage::Disk> disk;
  // Every container the table has, as the chain opens it; but E01, whose
  // segments libewf reads (ours are fuzzed by the image parse target).
  if (kind.type == diskimage::SourceType::kDisk && kind.container != diskimage::Container::kE01) {
    disk = diskimage::OpenChain(path, kind.container, chain, &error);
    if (disk == nullptr && error.empty()) __builtin_trap();
  }
  if (disk != nullptr) {
    // The first MiB, and pieces across the whole disk, as a search for a
    // registry would read them: a claimed size costs what is read.
    std::string piece(64 * 1024, '\0');
    for (std::uint64_t at = 0; at < disk->Size() && at < (1u << 20); at += piece.size()) {
      if (disk->Read(at, piece.data(), piece.size(), &error) < 0) break;
    }
    std::string host;
    for (std::uint64_t step = disk->Size() / 16 + 1, at = step; at < disk->Size(); at += step) {
      std::int64_t got = disk->Read(at, piece.data(), 4096, &error);
      if (got > 4096) __builtin_trap();
      // Where the disk says its bytes lie in a file, they are what it reads
      // (a read that fails past them, a flat extent cut short, may fail).
      diskimage::HostRun run = disk->Locate(at, 4096);
      if (run.file == nullptr) continue;
      if (run.length == 0 || run.length > 4096 || run.offset + run.length > run.file->Size()) __builtin_trap();
      if (got < static_cast<std::int64_t>(run.length)) continue;
      host.resize(run.length);
      if (run.file->ReadAt(run.offset, host.data(), host.size(), &error) != static_cast<std::int64_t>(host.size()) ||
          host.compare(0, host.size(), piece.data(), host.size()) != 0) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
