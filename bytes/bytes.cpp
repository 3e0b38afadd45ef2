#include "bytes/bytes.h"

namespace bytes {

void AppendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size());
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    }
  }
}

std::string Hex(std::uint64_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[16];
  std::size_t count = 0;
  do {
    digits[count++] = kHex[n & 0xF];
    n >>= 4;
  } while (n != 0);
  std::string out = "0x";
  while (count > 0) out += digits[--count];
  return out;
}

std::string TooLargeForRegistryFile(std::string_view size, std::uint64_t limit) {
  return "too large for a registry file (" + std::string(size) + " bytes; one holds at most " + std::to_string(limit) +
         ")";
}

}  // namespace bytes
