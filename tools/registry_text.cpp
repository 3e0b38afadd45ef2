#include "tools/registry_text.h"

#include "text/unicode.h"
#include "winreg/winreg.h"

namespace tools {

RegistryText::RegistryText(int codepage) {
  if (codepage == 0) return;
  toUtf8_ = text::TextConverter::Open(text::CodepageCharset(codepage), "UTF-8");
  fromUtf8_ = text::TextConverter::Open("UTF-8", text::CodepageCharset(codepage));
}

bool RegistryText::Exact(std::string_view bytes, std::string* utf8) const {
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

std::string RegistryText::Readable(std::string_view bytes, bool* exact) const {
  std::string utf8;
  *exact = Exact(bytes, &utf8);
  if (*exact) return utf8;
  if (toUtf8_) return toUtf8_->Convert(bytes);
  utf8.clear();
  for (char c : bytes) utf8 += static_cast<unsigned char>(c) < 0x80 ? c : '?';
  return utf8;
}

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

ValueData ReadValueData(const RegistryText& text, std::uint32_t type, std::string_view data) {
  ValueData read;
  if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && data.size() == 4) {
    for (int i = 0; i < 4; ++i) {
      std::size_t at = type == REG_DWORD ? static_cast<std::size_t>(3 - i) : static_cast<std::size_t>(i);
      read.number = read.number << 8 | static_cast<unsigned char>(data[at]);
    }
    read.form = ValueData::Form::kNumber;
  } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
    read.form = ValueData::Form::kText;
    read.terminated = !data.empty() && data.back() == '\0';
    read.text = text.Readable(read.terminated ? data.substr(0, data.size() - 1) : data, &read.exact);
  } else if (type == REG_MULTI_SZ && data == std::string_view("\0\0", 2)) {
    read.form = ValueData::Form::kList;  // the empty list, as Windows stores it
  } else if (type == REG_MULTI_SZ && data.size() >= 2 && data.ends_with(std::string_view("\0\0", 2))) {
    // Strings each ended by a NUL, and a NUL after the last: no empty one
    // inside, which would end the list.
    std::string_view rest = data.substr(0, data.size() - 1);
    while (!rest.empty()) {
      std::size_t end = rest.find('\0');
      std::string utf8;
      if (end == 0 || !text.Exact(rest.substr(0, end), &utf8)) return ValueData{};
      read.list.push_back(std::move(utf8));
      rest.remove_prefix(end + 1);
    }
    read.form = ValueData::Form::kList;
  }
  return read;
}

}  // namespace tools
