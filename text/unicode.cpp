#include "text/unicode.h"

#include <cstring>

namespace text {

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool Utf16ToUtf8(std::string_view bytes, std::string& out, bool markLone) {
  std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8;
  };
  auto high = [](std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; };
  auto low = [](std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; };
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = unit(i);
    if (high(u) && i + 1 < units && low(unit(i + 1))) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
    } else if ((high(u) || low(u)) && !markLone) {
      return false;
    } else {
      AppendUtf8(out, u);
    }
  }
  return true;
}

bool HoldsMarkedSurrogate(std::string_view text) {
  // A surrogate's three bytes begin ED A0 to ED BF; no valid text has them.
  for (std::size_t i = text.find('\xED'); i != std::string_view::npos && i + 1 < text.size();
       i = text.find('\xED', i + 1)) {
    if (static_cast<unsigned char>(text[i + 1]) >= 0xA0) return true;
  }
  return false;
}

bool IsValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

bool IsAscii(std::string_view text) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    high |= word;
  }
  for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
  return (high & 0x8080808080808080ULL) == 0;
}

std::optional<int> ParseCodepageNumber(std::string_view digits) {
  constexpr int kLargest = 65535;
  if (digits.empty()) return std::nullopt;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
    if (n > kLargest) return std::nullopt;
  }
  if (n == 0) return std::nullopt;
  return n;
}

}  // namespace text
