// The registry's text and value data as programs take them: Unicode,
// converted from the registry's codepage, exact where the conversion is,
// and a readable form beside the bytes where it is not. regwalk --json
// writes by these rules and the Python package hands out by them, so that
// the two never disagree.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace tools {

class RegistryText {
 public:
  // codepage 0: the registry's text is kept as stored, its codepage unknown.
  explicit RegistryText(int codepage);

  // The bytes as UTF-8 when the conversion is exact; false otherwise.
  bool Exact(std::string_view bytes, std::string* utf8) const;
  // The bytes as UTF-8, readable whatever they are: exact where Exact is,
  // else what the codepage defines and '?' for the rest. *exact says which.
  std::string Readable(std::string_view bytes, bool* exact) const;

 private:
  std::unique_ptr<text::TextConverter> toUtf8_;
  std::unique_ptr<text::TextConverter> fromUtf8_;  // to check a conversion by converting back
};

// The name of a value type ("REG_SZ"), or null for a code Windows names not.
const char* TypeName(std::uint32_t type);

// What a value's data says, its bytes as the source stores them: a number
// (a DWORD, either order, of 4 bytes), a text (REG_SZ, REG_EXPAND_SZ), a
// list (a multi-string whose every string converts exactly, each ended by
// a NUL and one NUL after the last, or the empty list stored as two NULs),
// or bytes alone for everything else.
struct ValueData {
  enum class Form { kBytes, kNumber, kText, kList };
  Form form = Form::kBytes;
  std::uint32_t number = 0;
  bool terminated = false;  // a text: whether a NUL ends the stored bytes
  std::string text;         // a text, without that NUL: readable UTF-8
  bool exact = true;        // a text: whether text is exactly the bytes
  std::vector<std::string> list;
};
ValueData ReadValueData(const RegistryText& text, std::uint32_t type, std::string_view data);

}  // namespace tools
