// The .reg loader: every syntax it reads, and input it must refuse.
#include "regfile/regfile.h"

#include <gtest/gtest.h>

#include "testkit/test_support.h"

namespace {

using testing_support::DumpRegistry;

// Loads bytes as one file; returns the error, or "" after installing it.
std::string Load(std::string_view bytes) {
  auto reg = std::make_unique<store::Registry>();
  std::string error;
  if (!regfile::LoadRegFile(*reg, bytes, "x.reg", &error)) return error;
  store::InstallRegistry(std::move(reg));
  return "";
}

std::vector<std::string> Values() {
  std::vector<std::string> values;
  for (const std::string& line : DumpRegistry()) {
    if (line.find('|') != std::string::npos) values.push_back(line);
  }
  return values;
}

struct SyntaxRow {
  const char* what;
  std::string body;  // after "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\K]\n"
  std::vector<std::string> values;
};

void PrintTo(const SyntaxRow& row, std::ostream* os) { *os << row.what; }

class Syntax : public ::testing::TestWithParam<SyntaxRow> {};

TEST_P(Syntax, Reads) {
  const SyntaxRow& row = GetParam();
  ASSERT_EQ(Load("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n" + row.body), "");
  EXPECT_EQ(Values(), row.values);
}

const std::string K = "HKEY_LOCAL_MACHINE\\K|";

INSTANTIATE_TEST_SUITE_P(Values, Syntax, ::testing::Values(
    SyntaxRow{"string", "\"A\"=\"text\"\n", {K + "A|1|7465787400"}},
    SyntaxRow{"escapes", "\"A\\\\\\\"\"=\"x\\\\y\\\"z\"\n", {K + "A\\\"|1|785c79227a00"}},
    SyntaxRow{"default", "@=\"d\"\n", {K + "|1|6400"}},
    SyntaxRow{"dword", "\"D\"=dword:0000ABcd\n", {K + "D|4|cdab0000"}},
    SyntaxRow{"short dword", "\"D\"=dword:1\n", {K + "D|4|01000000"}},
    SyntaxRow{"hex", "\"H\"=hex:00,ff,7F\n", {K + "H|3|00ff7f"}},
    SyntaxRow{"empty hex", "\"H\"=hex:\n", {K + "H|3|"}},
    SyntaxRow{"typed hex", "\"H\"=hex(7):61,00,00,00\n", {K + "H|7|61000000"}},
    SyntaxRow{"big type", "\"H\"=hex(ffff0001):01\n", {K + "H|4294901761|01"}},
    SyntaxRow{"continued hex", "\"H\"=hex:01,02,\\\n  03,04,\\\r\n  05\n", {K + "H|3|0102030405"}},
    SyntaxRow{"blanks", "\"A\" = \"t\"  \n  \"B\"=hex: 01 , 02 \n", {K + "A|1|7400", K + "B|3|0102"}},
    SyntaxRow{"comments", "; c\n# c\n\"A\"=dword:2 ; why\n", {K + "A|4|02000000"}},
    SyntaxRow{"replaced", "\"A\"=\"1\"\n\"a\"=\"2\"\n", {K + "A|1|3200"}},
    SyntaxRow{"deleted", "\"A\"=\"1\"\n\"B\"=\"2\"\n\"a\"=-\n", {K + "B|1|3200"}},
    SyntaxRow{"8-bit", "\"\xe4\"=\"\xff\xfe\"\n", {K + "\xe4|1|fffe00"}},
    SyntaxRow{"bracket in a string", "\"A\"=\"[x]\"\n", {K + "A|1|5b785d00"}},
    SyntaxRow{"crlf", "\"A\"=\"t\"\r\n\r\n", {K + "A|1|7400"}},
    SyntaxRow{"no final newline", "\"A\"=\"t\"", {K + "A|1|7400"}},
    SyntaxRow{"longest value name", "\"" + std::string(255, 'v') + "\"=\"t\"", {K + std::string(255, 'v') + "|1|7400"}}));

TEST(RegFile, KeysMergeAndDelete) {
  ASSERT_EQ(Load("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"x\"=\"1\"\r\n"
                 "[HKEY_LOCAL_MACHINE\\C]\r\n[hkey_local_machine\\a\\b]\r\n\"y\"=\"2\"\r\n"
                 "[HKEY_LOCAL_MACHINE\\D\\E]\r\n[-HKEY_LOCAL_MACHINE\\D]\r\n[-HKEY_LOCAL_MACHINE\\Never]\r\n"
                 "[HKLM\\F]\r\n"),
            "");
  std::vector<std::string> expected = {
      "HKEY_LOCAL_MACHINE",     "HKEY_LOCAL_MACHINE\\A", "HKEY_LOCAL_MACHINE\\A\\B",
      K.substr(0, 19) + "A\\B|x|1|3100",
      K.substr(0, 19) + "A\\B|y|1|3200",
      "HKEY_LOCAL_MACHINE\\C",  "HKEY_LOCAL_MACHINE\\F", "HKEY_USERS", "HKEY_DYN_DATA"};
  EXPECT_EQ(DumpRegistry(), expected);
}

TEST(RegFile, ViewsWriteIntoTheirTargets) {
  ASSERT_EQ(Load("REGEDIT4\n[HKEY_CLASSES_ROOT\\.txt]\n[HKEY_CURRENT_USER\\Software]\n"
                 "[HKEY_CURRENT_CONFIG\\Display]\n"),
            "");
  std::vector<std::string> expected = {
      "HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE\\SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes",
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.txt", "HKEY_LOCAL_MACHINE\\Config",
      "HKEY_LOCAL_MACHINE\\Config\\0001", "HKEY_LOCAL_MACHINE\\Config\\0001\\Display",
      "HKEY_USERS", "HKEY_USERS\\.DEFAULT", "HKEY_USERS\\.DEFAULT\\Software", "HKEY_DYN_DATA"};
  EXPECT_EQ(DumpRegistry(), expected);
}

std::string Utf16(std::string_view ascii) {
  std::string out = "\xff\xfe";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

TEST(RegFile, Version5Encodings) {
  const std::string body =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"t\"\r\n"
      "\"E\"=hex(2):25,00,41,00,25,00,00,00\r\n";
  std::vector<std::string> expected = {K + "A|1|7400", K + "E|2|25412500"};
  ASSERT_EQ(Load(Utf16(body)), "");
  EXPECT_EQ(Values(), expected);
  ASSERT_EQ(Load("\xEF\xBB\xBF" + body), "");
  EXPECT_EQ(Values(), expected);
  ASSERT_EQ(Load(body), "");
  EXPECT_EQ(Values(), expected);
  // Characters beyond ASCII become UTF-8, surrogate pairs included.
  std::string utf16 = Utf16("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\K]\n\"");
  utf16 += std::string("\xe4\x00\x3d\xd8\x00\xde", 6);
  utf16 += Utf16("\"=\"\"\n").substr(2);
  ASSERT_EQ(Load(utf16), "");
  EXPECT_EQ(Values(), std::vector<std::string>{K + "\xc3\xa4\xf0\x9f\x98\x80|1|00"});
}

struct BadRow {
  const char* what;
  std::string bytes;
  std::string error;
};

void PrintTo(const BadRow& row, std::ostream* os) { *os << row.what; }

class Malformed : public ::testing::TestWithParam<BadRow> {};

TEST_P(Malformed, IsRefusedWithFileLineAndReason) {
  const BadRow& row = GetParam();
  EXPECT_EQ(Load(row.bytes), row.error) << row.what;
}

INSTANTIATE_TEST_SUITE_P(Errors, Malformed, ::testing::Values(
    BadRow{"empty", "", "x.reg:1: empty file: expected REGEDIT4 or Windows Registry Editor Version 5.00"},
    BadRow{"no header", "[HKEY_LOCAL_MACHINE\\K]\n",
           "x.reg:1: not a registry export: expected REGEDIT4 or Windows Registry Editor Version 5.00, "
           "found '[HKEY_LOCAL_MACHINE\\K]'"},
    BadRow{"bad escape", "REGEDIT4\n[HKLM\\K]\n\"A\"=\"a\\qb\"\n", "x.reg:3: bad escape in string '\\q'"},
    BadRow{"odd hex digits", "REGEDIT4\n[HKLM\\K]\n\"A\"=hex:01,2\n",
           "x.reg:3: hex bytes need two digits each, found '2'"},
    BadRow{"three hex digits", "REGEDIT4\n[HKLM\\K]\n\"A\"=hex:012\n",
           "x.reg:3: hex bytes need two digits each, found '012'"},
    BadRow{"value before a key", "REGEDIT4\n\"A\"=\"1\"\n", "x.reg:2: value before any key"},
    BadRow{"value under a deleted key", "REGEDIT4\n[-HKLM\\K]\n\"A\"=\"1\"\n", "x.reg:3: value under a deleted key"},
    BadRow{"truncated string", "REGEDIT4\n[HKLM\\K]\n\"A\"=\"abc", "x.reg:3: unterminated string '\"abc'"},
    BadRow{"truncated name", "REGEDIT4\n[HKLM\\K]\n\"A", "x.reg:3: unterminated value name '\"A'"},
    BadRow{"truncated key", "REGEDIT4\n[HKLM\\K", "x.reg:2: key name without closing ']' '[HKLM\\K'"},
    BadRow{"truncated continuation", "REGEDIT4\n[HKLM\\K]\n\"A\"=hex:01,\\\n",
           "x.reg:3: file ends inside a continued value"},
    BadRow{"NUL byte", std::string("REGEDIT4\n[HKLM\\K]\n\"A\"=\"a\0b\"\n", 25), "x.reg:3: NUL byte in line"},
    BadRow{"unknown root", "REGEDIT4\n[HKEY_NOWHERE\\K]\n", "x.reg:2: unknown root key 'HKEY_NOWHERE'"},
    BadRow{"empty key name", "REGEDIT4\n[HKLM\\A\\\\B]\n", "x.reg:2: empty key name in 'HKLM\\A\\\\B'"},
    BadRow{"trailing backslash", "REGEDIT4\n[HKLM\\A\\]\n", "x.reg:2: empty key name in 'HKLM\\A\\'"},
    BadRow{"root deleted", "REGEDIT4\n[-HKLM]\n", "x.reg:2: a root key cannot be deleted 'HKLM'"},
    BadRow{"key name over 255", "REGEDIT4\n[HKLM\\A\\" + std::string(256, 'k') + "]\n",
           "x.reg:2: key name longer than 255 characters '" + std::string(60, 'k') + "...'"},
    BadRow{"value name over 255", "REGEDIT4\n[HKLM\\K]\n\"" + std::string(256, 'v') + "\"=\"1\"\n",
           "x.reg:3: value name longer than 255 characters '" + std::string(60, 'v') + "...'"},
    BadRow{"UTF-8 name over 255 characters",
           "Windows Registry Editor Version 5.00\n[HKLM\\K]\n\"" + [] {
             std::string name;
             for (int i = 0; i < 256; ++i) name += "\xc3\xa4";
             return name;
           }() + "\"=\"1\"\n",
           "x.reg:3: value name longer than 255 characters '" + [] {
             std::string name;
             for (int i = 0; i < 30; ++i) name += "\xc3\xa4";
             return name;
           }() + "...'"},
    BadRow{"text after key", "REGEDIT4\n[HKLM\\A] x\n", "x.reg:2: text after the key name ' x'"},
    BadRow{"stray text", "REGEDIT4\nHello\n", "x.reg:2: unexpected text 'Hello'"},
    BadRow{"no equals", "REGEDIT4\n[HKLM\\K]\n\"A\" \"1\"\n", "x.reg:3: expected '=' after the value name, found '\"1\"'"},
    BadRow{"junk after string", "REGEDIT4\n[HKLM\\K]\n\"A\"=\"1\"x\n", "x.reg:3: unexpected text after the value 'x'"},
    BadRow{"long dword", "REGEDIT4\n[HKLM\\K]\n\"A\"=dword:123456789\n",
           "x.reg:3: dword needs 1 to 8 hex digits '123456789'"},
    BadRow{"bad dword", "REGEDIT4\n[HKLM\\K]\n\"A\"=dword:xyz\n", "x.reg:3: dword needs 1 to 8 hex digits 'xyz'"},
    BadRow{"bad type", "REGEDIT4\n[HKLM\\K]\n\"A\"=hex(g):00\n", "x.reg:3: bad value type in '(g):00'"},
    BadRow{"unknown data", "REGEDIT4\n[HKLM\\K]\n\"A\"=str:1\n", "x.reg:3: unrecognised value data 'str:1'"},
    BadRow{"missing comma", "REGEDIT4\n[HKLM\\K]\n\"A\"=hex:01 02\n", "x.reg:3: expected ',' between hex bytes, found '02'"},
    BadRow{"odd UTF-16", "\xff\xfeW\0x", "x.reg:1: file ends inside a UTF-16 character"},
    BadRow{"lone surrogate", std::string("\xff\xfe" "W\0\n\0\x00\xd8", 8), "x.reg:2: invalid UTF-16 (unpaired surrogate)"},
    BadRow{"deep keys", "REGEDIT4\n[HKLM" + [] {
             std::string s;
             for (int i = 0; i < 513; ++i) s += "\\k";
             return s;
           }() + "]\n",
           "x.reg:2: keys nested deeper than 512 levels"}));

}  // namespace
