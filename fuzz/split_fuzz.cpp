// SplitLiteralPrefix on arbitrary pattern bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "pathpattern/pathpattern.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string pattern(reinterpret_cast<const char*>(data), size);
  pattern = pattern.substr(0, pattern.find('\0'));
  const char* rest = nullptr;
  char* leading = SplitLiteralPrefix(pattern.c_str(), &rest);
  if (leading != nullptr) {
    // The leading part is a prefix of the pattern, and the rest lies in it.
    std::size_t n = std::strlen(leading);
    if (pattern.compare(0, n, leading) != 0) __builtin_trap();
    if (rest < pattern.c_str() || rest > pattern.c_str() + pattern.size()) __builtin_trap();
    FreeBytes(leading);
  }
  if (LiveAllocationCount() != 0) __builtin_trap();
  return 0;
}
