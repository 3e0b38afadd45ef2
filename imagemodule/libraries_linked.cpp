// The plug-ins linked in, for the tests and fuzz targets that reach the
// readers under the module's boundary without loading it.
#include "imagemodule/libraries.h"

extern "C" const diskimage::DiskLibrary kormald_vhdx_library;
extern "C" const diskimage::DiskLibrary kormald_e01_library;
extern "C" const diskimage::CabinetLibrary kormald_cabinet_library;
extern "C" const diskimage::VboxLibrary kormald_vbox_library;

namespace diskimage {

const void* LoadLibraryPlugin(Library library, std::string*) {
  switch (library) {
    case Library::kVhdx: return &kormald_vhdx_library;
    case Library::kE01: return &kormald_e01_library;
    case Library::kCabinet: return &kormald_cabinet_library;
    case Library::kVbox: return &kormald_vbox_library;
  }
  return nullptr;
}

}  // namespace diskimage
