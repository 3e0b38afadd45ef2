#include "regfile/regexport.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "store/value.h"
#include "winreg/winreg.h"

namespace regfile {

namespace {

// Where regedit breaks a hex line: past this many characters.
constexpr std::size_t kHexLineLimit = 76;
// A continued hex line starts with two blanks and holds this many bytes.
constexpr std::size_t kHexBytesPerLine = (kHexLineLimit - 2) / 3 + 1;
constexpr char kHexBreak[] = "\\\r\n  ";
constexpr std::size_t kHexBreakLength = sizeof kHexBreak - 1;

// What each byte is to a quoted text: 1 it is escaped, 2 it cannot stand
// in one (a line break or a NUL), 0 it goes in as it is.
constexpr auto kQuoting = [] {
  std::array<unsigned char, 256> table{};
  table[static_cast<unsigned char>('\\')] = 1;
  table[static_cast<unsigned char>('"')] = 1;
  table[0] = table[static_cast<unsigned char>('\r')] = table[static_cast<unsigned char>('\n')] = 2;
  return table;
}();

// Whether eight bytes are all ones a quoted text takes as they are: none
// below 0x0E (NUL, CR and LF among them), no quote, no backslash. Each
// test is exact for the word as a whole, whatever the borrows between
// bytes do to single bits.
bool PlainWord(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  auto hasZero = [&](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  std::uint64_t below = (w - 0x0E * kOnes) & ~w & kHigh;
  return (below | hasZero(w ^ ('"' * kOnes)) | hasZero(w ^ ('\\' * kOnes))) == 0;
}

std::uint64_t Load(const char* bytes, std::size_t n) {
  std::uint64_t w = 0;
  std::memcpy(&w, bytes, n);
  return w;
}

// Writes text in quotes at at, with \\ and \" escaped, and returns where it
// ends; null when the text holds a line break or a NUL. Needs room for
// twice the text and the quotes. Almost every text needs no escape: it is
// checked and copied eight bytes at a time (the last eight overlapping
// what came before), and gone over byte by byte only when that finds
// something, or when it is shorter than eight.
char* PutQuoted(char* at, std::string_view text, const store::LeadBytes& lead) {
  *at++ = '"';
  const char* p = text.data();
  std::size_t n = text.size();
  bool plain = n >= 8;
  for (std::size_t i = 0; plain && i < n; i += 8) {
    std::size_t from = i + 8 <= n ? i : n - 8;
    std::uint64_t w = Load(p + from, 8);
    plain = PlainWord(w);
    std::memcpy(at + from, &w, 8);
  }
  if (plain) {
    at += n;
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      char c = p[i];
      unsigned char kind = kQuoting[static_cast<unsigned char>(c)];
      if (kind == 2) return nullptr;
      if (lead.Pairs(std::string_view(p, n), i) && kQuoting[static_cast<unsigned char>(p[i + 1])] != 2) {
        *at++ = c;
        *at++ = p[++i];
        continue;
      }
      if (kind == 1) *at++ = '\\';
      *at++ = c;
    }
  }
  *at++ = '"';
  return at;
}

// Each byte's two hex digits and the comma after them, and a spare byte
// that makes the entry one four-byte store.
constexpr auto kHexPairs = [] {
  constexpr char digits[] = "0123456789abcdef";
  std::array<std::array<char, 4>, 256> table{};
  for (std::size_t c = 0; c < 256; ++c) table[c] = {digits[c >> 4], digits[c & 15], ',', '\0'};
  return table;
}();

// Appends data as comma-separated hex pairs. With wrap, a line ends after
// the byte that takes it past kHexLineLimit characters, column being where
// the first pair starts.
void AppendHex(std::string& out, std::string_view data, std::size_t column, bool wrap) {
  if (data.empty()) return;
  std::size_t n = data.size();
  // Bytes on the first line: it breaks after the byte whose comma passes
  // the limit, and always after one byte at least.
  std::size_t first = column > kHexLineLimit ? 1 : (kHexLineLimit - column) / 3 + 1;
  std::size_t breaks = !wrap || n <= first ? 0 : (n - first - 1) / kHexBytesPerLine + 1;
  std::size_t start = out.size();
  // Room for every pair with its comma and the last entry's spare byte;
  // the last comma and the spare are cut off after.
  out.resize(start + 3 * n + breaks * kHexBreakLength + 1);
  char* at = out.data() + start;
  std::size_t i = 0;
  for (std::size_t line = wrap ? first : n;; line = kHexBytesPerLine) {
    for (std::size_t end = std::min(n, i + line); i < end; ++i) {
      std::memcpy(at, kHexPairs[static_cast<unsigned char>(data[i])].data(), 4);
      at += 3;
    }
    if (i == n) break;
    std::memcpy(at, kHexBreak, kHexBreakLength);
    at += kHexBreakLength;
  }
  out.resize(static_cast<std::size_t>(at - out.data()) - 1);
}

}  // namespace

bool ExportableName(std::string_view name) {
  return std::none_of(name.begin(), name.end(), [](char c) { return kQuoting[static_cast<unsigned char>(c)] == 2; });
}

bool AppendValueDeletion(std::string& out, std::string_view name, const store::LeadBytes& lead) {
  if (name.empty()) {
    out += "@=-";
    return true;
  }
  std::size_t start = out.size();
  out.resize(start + 2 * name.size() + 2);
  char* end = PutQuoted(out.data() + start, name, lead);
  if (end == nullptr) {
    out.resize(start);
    return false;
  }
  out.resize(static_cast<std::size_t>(end - out.data()));
  out += "=-";
  return true;
}

bool AppendFormattedValue(std::string& out, std::string_view name, std::uint32_t type, std::string_view data,
                          bool wrap, text::TextConverter* toUtf16, const store::LeadBytes& lead) {
  // A REG_SZ whose data is one text and its terminator, with no line break
  // or NUL inside, reads back byte for byte from a quoted string.
  bool quotable = type == REG_SZ && !data.empty() && data.back() == '\0';
  std::string_view text = quotable ? data.substr(0, data.size() - 1) : std::string_view{};
  constexpr std::size_t kDwordLength = 14;
  // Written through a pointer into room for the longest the name and a
  // quoted text or a dword can take, then cut to what was written.
  std::size_t lineStart = out.size();
  out.resize(lineStart + 2 * name.size() + 3 + std::max(2 * text.size() + 2, kDwordLength));
  char* at = out.data() + lineStart;
  bool named = true;
  if (name.empty()) {
    *at++ = '@';
  } else if (char* end = PutQuoted(at, name, lead)) {
    at = end;
  } else {
    named = false;
  }
  *at++ = '=';
  char* end = quotable ? PutQuoted(at, text, lead) : nullptr;
  if (end == nullptr && type == REG_DWORD && data.size() == 4) {
    // Little-endian in the data, eight hex digits most significant first.
    std::memcpy(at, "dword:", 6);
    for (int i = 0; i < 4; ++i) {
      std::memcpy(at + 6 + 2 * i, kHexPairs[static_cast<unsigned char>(data[3 - i])].data(), 2);
    }
    end = at + kDwordLength;
  }
  if (end != nullptr) {
    out.resize(static_cast<std::size_t>(end - out.data()));
    return named;
  }
  out.resize(static_cast<std::size_t>(at - out.data()));
  std::string wide;
  if (toUtf16 != nullptr && store::IsStringType(type)) {
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
  AppendHex(out, data, out.size() - lineStart, wrap);
  return named;
}

void ExportFile::Begin() {
  if (toUtf16_ == nullptr) return put_(kRegedit4Header);
  put_("\xFF\xFE");
  Add(kRegedit5Header);
}

void ExportFile::Add(std::string_view sections) {
  if (toUtf16_ == nullptr) return put_(sections);
  // Pieces end at line ends, which no character of a Windows codepage
  // spans: converted one by one, they give the bytes the whole would.
  put_(toUtf16_->Convert(sections));
}

void ExportFile::End() { Add("\r\n"); }

}  // namespace regfile
