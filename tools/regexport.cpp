#include "tools/regexport.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "winreg/winreg.h"

namespace {

// Where regedit breaks a hex line: past this many characters.
constexpr std::size_t kHexLineLimit = 76;

// What each byte is to a quoted text: 1 it is escaped, 2 it cannot stand
// in one (a line break or a NUL), 0 it goes in as it is.
constexpr auto kQuoting = [] {
  std::array<unsigned char, 256> table{};
  table[static_cast<unsigned char>('\\')] = 1;
  table[static_cast<unsigned char>('"')] = 1;
  table[0] = table[static_cast<unsigned char>('\r')] = table[static_cast<unsigned char>('\n')] = 2;
  return table;
}();

// Appends text in quotes, with \\ and \" escaped, in one pass; false (and
// out as it was) when the text holds a line break or a NUL.
bool AppendQuoted(std::string& out, std::string_view text) {
  std::size_t start = out.size();
  // Written through a pointer into room for the worst case.
  out.resize(start + 2 * text.size() + 2);
  char* at = out.data() + start;
  *at++ = '"';
  for (char c : text) {
    unsigned char kind = kQuoting[static_cast<unsigned char>(c)];
    if (kind != 0) {
      if (kind == 2) {
        out.resize(start);
        return false;
      }
      *at++ = '\\';
    }
    *at++ = c;
  }
  *at++ = '"';
  out.resize(static_cast<std::size_t>(at - out.data()));
  return true;
}

}  // namespace

bool ExportableName(std::string_view name) {
  for (char c : name) {
    if (kQuoting[static_cast<unsigned char>(c)] == 2) return false;
  }
  return true;
}

void AppendFormattedValue(std::string& out, std::string_view name, std::uint32_t type, std::string_view data,
                          bool wrap, regstore::TextConverter* toUtf16) {
  std::size_t lineStart = out.size();
  if (name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, name);
  }
  out += '=';
  // A REG_SZ whose data is one text and its terminator, with no line break
  // or NUL inside, reads back byte for byte from a quoted string.
  if (type == REG_SZ && !data.empty() && data.back() == '\0' &&
      AppendQuoted(out, data.substr(0, data.size() - 1))) {
    return;
  }
  static const char digits[] = "0123456789abcdef";
  if (type == REG_DWORD && data.size() == 4) {
    // Little-endian in the data, eight hex digits most significant first.
    char number[14] = {'d', 'w', 'o', 'r', 'd', ':'};
    for (int i = 0; i < 4; ++i) {
      auto c = static_cast<unsigned char>(data[3 - i]);
      number[6 + 2 * i] = digits[c >> 4];
      number[7 + 2 * i] = digits[c & 15];
    }
    out.append(number, sizeof number);
    return;
  }
  std::string wide;
  if (toUtf16 != nullptr && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
    wide = toUtf16->Convert(data);
    data = wide;
  }
  if (type == REG_BINARY) {
    out += "hex:";
  } else {
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", type);
    out += prefix;
  }
  // Written through a pointer into room made beforehand: three characters
  // a byte, and five more for each line break.
  std::size_t column = out.size() - lineStart;
  std::size_t start = out.size();
  out.resize(start + data.size() * 3 + (wrap ? (data.size() * 3 / (kHexLineLimit - 2) + 1) * 5 : 0));
  char* at = out.data() + start;
  for (std::size_t i = 0; i < data.size(); ++i) {
    auto c = static_cast<unsigned char>(data[i]);
    *at++ = digits[c >> 4];
    *at++ = digits[c & 15];
    column += 2;
    if (i + 1 == data.size()) break;
    *at++ = ',';
    ++column;
    if (wrap && column > kHexLineLimit) {
      std::memcpy(at, "\\\r\n  ", 5);
      at += 5;
      column = 2;
    }
  }
  out.resize(static_cast<std::size_t>(at - out.data()));
}
