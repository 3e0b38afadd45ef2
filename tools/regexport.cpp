#include "tools/regexport.h"

#include <cstdio>

#include "winreg/winreg.h"

namespace {

// Where regedit breaks a hex line: past this many characters.
constexpr std::size_t kHexLineLimit = 76;

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// A REG_SZ whose data is one text and its terminator, with no line break
// or NUL inside, reads back byte for byte from a quoted string.
bool QuotableString(std::uint32_t type, std::string_view data) {
  if (type != REG_SZ || data.empty() || data.back() != '\0') return false;
  std::string_view text = data.substr(0, data.size() - 1);
  return text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

}  // namespace

bool ExportableName(std::string_view name) {
  return name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

std::string FormatSection(std::string_view path) {
  std::string out = "[";
  out += path;
  out += ']';
  return out;
}

std::string FormatValue(std::string_view name, std::uint32_t type, std::string_view data, bool wrap) {
  std::string out;
  if (name.empty()) {
    out = "@";
  } else {
    AppendQuoted(out, name);
  }
  out += '=';
  if (QuotableString(type, data)) {
    AppendQuoted(out, data.substr(0, data.size() - 1));
    return out;
  }
  if (type == REG_DWORD && data.size() == 4) {
    auto byte = [&](int i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])); };
    char number[16];
    std::snprintf(number, sizeof number, "dword:%08x", byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
    return out + number;
  }
  if (type == REG_BINARY) {
    out += "hex:";
  } else {
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", type);
    out += prefix;
  }
  static const char digits[] = "0123456789abcdef";
  std::size_t column = out.size();
  for (std::size_t i = 0; i < data.size(); ++i) {
    auto c = static_cast<unsigned char>(data[i]);
    out += digits[c >> 4];
    out += digits[c & 15];
    column += 2;
    if (i + 1 == data.size()) break;
    out += ',';
    ++column;
    if (wrap && column > kHexLineLimit) {
      out += "\\\r\n  ";
      column = 2;
    }
  }
  return out;
}
