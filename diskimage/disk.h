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

class HostFile;

// Where a run of a disk's bytes lies as the bytes of one host file, stored
// as they read: none (file null) where they are not (compressed, zeros,
// never written, or past the file's end).
struct HostRun {
  const HostFile* file = nullptr;
  std::uint64_t offset = 0;  // in the file
  std::uint64_t length = 0;
};

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
  // Where the bytes from offset lie in one host file, in a row, for at
  // most length bytes: what a reader that would rather map a file's pages
  // than copy them asks first. Read is always right; a disk that cannot
  // tell, or would have to read to tell, says none.
  virtual HostRun Locate([[maybe_unused]] std::uint64_t offset, [[maybe_unused]] std::uint64_t length) { return {}; }
};

// A raw disk or volume: a file or a block device. Null with error saying
// why it cannot be opened.
std::unique_ptr<Disk> OpenRawDisk(const std::string& path, std::string* error);

}  // namespace diskimage
