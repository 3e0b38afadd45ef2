// MatchPath on arbitrary pattern and text bytes: the input is the pattern,
// a NUL, then the text; the first byte picks the case flag.
#include <cstdint>
#include <string>

#include "pathpattern/pathpattern.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  int caseFlag = data[0] & 1;
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t cut = input.find('\0');
  std::string pattern = input.substr(0, cut);
  std::string text = cut == std::string::npos ? std::string() : input.substr(cut + 1);
  text = text.substr(0, text.find('\0'));
  int result = MatchPath(pattern.c_str(), text.c_str(), caseFlag);
  if (result != -1 && result != MATCH_ERROR && (result < 0 || result > 7)) __builtin_trap();
  if (LiveAllocationCount() != 0) __builtin_trap();
  return 0;
}
