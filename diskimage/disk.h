// One reader of a disk's bytes, whatever holds them: a raw file or device,
// or a container format and the chain of files it stands on. The partition
// table is read from it, and the FAT reader reads the file systems through
// it (fat.h), so that every container is read the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace diskimage {

class Disk {
 public:
  virtual ~Disk() = default;
  // The disk's size, as its container states it: a raw file cut short
  // holds less, which Read tells.
  virtual std::uint64_t Size() const = 0;
  // Reads up to length bytes at offset into out: the count read, short
  // only where the bytes end (the disk's size, or a cut file's end); -1 on
  // a failed read, with error saying why.
  virtual std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) = 0;
};

// A raw disk or volume: a file or a block device. Null with error saying
// why it cannot be opened.
std::unique_ptr<Disk> OpenRawDisk(const std::string& path, std::string* error);

}  // namespace diskimage
