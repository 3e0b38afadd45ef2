#include "regfile/hex_data.h"

#include "regfile/reg_text.h"

namespace regfile {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

WindowsNumber ReadWindowsNumber(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\v' || s[i] == '\f')) ++i;
  bool negative = i < s.size() && s[i] == '-';
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) i += 2;
  std::uint64_t magnitude = 0;
  bool saturated = false;
  std::size_t first = i;
  for (; i < s.size() && HexDigit(s[i]) >= 0; ++i) {
    if (magnitude >> 60 != 0) saturated = true;
    magnitude = saturated ? magnitude : magnitude << 4 | static_cast<std::uint64_t>(HexDigit(s[i]));
  }
  WindowsNumber n;
  if (i == first) return n;
  n.used = i;
  constexpr std::uint64_t kUint32Max = 0xFFFFFFFFULL;
  if (!negative) {
    if (saturated || magnitude > kUint32Max) {
      n.value = 0xFFFFFFFFU;
      n.outOfRange = true;
    } else {
      n.value = static_cast<std::uint32_t>(magnitude);
    }
  } else if (saturated || magnitude > kUint32Max) {
    n.value = 1;
    n.outOfRange = true;
  } else {
    n.value = static_cast<std::uint32_t>(0 - magnitude);
  }
  return n;
}

bool AppendHexBytes(std::string_view s, std::string* data, bool* continued) {
  std::size_t i = 0;
  while (i < s.size()) {
    // Two digits and a comma or the end, as every export writes a byte,
    // read as wcstoul would read them.
    bool pair = i + 1 < s.size() && HexDigit(s[i]) >= 0 && HexDigit(s[i + 1]) >= 0;
    if (pair && (i + 2 == s.size() || s[i + 2] == ',')) {
      *data += static_cast<char>(HexDigit(s[i]) << 4 | HexDigit(s[i + 1]));
      i += 3;
      continue;
    }
    WindowsNumber n = ReadWindowsNumber(s.substr(i));
    if (n.value > 0xFF) return false;
    if (n.used == 0) {
      std::string_view after = TrimLeft(s.substr(i));
      if (after.starts_with(';')) return true;
      if (!after.starts_with('\\')) return false;
      after = TrimLeft(after.substr(1));
      *continued = true;
      return after.empty() || after.starts_with(';');
    }
    *data += static_cast<char>(n.value);
    i += n.used;
    if (i < s.size() && s[i] != ',') {
      std::string_view after = TrimLeft(s.substr(i));
      return after.empty() || after.starts_with(';');
    }
    if (i < s.size()) ++i;
  }
  return true;
}

}  // namespace regfile
