#include "tools/regwalk/json.h"

#include <cstdio>

#include "text/unicode.h"
#include "winreg/winreg.h"

namespace tools::regwalk {

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

JsonText::JsonText(int codepage) : text_(codepage) {}

void JsonText::Field(std::string& out, std::string_view field, std::string_view bytes) {
  if (!Readable(out, field, bytes)) AppendJsonHex(out.append(",\"").append(field).append("_hex\":"), bytes);
}

bool JsonText::Readable(std::string& out, std::string_view field, std::string_view bytes) {
  bool exact = false;
  AppendJsonString(out.append(1, '"').append(field).append("\":"), text_.Readable(bytes, &exact));
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
  ValueData read = ReadValueData(text_, type, data);
  switch (read.form) {
    case ValueData::Form::kNumber:
      out += ",\"data\":" + std::to_string(read.number);
      break;
    case ValueData::Form::kText:
      out += read.terminated ? ",\"terminated\":true," : ",\"terminated\":false,";
      AppendJsonString(out += "\"data\":", read.text);
      if (!read.exact) AppendJsonHex(out += ",\"data_hex\":", data);
      break;
    case ValueData::Form::kList:
      out += ",\"data\":[";
      for (std::size_t i = 0; i < read.list.size(); ++i) {
        if (i > 0) out += ',';
        AppendJsonString(out, read.list[i]);
      }
      out += ']';
      break;
    case ValueData::Form::kBytes:
      AppendJsonHex(out += ",\"data_hex\":", data);
      break;
  }
  out += '}';
}

}  // namespace tools::regwalk
