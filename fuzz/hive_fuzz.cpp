// The hive loader on arbitrary bytes, then every key and value it made.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/walk_everything.h"
#include "winreg/hive.h"
#include "winreg/store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto reg = std::make_unique<regstore::Registry>();
  auto image = std::make_unique<char[]>(size);
  if (size != 0) std::memcpy(image.get(), data, size);
  std::string error;
  if (regstore::LoadHive(*reg, std::move(image), size, "FUZZ.DAT", std::nullopt, &error)) {
    InstallAndWalk(std::move(reg));
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
