// The .reg loader's case table: a file's lines, the registry Windows'
// regedit leaves after importing them, and the lines the loader must name.
// Shared by the loader's tests and by the writer of case files that the
// Wine differential imports with regedit (tests/windows/reg-import).
//
// A body is what follows the header line, so its first line is line 2. In
// key lines, "[K", "[-K" and "[ K" followed by ']' or '\' stand for the
// case's own key, HKEY_CURRENT_USER\Software\KormaldCase, and registry
// lines name keys below it from "K": "K\sub" for a key, "K\sub|name|type|
// hex data" for a value (data as the registry calls hand it out, which
// serve an empty string as its terminator: REGEDIT4 text as it is, version
// 5 text in codepage 1252), in the order the file gives them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

namespace reg_cases {

inline constexpr std::string_view kCaseKey = "HKEY_CURRENT_USER\\Software\\KormaldCase";
inline constexpr std::string_view kHeader4 = "REGEDIT4";
inline constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

enum class Formats { kBoth, kOnly4, kOnly5 };

struct RegCase {
  RegCase(const char* what_, std::string body_, std::vector<std::string> registry_, std::vector<std::string> notes_,
          Formats formats_ = Formats::kBoth, const char* notWine_ = "", std::string header_ = "")
      : what(what_), body(std::move(body_)), registry(std::move(registry_)), notes(std::move(notes_)),
        formats(formats_), notWine(notWine_), header(std::move(header_)) {}

  const char* what;
  std::string body;
  std::vector<std::string> registry;
  // "LINE: the note's first words", in order; notes of values kept with a
  // change (an unknown escape) too.
  std::vector<std::string> notes;
  Formats formats;
  // Why Wine's regedit is not asked about this case, or "" where it is.
  const char* notWine;
  std::string header;  // "" for the format's own
};

// The case's key lines written out.
inline std::string Expand(std::string_view body) {
  std::string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    out += body[i];
    if (body[i] != '[') continue;
    std::size_t k = i + 1;
    if (k < body.size() && (body[k] == '-' || body[k] == ' ')) out += body[k++];
    if (k + 1 < body.size() && body[k] == 'K' && (body[k + 1] == ']' || body[k + 1] == '\\')) {
      out += kCaseKey;
      i = k;
    } else {
      i = k - 1;
    }
  }
  return out;
}

