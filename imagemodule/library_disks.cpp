#include "imagemodule/library_disks.h"

namespace diskimage {

std::unique_ptr<Disk> LibraryDisk(Container format, const std::string& path, Chain& chain, std::string* error) {
  switch (format) {
    case Container::kVhdx: return OpenVhdi(path, chain, error);
    case Container::kE01: return OpenE01(path, chain, error);
    case Container::kQcow:
    case Container::kQcow2:
    case Container::kVmdk:
    case Container::kVdi:
    case Container::kVhd:
    case Container::kRaw: break;
  }
  // Only the chain calls this, for the formats its own readers do not read.
  *error = path + ": no library here reads " + std::string(FormatOf(format).name);
  return nullptr;
}

}  // namespace diskimage
