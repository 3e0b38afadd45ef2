// A VM disk's file as a disk, on arbitrary bytes: the kind its first bytes
// say (qcow2, qcow, VDI, VHD, VHDX, VMDK), opened as the image module opens
// it, and read where the tables point, through the readers of our own and
// the libraries'. The bytes are a file in memory, as the readers take a
// path; a parent a file names is no file here, and so is refused.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "diskimage/chain.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = memfd_create("vm-disk", 0);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string_view head = bytes.substr(0, 512), tail = size > 512 ? bytes.substr(size - 512) : bytes;
  diskimage::ImageKind kind = diskimage::DetectImage(head, tail);
  diskimage::Chain chain;
  std::string error;
  std::unique_ptr<diskimage::Disk> disk;
  if (kind != diskimage::ImageKind::kNone && kind != diskimage::ImageKind::kDisk &&
      kind != diskimage::ImageKind::kE01 && kind != diskimage::ImageKind::kCabinet &&
      kind != diskimage::ImageKind::kVirtualBox && kind != diskimage::ImageKind::kVmware) {
    disk = diskimage::OpenChain(path, kind, chain, &error);
    if (disk == nullptr && error.empty()) __builtin_trap();
  }
  if (disk != nullptr) {
    // The first MiB, and pieces across the whole disk, as a search for a
    // registry would read them: a claimed size costs what is read.
    std::string piece(64 * 1024, '\0');
    for (std::uint64_t at = 0; at < disk->Size() && at < (1u << 20); at += piece.size()) {
      if (disk->Read(at, piece.data(), piece.size(), &error) < 0) break;
    }
    for (std::uint64_t step = disk->Size() / 16 + 1, at = step; at < disk->Size(); at += step) {
      std::int64_t got = disk->Read(at, piece.data(), 4096, &error);
      if (got > 4096) __builtin_trap();
    }
  }
  disk.reset();
  close(fd);
  return 0;
}