// UTF-8 text as UTF-16LE, without a byte order mark.
inline std::string Utf16Le(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    auto c0 = static_cast<unsigned char>(text[i]);
    std::uint32_t cp = c0;
    std::size_t n = 1;
    if (c0 >= 0xF0) {
      cp = c0 & 0x07, n = 4;
    } else if (c0 >= 0xE0) {
      cp = c0 & 0x0F, n = 3;
    } else if (c0 >= 0xC0) {
      cp = c0 & 0x1F, n = 2;
    }
    for (std::size_t j = 1; j < n && i + j < text.size(); ++j) cp = cp << 6 | (text[i + j] & 0x3F);
    i += n;
    auto unit = [&](std::uint32_t u) {
      out += static_cast<char>(u & 0xFF);
      out += static_cast<char>(u >> 8);
    };
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

// The file of a case: REGEDIT4 bytes as they are, or version 5 as UTF-16LE
// with its byte order mark (the body's UTF-8 text converted).
inline std::string FileBytes(const RegCase& c, bool version5) {
  std::string header = !c.header.empty() ? c.header : std::string(version5 ? kHeader5 : kHeader4);
  std::string text = header + "\r\n" + Expand(c.body);
  return version5 ? "\xff\xfe" + Utf16Le(text) : text;
}

// Each behaviour of regedit's import, as Wine 8.0's conformance tests record
// Windows' (and Wine 8.0 agrees), and the loader's own where it differs.
inline const std::vector<RegCase> kCases = {
    {"each data type",
     "[K]\n\"s\"=\"text\"\n\"d\"=dword:0000abcd\n\"b\"=hex:00,ff,7F\n\"e\"=hex:\n@=\"def\"\n\"\"=\"empty name\"\n",
     {"K", "K|s|1|7465787400", "K|d|4|cdab0000", "K|b|3|00ff7f", "K|e|3|", "K||1|656d707479206e616d6500"},
     {}},
    {"hex with a type",
     "[K]\n\"n\"=hex(0):01\n\"x\"=hex(ffff0001):01\n\"f\"=hex(4):01,02,03,04\n\"c\"=hex( 4):05,00,00,00\n"
     "\"m\"=hex():06\n\"w\"=hex(0x4):07\n\"v\"=hex(100000000):08\n\"u\"=hex(4) :09\n\"t\"=hex(4:0a\n",
     {"K", "K|n|0|01", "K|x|4294901761|01", "K|f|4|01020304", "K|c|4|05000000", "K|m|0|06"},
     {"8: value left out: a bad type", "9: value left out: a bad type", "10: value left out: a bad type",
      "11: value left out: a bad type"}},
    {"string types in hex end with a terminator (8-bit)",
     "[K]\n\"a\"=hex(2):41,42\n\"b\"=hex(7):41,00,00\n\"c\"=hex(1):41,00\n\"d\"=hex(2):\n",
     {"K", "K|a|2|414200", "K|b|7|410000", "K|c|1|4100", "K|d|2|00"},
     {},
     Formats::kOnly4},
    {"string types in hex end with a terminator (UTF-16)",
     "[K]\n\"a\"=hex(2):41,00,42,00\n\"b\"=hex(7):41,00,00,00,00,00\n\"c\"=hex(1):e4,00,00,00\n",
     {"K", "K|a|2|414200", "K|b|7|410000", "K|c|1|e400"},
     {},
     Formats::kOnly5},
    {"escapes in names and strings",
     "[K]\n\"q\\\"uote\"=\"a\\\\b\\\"c\"\n\"nl\"=\"a\\nb\\rc\"\n\"back\\\\slash\"=dword:1\n",
     {"K", "K|q\"uote|1|615c622263" "00", "K|nl|1|610a620d6300", "K|back\\slash|4|01000000"},
     {}},
    {"an unknown escape loses its backslash",
     "[K]\n\"p\"=\"%SystemRoot%\\system32\"\n\"\\q\"=\"x\"\n",
     {"K", "K|p|1|2553797374656d526f6f7425737973746" "56d333200", "K|q|1|7800"},
     {"3: unknown escape '\\s'", "4: unknown escape '\\q'"}},
    // The string's \0 comes last: Wine's regedit stops reading a file there
    // (Windows leaves out that value alone).
    {"the escape \\0 is refused",
     "[K]\n\"a\"=\"1\"\n\"z\\0\"=\"x\"\n\"y\"=\"a\\0b\"\n",
     {"K", "K|a|1|3100"},
     {"4: value left out: its name holds the escape \\0", "5: value left out: its string holds the escape \\0"}},
    // Last for the same reason: Wine's regedit stops reading there too.
    {"a string that ends in a backslash",
     "[K]\n\"a\"=\"1\"\n\"b\"=\"x\\\n",
     {"K", "K|a|1|3100"},
     {"4: value left out: its string has no closing quote"}},
    {"comments after values",
     "[K]\n\"a\"=\"x\" ;c\n\"b\"=\"y\";c\n\"c\"=dword:1 ;c\n\"d\"=hex:01 ;c\n\"e\"=hex:01;c\n\"f\"=\"x\"#c\n"
     "\"g\"=- ;c\n; a comment\n# a comment too\n",
     {"K", "K|a|1|7800", "K|b|1|7900", "K|c|4|01000000", "K|d|3|01", "K|e|3|01"},
     {"8: value left out: text after its string's closing quote"}},
    {"blanks around names, '=' and data",
     "[K]\n  \"a\" = \"t\"  \n\t\"b\"\t=\thex: 01, 02\n\"c\"=dword:  00000008\n @ = \"d\"\n\"g\"=hex:01 ,02\n",
     {"K", "K|a|1|7400", "K|b|3|0102", "K|c|4|08000000", "K||1|6400"},
     {"7: value left out: bad hex data"}},
    {"dword forms",
     "[K]\n\"a\"=dword:1\n\"b\"=dword:\n\"c\"=dword:000000001\n\"d\"=dword:1 2\n\"e\"=Dword:1\n"
     "\"f\"=dword:0x1\n\"g\"=dword:-1\n\"h\"=dword:FFFFFFFF\n",
     {"K", "K|a|4|01000000", "K|h|4|ffffffff"},
     {"4: value left out: a dword", "5: value left out: a dword", "6: value left out: a dword",
      "7: value left out: unknown data type", "8: value left out: a dword", "9: value left out: a dword"}},
    {"hex byte forms",
     "[K]\n\"a\"=hex:1,2\n\"b\"=hex:0x1f,+2,-0\n\"c\"=hex:00000000\n\"d\"=hex:100\n\"e\"=hex:01,,02\n"
     "\"f\"=hex:01,\n\"g\"=HEX:01\n\"h\"=hex:01 02\n\"i\"=hex:-1\n",
     {"K", "K|a|3|0102", "K|b|3|1f0200", "K|c|3|00", "K|f|3|01"},
     {"6: value left out: bad hex data", "7: value left out: bad hex data", "9: value left out: unknown data type",
      "10: value left out: bad hex data", "11: value left out: bad hex data"}},
    {"data of no type regedit knows",
     "[K]\n\"LineSelection\"=1\n\"File Filter\"=0x10\n\"c\"=str:\"x\"\n\"d\"=hex(2)\n\"e\"=\n",
     {"K"},
     {"3: value left out: unknown data type", "4: value left out: unknown data type",
      "5: value left out: unknown data type", "6: value left out: a bad type", "7: value left out: unknown data type"}},
    {"two values on one line",
     "[K]\n\"a\"=\"1\" \"b\"=\"2\"\n\"c\"=\"3\"\n",
     {"K", "K|c|1|3300"},
     {"3: value left out: text after its string's closing quote"}},
    {"lines that are no key, value or comment",
     "[K]\nDEL %this_dir% Project64.cache\n-[K\\x]\n\"a\"=\"1\"\nHello\n",
     {"K", "K|a|1|3100"},
     {"3: line left out: not a key, a value or a comment", "4: line left out", "6: line left out"}},
    {"unterminated names and strings",
     "[K]\n\"a\"=\"abc\n\"b\n\"c\"=\"x\\\"\n\"d\"=\"ok\"\n",
     {"K", "K|d|1|6f6b00"},
     {"3: value left out: its string has no closing quote", "4: value left out: its name has no closing quote",
      "5: value left out: its string has no closing quote"}},
    {"no '=' after a name",
     "[K]\n\"a\" \"1\"\n@x=\"1\"\n\"b\"\n",
     {"K"},
     {"3: value left out: no '='", "4: value left out: no '='", "5: value left out: no '='"}},
    {"values deleted",
     "[K]\n\"a\"=\"1\"\n\"b\"=\"2\"\n\"c\"=\"3\"\n\"a\"=-\n\"B\"=- ;c\n\"c\"=-x\n\"never\"=-\n",
     {"K", "K|c|1|3300"},
     {"8: value deletion left out: text after '-'"}},
    {"values replaced, names compared without letter case",
     "[K]\n\"A\"=\"1\"\n\"a\"=\"2\"\n",
     {"K", "K|A|1|3200"},
     {}},
    {"key paths with doubled and trailing backslashes",
     "[K\\a\\\\b]\n\"v\"=\"1\"\n[K\\c\\]\n\"v\"=\"2\"\n[K\\e\\\\\\]\n\"v\"=\"3\"\n",
     {"K", "K\\a", "K\\a\\b", "K\\a\\b|v|1|3100", "K\\c", "K\\c|v|1|3200", "K\\e", "K\\e|v|1|3300"},
     {}},
    {"a key path with a backslash right after its root",
     "[K\\x]\n[HKEY_CURRENT_USER\\\\Software\\KormaldCase\\d]\n\"v\"=\"3\"\n",
     {"K", "K\\x"},
     {"3: key left out: a key path cannot go on", "4: value left out: no key is open"}},
    {"roots by their full names only, in any letter case",
     "[hkey_current_user\\Software\\KormaldCase\\a]\n[HKCU\\Software\\KormaldCase\\f]\n\"v\"=\"5\"\n"
     "[HKEY_NOWHERE\\x]\n\"w\"=\"6\"\n",
     {"K", "K\\a"},
     {"3: key left out: unknown root key: 'HKCU'", "4: value left out: no key is open",
      "5: key left out: unknown root key: 'HKEY_NOWHERE'", "6: value left out: no key is open"}},
    {"key lines regedit does not take keep the key before open",
     "[K\\g]\n[ K\\h]\n\"w\"=\"7\"\n[K\\i\n\"x\"=\"8\"\n[\n",
     {"K", "K\\g", "K\\g|w|1|3700", "K\\g|x|1|3800"},
     {"3: key line left out: a blank after '['", "5: key line left out: no closing ']'",
      "7: key line left out: no closing ']'"}},
    {"text after a key name's ']' is ignored",
     "[K\\j] junk\n\"v\"=\"1\"\n[K\\a]b]\n",
     {"K", "K\\j", "K\\j|v|1|3100", "K\\a]b"},
     {"2: text after the key name's ']' ignored"}},
    {"keys deleted",
     "[K\\x\\y]\n[K\\z\\y]\n[K\\w\\y]\n[-K\\x\\]\n[-K\\\\z]\n[-HKEY_CURRENT_USER\\\\Software\\KormaldCase\\w]\n"
     "\"v\"=\"1\"\n[-foo]\n[-K\\never]\n",
     {"K", "K\\w", "K\\w\\y"},
     {"7: key deletion left out", "8: value left out: no key is open", "9: key deletion left out"}},
    {"a root cannot be deleted",
     "[K]\n[-HKEY_CURRENT_USER]\n[K]\n\"b\"=\"1\"\n",
     {"K", "K|b|1|3100"},
     {"3: key deletion left out: a root key cannot be deleted"},
     Formats::kBoth,
     "Wine's regedit stops reading the file at such a line"},
    {"a value before any key", "\"a\"=\"1\"\n[K]\n\"b\"=\"2\"\n", {"K", "K|b|1|3200"},
     {"2: value left out: no key is open: no key line comes before it"}},
    {"line ends: CR alone, CR LF, LF",
     "[K]\r\"a\"=\"1\"\r\n\"b\"=\"2\"\n\r\"c\"=\"3\"\r",
     {"K", "K|a|1|3100", "K|b|1|3200", "K|c|1|3300"},
     {}},
    {"hex data continued over lines",
     "[K]\n\"a\"=hex:01,02,\\\n  03,04\n\"m\"=hex:41,\\\n\n;c\n  42\n\"u\"=hex:01,\\ ;c\n 02\n"
     "\"z\"=hex:01, \\\n  02 ;c\n\"r\"=hex:01,\\\r  02,\\\r\n  03\r\n",
     {"K", "K|a|3|01020304", "K|m|3|4142", "K|u|3|0102", "K|z|3|0102", "K|r|3|010203"},
     {}},
    {"continuations that break the value",
     "[K]\n\"p\"=hex:01,\\\n#x\n\"q\"=\"1\"\n\"r\"=hex:01,\\\n,02\n\"s\"=hex:01,\\\n\\\n\"t\"=\"2\"\n"
     "\"w\"=hex:01,\\\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"c\"=hex:01\\\n\"d\"=\"1\"\n\"e\"=hex:01,\\ x\n  02\n"
     "\"f\"=hex:01,\\\n  02, \n\"g\"=hex:01,\\\n@=\"lost\"\n",
     {"K", "K|q|1|3100", "K|t|1|3200", "K|y|1|3200", "K|d|1|3100"},
     {"3: value left out with line 4", "6: value left out with line 7", "8: value left out with line 9",
      "11: value left out with line 12", "14: value left out: bad hex data", "16: value left out: bad hex data",
      "17: line left out", "18: value left out: bad hex data at line 19", "20: value left out with line 21"}},
    {"a file that ends after a backslash", "[K]\n\"x\"=hex:01,\\", {"K", "K|x|3|01"}, {}},
    {"a file that ends after a backslash and blank lines", "[K]\n\"x\"=hex:01,\\\n\n;c\n", {"K", "K|x|3|01"}, {}},
    {"blanks before the header", "[K]\n\"a\"=\"1\"\n", {"K", "K|a|1|3100"}, {}, Formats::kOnly4, "", "  \tREGEDIT4"},
    {"blanks before the version 5 header", "[K]\n\"a\"=\"1\"\n", {"K", "K|a|1|3100"}, {}, Formats::kOnly5, "",
     " Windows Registry Editor Version 5.00"},
    {"blanks after the header", "[K]\n\"a\"=\"1\"\n", {"K", "K|a|1|3100"}, {}, Formats::kOnly4,
     "files published for Windows carry them, and regedit imports nothing from those files", "REGEDIT4  "},
    {"a NUL byte", std::string("[K]\n\"a\"=\"x") + '\0' + "y\"\n\"b\"=\"1\"\n", {"K", "K|b|1|3100"},
     {"3: line left out"}, Formats::kOnly4, "what regedit makes of a NUL depends on its read buffer"},
    {"names longer than Windows 9x allows",
     "[K]\n\"" + std::string(256, 'v') + "\"=\"1\"\n[K\\" + std::string(256, 'k') + "]\n\"b\"=\"1\"\n",
     {"K"},
     {"3: value left out: its name is longer than 255", "4: key left out: a key name longer than 255",
      "5: value left out: no key is open"},
     Formats::kBoth,
     "Windows NT takes names longer than 255 characters, Windows 9x does not"},
    {"8-bit text kept as it is, brackets in a string, no line end at the end",
     "[K]\n\"\xe4\"=\"\xff\xfe\"\n\"b\"=\"[x]\"\n\"c\"=\"t\"",
     {"K", "K|\xe4|1|fffe00", "K|b|1|5b785d00", "K|c|1|7400"},
     {},
     Formats::kOnly4},
    {"the longest names Windows 9x allows",
     "[K\\" + std::string(255, 'k') + "]\n\"" + std::string(255, 'v') + "\"=\"t\"\n",
     {"K", "K\\" + std::string(255, 'k'), "K\\" + std::string(255, 'k') + "|" + std::string(255, 'v') + "|1|7400"},
     {}},
    {"a UTF-8 file with a byte order mark", "[K]\n\"\xc3\xa4\"=\"\xc3\xb6\"\n", {"K", "K|\xe4|1|f600"}, {},
     Formats::kOnly4,
     "Wine's regedit reads a file without a UTF-16 mark in its ANSI codepage, and sees no header after a UTF-8 "
     "mark; editors add one",
     "\xef\xbb\xbfWindows Registry Editor Version 5.00"},
    {"a version 5 file in UTF-8 without a byte order mark",
     "[K]\n\"\xc3\xa4\"=\"\xc3\xb6\"\n",
     {"K", "K|\xe4|1|f600"},
     {},
     Formats::kOnly4, "Wine's regedit reads a file without a UTF-16 mark in its ANSI codepage; such files are UTF-8",
     "Windows Registry Editor Version 5.00"},
    {"text beyond ASCII, converted", "[K\\\xc3\xa4]\n\"\xc3\xb6\"=\"\xc3\xbc\"\n",
     {"K", "K\\\xe4", "K\\\xe4|\xf6|1|fc00"}, {}, Formats::kOnly5},
};

}  // namespace reg_cases
