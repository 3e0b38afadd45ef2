// The rules every road shares, each with its one definition: reading
// outside bytes with their bounds, showing them on a terminal, codepage
// numbers, Unicode forms, and which names can stand as key names.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "bytes/bytes.h"
#include "sources/codepage.h"
#include "store/key_names.h"
#include "text/unicode.h"
#include "tools/registry_cli.h"

namespace {

TEST(Bytes, RangesCannotWrap) {
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  struct Row {
    std::uint64_t offset, length, size;
    bool inside;
  } rows[] = {
      {0, 0, 0, true},   {0, 4, 4, true},    {4, 0, 4, true},       {1, 4, 4, false},
      {5, 0, 4, false},  {kMax, 1, 4, false}, {1, kMax, 4, false},  {kMax, kMax, kMax, false},
      {kMax - 1, 1, kMax, true},
  };
  for (const Row& r : rows) EXPECT_EQ(bytes::InRange(r.offset, r.length, r.size), r.inside) << r.offset << "+" << r.length;
}

TEST(Bytes, LittleEndianFieldsStopAtTheirBytes) {
  const std::string record("\x01\x02\x03\x04\x05\x06\x07\x08\x09", 9);
  bytes::LittleEndian f(record);
  EXPECT_EQ(f.U8(8), 0x09);
  EXPECT_EQ(f.U16(0), 0x0201);
  EXPECT_EQ(f.U32(5), 0x09080706U);
  EXPECT_EQ(f.U64(1), 0x0908070605040302ULL);
  EXPECT_TRUE(f.Holds(2, "\x03\x04"));
  EXPECT_TRUE(f.complete());
  // Each read past the end gives 0 and leaves the reader incomplete.
  for (auto read : {+[](const bytes::LittleEndian& r) { return std::uint64_t{r.U16(8)}; },
                    +[](const bytes::LittleEndian& r) { return std::uint64_t{r.U32(6)}; },
                    +[](const bytes::LittleEndian& r) { return r.U64(~std::size_t{0} - 3); },
                    +[](const bytes::LittleEndian& r) { return std::uint64_t{r.Span(9, 1).size()}; }}) {
    bytes::LittleEndian g(record);
    EXPECT_EQ(read(g), 0U);
    EXPECT_FALSE(g.complete());
  }
}

TEST(Bytes, EscapedForATerminal) {
  struct Row {
    std::string in;
    const char* out;
  } rows[] = {
      {"plain text ~", "plain text ~"},
      {std::string("\0\x1f\x7f", 3), "\\x00\\x1f\\x7f"},
      {"caf\xe9 \x81\x5c", "caf\\xe9 \\x81\\"},
      {"\x1b[2J", "\\x1b[2J"},  // an escape sequence reaches no terminal
      {"", ""},
  };
  for (const Row& r : rows) EXPECT_EQ(bytes::Escaped(r.in), r.out);
  EXPECT_EQ(bytes::Hex(0), "0x0");
  EXPECT_EQ(bytes::Hex(0x10000001eULL), "0x10000001e");
  EXPECT_EQ(bytes::TooLargeForRegistryFile("300", 256), "too large for a registry file (300 bytes; one holds at most 256)");
}

TEST(Text, CodepageNumbersAsWindowsNumbersThem) {
  struct Row {
    const char* digits;
    std::optional<int> codepage;
  } rows[] = {
      {"1252", 1252}, {"932", 932},   {"00932", 932}, {"1", 1},       {"65535", 65535}, {"65536", std::nullopt},
      {"0", std::nullopt}, {"", std::nullopt}, {"12a", std::nullopt}, {"-1", std::nullopt}, {" 1252", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const Row& r : rows) EXPECT_EQ(text::ParseCodepageNumber(r.digits), r.codepage) << r.digits;
}

TEST(Text, AsciiAndUtf8) {
  std::string long_ascii(17, 'a');
  std::string high_late = long_ascii + "\x80";
  EXPECT_TRUE(text::IsAscii(""));
  EXPECT_TRUE(text::IsAscii(long_ascii));
  EXPECT_FALSE(text::IsAscii(high_late));
  EXPECT_FALSE(text::IsAscii("\xff"));
  struct Row {
    const char* bytes;
    bool valid;
  } rows[] = {
      {"caf\xc3\xa9", true},       {"\xe2\x82\xac", true},  {"\xf0\x9f\x98\x80", true},
      {"\xc0\x80", false},         // an overlong NUL
      {"\xed\xa0\x80", false},     // a surrogate
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
      {"\xe2\x82", false},         // cut short
      {"\x80", false},
  };
  for (const Row& r : rows) EXPECT_EQ(text::IsValidUtf8(r.bytes), r.valid) << r.bytes;
  // UTF-16LE: a pair, and a lone surrogate refused or marked.
  std::string out;
  EXPECT_TRUE(text::Utf16ToUtf8(std::string("A\0\x3d\xd8\x00\xde", 6), out));
  EXPECT_EQ(out, "A\xf0\x9f\x98\x80");
  out.clear();
  EXPECT_FALSE(text::Utf16ToUtf8(std::string("\x00\xdc", 2), out));
  out.clear();
  EXPECT_TRUE(text::Utf16ToUtf8(std::string("\x00\xdc", 2), out, true));
  EXPECT_TRUE(text::HoldsMarkedSurrogate(out));
  EXPECT_FALSE(text::HoldsMarkedSurrogate("\xed\x9f\xbf"));  // U+D7FF, no surrogate
}

TEST(KeyNames, UsableAndPlausible) {
  store::LeadBytes none;
  store::LeadBytes sjis = sources::LeadBytesOf(932);
  struct Row {
    std::string name;
    const store::LeadBytes* lead;
    bool usable, plausible;
  } rows[] = {
      {"Enum", &none, true, true},
      {"", &none, false, false},
      {"a\\b", &none, false, false},
      {std::string("a\0b", 3), &none, false, false},
      {"a\x01", &none, true, false},        // usable, but no name Windows writes
      {"\x83\\", &sjis, true, true},        // a backslash that is a second byte
      {"\x83\\", &none, false, false},
      {"\x83\x40", &sjis, true, true},      // a second byte of its trail range
      {"\x83\x01", &sjis, true, false},     // not one: the lead byte stands alone, and 0x01 is a control
      {"a\x83", &sjis, true, true},         // a lead byte at the end stands alone
      {"\x81\x81\\", &sjis, false, false},  // the backslash begins a character
  };
  for (const Row& r : rows) {
    EXPECT_EQ(store::UnusableKeyName(r.name, *r.lead) == nullptr, r.usable) << r.name;
    EXPECT_EQ(store::PlausibleKeyName(r.name, *r.lead), r.plausible) << r.name;
  }
}

// On Windows the list separator is ';': an entry that names nothing and
// holds a ':' past its drive letter's is said to be two joined wrongly.
TEST(Sources, AColonListOnWindowsIsNamed) {
  std::vector<sources::SourceFile> files;
  std::string error;
  EXPECT_FALSE(tools::ChooseSourceFiles({"C:\\nothing\\A.DAT:C:\\nothing\\B.DAT"}, &files, &error));
#ifdef _WIN32
  EXPECT_NE(error.find("(on Windows the entries of KORMALD_REGISTRY are joined by ';')"), std::string::npos) << error;
#else
  EXPECT_EQ(error.find("joined by"), std::string::npos) << error;
#endif
}

}  // namespace
