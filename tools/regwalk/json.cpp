#include "tools/regwalk/json.h"

#include <cstdio>

#include "text/unicode.h"
#include "winreg/winreg.h"

namespace tools::regwalk {

namespace {

const char* TypeName(std::uint32_t type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    default: return nullptr;
  }
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view utf8) {
  out += '"';
  for (char c : utf8) {
    auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendJsonHex(std::string& out, std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  out += '"';
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  out += '"';
}

void AppendUtf8Field(std::string& out, std::string_view field, std::string_view bytes) {
  bool valid = text::IsValidUtf8(bytes);
  std::string shown;
  for (char c : bytes) shown += valid || static_cast<unsigned char>(c) < 0x80 ? c : '?';
  AppendJsonString(out.append(1, '"').append(field).append("\":"), shown);
  if (!valid) AppendJsonHex(out.append(",\"").append(field).append("_hex\":"), bytes);
}

JsonText::JsonText(int codepage) {
  if (codepage == 0) return;
  toUtf8_ = text::TextConverter::Open(text::CodepageCharset(codepage), "UTF-8");
  fromUtf8_ = text::TextConverter::Open("UTF-8", text::CodepageCharset(codepage));
}

bool JsonText::Exact(std::string_view bytes, std::string* utf8) {
  if (text::IsAscii(bytes)) {
    utf8->assign(bytes);
    return true;
  }
  // Exact only where the text converts back to the very bytes: a
  // conversion that reports no loss can still map two byte pairs to one
  // character (glibc does for 398 pairs of codepage 932).
  std::string back;
  return toUtf8_ && fromUtf8_ && toUtf8_->ConvertExactly(bytes, utf8) && fromUtf8_->ConvertExactly(*utf8, &back) &&
         back == bytes;
}

void JsonText::Field(std::string& out, std::string_view field, std::string_view bytes) {
  if (!Readable(out, field, bytes)) AppendJsonHex(out.append(",\"").append(field).append("_hex\":"), bytes);
}

bool JsonText::Readable(std::string& out, std::string_view field, std::string_view bytes) {
  std::string utf8;
  bool exact = Exact(bytes, &utf8);
  if (!exact) {
    // A readable form all the same: what the codepage defines, '?' for the rest.
    if (toUtf8_) {
      utf8 = toUtf8_->Convert(bytes);
    } else {
      utf8.clear();
      for (char c : bytes) utf8 += static_cast<unsigned char>(c) < 0x80 ? c : '?';
    }
  }
  AppendJsonString(out.append(1, '"').append(field).append("\":"), utf8);
  return exact;
}

void JsonText::Value(std::string& out, std::string_view name, std::uint32_t type, std::string_view data) {
  out += '{';
  Field(out, "name", name);
  out += ",\"type\":";
  if (const char* typeName = TypeName(type)) {
    AppendJsonString(out, typeName);
  } else {
    out += "null";
  }
  out += ",\"type_code\":" + std::to_string(type);
  bool written = false;
  if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && data.size() == 4) {
    std::uint32_t n = 0;
    for (int i = 0; i < 4; ++i) {
      std::size_t at = type == REG_DWORD ? static_cast<std::size_t>(3 - i) : static_cast<std::size_t>(i);
      n = n << 8 | static_cast<unsigned char>(data[at]);
    }
    out += ",\"data\":" + std::to_string(n);
    written = true;
  } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
    bool terminated = !data.empty() && data.back() == '\0';
    out += terminated ? ",\"terminated\":true," : ",\"terminated\":false,";
    std::string_view text = terminated ? data.substr(0, data.size() - 1) : data;
    if (!Readable(out, "data", text)) AppendJsonHex(out += ",\"data_hex\":", data);
    written = true;
  } else if (type == REG_MULTI_SZ && data == std::string_view("\0\0", 2)) {
    out += ",\"data\":[]";  // the empty list, as Windows stores it
    written = true;
  } else if (type == REG_MULTI_SZ && data.size() >= 2 && data.ends_with(std::string_view("\0\0", 2))) {
    // Strings each ended by a NUL, and a NUL after the last: no empty one
    // inside, which would end the list.
    std::string list = "[";
    std::string_view rest = data.substr(0, data.size() - 1);
    bool exact = true;
    while (exact && !rest.empty()) {
      std::size_t end = rest.find('\0');
      std::string utf8;
      exact = end != 0 && Exact(rest.substr(0, end), &utf8);
      if (list.size() > 1) list += ',';
      AppendJsonString(list, utf8);
      rest.remove_prefix(end + 1);
    }
    if (exact) {
      out += ",\"data\":" + list + "]";
      written = true;
    }
  }
  if (!written) AppendJsonHex(out += ",\"data_hex\":", data);
  out += '}';
}

}  // namespace tools::regwalk
