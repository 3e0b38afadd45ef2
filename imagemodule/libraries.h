// The readers that need an outside library, each in a plug-in of its own
// (VHDX: libvhdi, E01: libewf, cabinets: libmspack, .vbox: libxml2),
// loaded the first time a source needs it: a run that reads a raw, qcow2,
// VDI, VHD or VMDK image loads none of them, nor the libraries they pull
// in (libxml2 alone brings ICU's 30 MB). Each plug-in exports one table of
// its functions; the module and the plug-ins come from one build, so the
// tables speak the module's own C++.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diskimage/chain.h"
#include "diskimage/machine.h"
#include "imagemodule/image_module.h"

namespace diskimage {

struct CabinetFile {
  std::string name;  // as the cabinet stores it
  std::uint64_t size = 0;
};

struct DiskLibrary {
  std::unique_ptr<Disk> (*open)(const std::string& path, Chain& chain, std::string* error);
};
struct CabinetLibrary {
  bool (*list)(const std::string& cabinet, std::vector<CabinetFile>* files, std::string* error);
  bool (*unpack)(const std::string& cabinet, const std::string& name, std::uint64_t maxBytes, std::string* out,
                 std::string* error);
};
struct VboxLibrary {
  bool (*parse)(std::string_view xml, Machine* machine, std::string* error);
};

enum class Library { kVhdx, kE01, kCabinet, kVbox };

// The table of library's plug-in, loaded now if it was not. Null with
// error naming the plug-in where it cannot be loaded.
const void* LoadLibraryPlugin(Library library, std::string* error);

template <class Table>
const Table* PluginOf(Library library, std::string* error) {
  return static_cast<const Table*>(LoadLibraryPlugin(library, error));
}

}  // namespace diskimage

// What each plug-in exports, by these names.
#define KORMALD_PLUGIN_EXPORT extern "C" KORMALD_MODULE_EXPORT
