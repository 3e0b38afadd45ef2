// The text of a .reg file as regedit reads it: its lines, its blanks,
// quoted text, the closing bracket of a key line, and how a note quotes
// the file. What the loader and the scan for a file's codepage share.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "store/lead_bytes.h"

namespace regfile {

inline constexpr std::string_view kHeader4 = "REGEDIT4";
inline constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kHeader31 = "REGEDIT";
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
inline constexpr std::string_view kUtf16Bom = "\xFF\xFE";

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}
inline std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Reads the first line, which names the format: true for REGEDIT4, and for
// version 5 with *unicode set; false with the message for anything else.
bool ReadHeader(std::string_view line, std::string_view fileName, bool* unicode, std::string* error);

// A file's text for a note: 60 bytes at most, escaped for the terminal.
std::string Shown(std::string_view text);

// Lines end at CR LF, CR or LF, as regedit reads them. The next CR and the
// next LF are each looked for once, and again only once passed, so that a
// file with no CR at all costs one pass, not one per line.
class LineReader {
 public:
  explicit LineReader(std::string_view text)
      : text_(text), nextCr_(text.find('\r')), nextLf_(text.find('\n')) {}

  bool Next(std::string_view* line) {
    if (at_ >= text_.size()) return false;
    if (nextCr_ < at_) nextCr_ = text_.find('\r', at_);
    if (nextLf_ < at_) nextLf_ = text_.find('\n', at_);
    std::size_t end = nextCr_ < nextLf_ ? nextCr_ : nextLf_;
    if (end == std::string_view::npos) {
      *line = text_.substr(at_);
      at_ = text_.size();
    } else {
      *line = text_.substr(at_, end - at_);
      at_ = end + (end == nextCr_ && nextLf_ == end + 1 ? 2 : 1);
    }
    ++number_;
    return true;
  }
  std::size_t number() const { return number_; }

 private:
  std::string_view text_;
  std::size_t nextCr_;
  std::size_t nextLf_;
  std::size_t at_ = 0;
  std::size_t number_ = 0;
};

// Quoted text as regedit reads it, past its opening quote: \\ \" \n \r
// stand for their characters; a backslash before any other character is
// dropped (unknownEscape names the first such); \0, and a backslash or the
// line ending before the closing quote, make it no text.
struct Quoted {
  bool ok = false;
  std::string text;
  std::string_view rest;  // past the closing quote
  std::string_view unknownEscape;
  const char* why = "";
};

// Reads quoted text past its opening quote; a double-byte character (by
// lead) is taken whole, for its second byte may be '\\' or '"'.
Quoted ReadQuoted(std::string_view s, const store::LeadBytes& lead);

// The last ']' of a key line that is a character of its own, not the
// second byte of a double-byte one; npos where there is none.
std::size_t LastClosingBracket(std::string_view p, const store::LeadBytes& lead);

}  // namespace regfile
