// Hex data as regedit reads it: numbers as Windows' wcstoul reads them in
// base 16 (the bytes of hex data, the type of hex(TYPE)), and the bytes of
// one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace regfile {

// The value of a hex digit, or -1.
int HexDigit(char c);

// A number as wcstoul reads it in base 16: blanks, a sign and "0x" may come
// first; past 64 bits it saturates, past 32 bits it is 0xFFFFFFFF (1 when
// negative), and a negative one wraps. used is 0 where no digit was read.
struct WindowsNumber {
  std::uint32_t value = 0;
  bool outOfRange = false;
  std::size_t used = 0;

  // What regedit refuses as a type: wcstoul's ULONG_MAX with ERANGE. A
  // negative number past the range comes back as 1 with ERANGE, which
  // regedit's test of the value alone lets through.
  bool Overflowed() const { return outOfRange && value == 0xFFFFFFFFU; }
};

WindowsNumber ReadWindowsNumber(std::string_view s);

// Appends to data the bytes of one line of hex data: bytes separated by
// commas; a backslash where a byte could begin continues them on the next
// line (*continued), and a comment may follow either. False where the line
// is no hex data regedit reads.
bool AppendHexBytes(std::string_view s, std::string* data, bool* continued);

}  // namespace regfile
