// regwalk --json: keys and values as JSON Lines for other programs. Text is
// Unicode, converted from the registry's codepage; wherever that form
// cannot hold the bytes exactly, the bytes come beside it (or instead of
// it, for data) as lowercase hex, so that every byte can be recovered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tools/registry_text.h"

namespace tools::regwalk {

class JsonText {
 public:
  // codepage 0: the registry's text is kept as stored, its codepage unknown.
  explicit JsonText(int codepage);

  // Appends "field":"text", and "field_hex":"..." where the text is not
  // exactly the bytes.
  void Field(std::string& out, std::string_view field, std::string_view bytes);
  // Appends one value: {"name":..,"type":..,"type_code":..,"data":..} with
  // data as text (strings), a number (DWORDs), a list (multi-strings), or
  // "data_hex" wherever those do not hold the bytes exactly. data is as the
  // source stores it: a REG_SZ or REG_EXPAND_SZ says "terminated" (whether
  // a NUL ends it), its text in "data" and, where that text is not exactly
  // the bytes, "data_hex" of all the stored bytes beside it.
  void Value(std::string& out, std::string_view name, std::uint32_t type, std::string_view data);
  // Appends "values":[...] of values (each with name, type and data as
  // stored), in their order.
  template <typename Values>
  void ValueList(std::string& out, const Values& values) {
    out += "\"values\":[";
    bool first = true;
    for (const auto& v : values) {
      if (!first) out += ',';
      first = false;
      Value(out, v.name, v.type, v.data);
    }
    out += ']';
  }

 private:
  // Appends "field":"text", readable whatever the bytes; false where the
  // text is not exactly the bytes.
  bool Readable(std::string& out, std::string_view field, std::string_view bytes);

  RegistryText text_;
};

// A JSON string literal of UTF-8 text.
void AppendJsonString(std::string& out, std::string_view utf8);
// Bytes as lowercase hex in a JSON string.
void AppendJsonHex(std::string& out, std::string_view bytes);
// Appends "field":"text" for bytes that should be UTF-8 (a file's path),
// and "field_hex":"..." where they are not.
void AppendUtf8Field(std::string& out, std::string_view field, std::string_view bytes);

}  // namespace tools::regwalk
