// The .reg loader on arbitrary bytes, then every key and value it made.
#include <cstdint>
#include <string>

#include "fuzz/walk_everything.h"
#include "winreg/regfile.h"
#include "winreg/store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto reg = std::make_unique<regstore::Registry>();
  std::string error;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (regstore::LoadRegFile(*reg, bytes, "fuzz.reg", &error)) {
    InstallAndWalk(std::move(reg));
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
