#include "imagemodule/library_disks.h"

#include "imagemodule/libraries.h"
#include "imagemodule/vbox.h"

namespace diskimage {

std::unique_ptr<Disk> LibraryDisk(Container format, const std::string& path, Chain& chain, std::string* error) {
  Library library = Library::kVhdx;
  switch (format) {
    case Container::kVhdx: library = Library::kVhdx; break;
    case Container::kE01: library = Library::kE01; break;
    case Container::kVmdk:
    case Container::kQcow:
    case Container::kQcow2:
    case Container::kVdi:
    case Container::kVhd:
    case Container::kRaw:
      // Only the chain calls this, for the formats its own readers do not read.
      *error = path + ": no library here reads " + std::string(FormatOf(format).name);
      return nullptr;
  }
  const auto* reader = PluginOf<DiskLibrary>(library, error);
  if (reader == nullptr) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return reader->open(path, chain, error);
}

bool ParseVbox(std::string_view xml, Machine* machine, std::string* error) {
  const auto* reader = PluginOf<VboxLibrary>(Library::kVbox, error);
  return reader != nullptr && reader->parse(xml, machine, error);
}

}  // namespace diskimage
