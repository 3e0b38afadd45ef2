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

std::string TooLargeForRegistryFile(std::string_view size, std::uint64_t limit) {
  return "too large for a registry file (" + std::string(size) + " bytes; one holds at most " + std::to_string(limit) +
         ")";
}

}  // namespace bytes
