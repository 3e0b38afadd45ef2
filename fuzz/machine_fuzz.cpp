// A VirtualBox machine's description, on arbitrary bytes: libxml2 as the
// image module sets it up (no DTD, no network) and the walk over its
// snapshots and media. A state's disks are files its MediaRegistry lists.
#include <cstdint>
#include <string>

#include "imagemodule/vbox.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  diskimage::Machine machine;
  std::string error;
  if (!diskimage::ParseVbox(bytes, &machine, &error)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  if (machine.snapshots.size() > size || machine.media.size() > size) __builtin_trap();
  return 0;
}
