// Registry text in the machine's codepage: shown in the user's charset,
// padded as the machine padded it, kept as stored where asked, and read from
// and written to version 5 (UTF-16) exports in that codepage.
#include <gtest/gtest.h>

#include <algorithm>

#include "testkit/hive_writer.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

using hive_writer::Key;
using testing_support::RunProgram;

// One language's words as its codepage stores them and as UTF-8 shows them.
struct Words {
  int codepage;
  std::string port, portUtf8;        // a port driver, for the padding
  std::string desc, descUtf8;        // a description
  std::string device, deviceUtf8;    // a device node's key name
};

// Byte values written out, so that the expectations owe nothing to a
// converter: Windows-1252, -1251 and Shift-JIS (932).
const Words kWestern{1252, "\xC4\xD6.PDR", "ÄÖ.PDR", "Ger\xE4t f\xFCr Platten", "Gerät für Platten",
                     "Ger\xE4t", "Gerät"};
const Words kCyrillic{1251, "\xC4\xD0.PDR", "ДР.PDR", "\xCA\xEE\xED\xF2\xF0\xEE\xEB\xEB\xE5\xF0", "Контроллер",
                      "\xD3\xF1\xF2\xF0", "Устр"};
const Words kJapanese{932, "\x93\xFA\x96\x7B.PDR", "日本.PDR", "\x90\xA7\x8C\xE4\x91\x95\x92\x75", "制御装置",
                      "\x93\xFA\x96\x7B", "日本"};

Key Machine(const Words& w) {
  Key nls{"Nls", {}, {Key{"Codepage", {{"ACP", 1, std::to_string(w.codepage)}}, {}}}};
  Key hdc{"hdc", {}, {Key{"0001", {{"PortDriver", 1, w.port}, {"InfPath", 1, "MSHDC.INF"}, {"DriverDesc", 1, w.desc}}, {}}}};
  Key services{"Services", {}, {Key{"Class", {}, {std::move(hdc)}}}};
  Key control{"Control", {}, {std::move(nls)}};
  return Key{"", {}, {Key{"Enum", {}, {Key{"MF", {}, {Key{w.device, {{"Driver", 1, "hdc\\0001"}}, {}}}}}},
                      Key{"System", {}, {Key{"CurrentControlSet", {}, {std::move(services), std::move(control)}}}}}};
}

const char kHeader[] = "ID  PORT DRIVER      .INF FILE  DESCRIPTION\n\n";

class Codepages : public ::testing::TestWithParam<Words> {};

TEST_P(Codepages, ShownInTheLocaleAndPaddedAsStored) {
  const Words& w = GetParam();
  std::string hive = testing_support::WriteFile(testing_support::ScratchDir() + "/SYSTEM.DAT",
                                                hive_writer::Write(Machine(w)).bytes);
  // Padded to 12 by the bytes the codepage takes, as on the machine: in
  // 932 a character of two bytes took two columns there, and takes two in a
  // UTF-8 terminal, in three bytes.
  std::string pad(1 + 12 - w.port.size(), ' ');
  std::string stored = std::string(kHeader) + "01:" + pad + w.port + "     MSHDC.INF  " + w.desc + "\n";
  std::string shown = std::string(kHeader) + "01:" + pad + w.portUtf8 + "     MSHDC.INF  " + w.descUtf8 + "\n";
  std::map<std::string, std::string> utf8{{tools::kRegistryVariable, hive}, {"LC_ALL", "C.UTF-8"}};
  EXPECT_EQ(RunProgram(KORMALD_BINARY, {}, utf8).out, shown);
  EXPECT_EQ(RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, hive}}).out, stored);  // the C locale
  auto raw = utf8;
  raw["KORMALD_CODEPAGE"] = "raw";
  EXPECT_EQ(RunProgram(KORMALD_BINARY, {}, raw).out, stored);

  // A pattern typed in the locale finds a name stored in the codepage.
  auto found = RunProgram(REGWALK_BINARY, {"HKEY_LOCAL_MACHINE\\Enum\\**" + w.deviceUtf8}, utf8);
  EXPECT_EQ(found.out, "HKEY_LOCAL_MACHINE\\Enum\\MF\\" + w.deviceUtf8 + "\n") << found.err;
  // An export keeps the codepage, whatever the locale.
  auto exported = RunProgram(REGWALK_BINARY, {"-e", "HKEY_LOCAL_MACHINE\\Enum\\MF"}, utf8);
  EXPECT_NE(exported.out.find("[HKEY_LOCAL_MACHINE\\Enum\\MF\\" + w.device + "]"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Machines, Codepages, ::testing::Values(kWestern, kCyrillic, kJapanese),
                         [](const auto& info) { return "cp" + std::to_string(info.param.codepage); });

std::string RegFile(const std::string& acp, const std::string& desc) {
  return "REGEDIT4\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]\r\n\"ACP\"=\"" + acp + "\"\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\Enum\\MF\\X]\r\n\"Driver\"=\"hdc\\\\0001\"\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\0001]\r\n"
         "\"PortDriver\"=\"P.PDR\"\r\n\"DriverDesc\"=\"" + desc + "\"\r\n";
}

TEST(Text, ByteWithoutMappingIsShownAsAQuestionMark) {
  // 0x81 is no character of Windows-1252.
  std::string reg = testing_support::WriteFile(testing_support::ScratchDir() + "/a.reg", RegFile("1252", "A\x81Z"));
  auto result = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, reg}, {"LC_ALL", "C.UTF-8"}});
  EXPECT_EQ(result.out, std::string(kHeader) + "01:        P.PDR             ?  A?Z\n");
}

// UTF-8 to UTF-16LE, for the characters of the basic plane these tests use.
std::string Utf16(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  for (std::size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    unsigned cp = c;
    std::size_t n = 1;
    if (c >= 0xE0) {
      cp = (c & 0x0F) << 12 | (utf8[i + 1] & 0x3F) << 6 | (utf8[i + 2] & 0x3F);
      n = 3;
    } else if (c >= 0xC0) {
      cp = (c & 0x1F) << 6 | (utf8[i + 1] & 0x3F);
      n = 2;
    }
    out += static_cast<char>(cp & 0xFF);
    out += static_cast<char>(cp >> 8);
    i += n;
  }
  return out;
}

// A registry whose codepage this system cannot convert (or that names
// none) is read as Windows-1252, for rows and for a version 5 export.
TEST(Text, UnknownCodepageIsReadAsWestern) {
  for (const char* acp : {"4711", "", "none"}) {
    std::string reg = testing_support::WriteFile(testing_support::ScratchDir() + "/a.reg", RegFile(acp, "\xC4"));
    auto rows = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, reg}, {"LC_ALL", "C.UTF-8"}});
    EXPECT_EQ(rows.out, std::string(kHeader) + "01:        P.PDR             ?  Ä\n") << acp;
    auto export5 = RunProgram(REGWALK_BINARY, {"-E", "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\0001"},
                              {{tools::kRegistryVariable, reg}});
    EXPECT_EQ(export5.status, 0) << acp << export5.err;
    EXPECT_NE(export5.out.find(Utf16("\"DriverDesc\"=\"Ä\"").substr(2)), std::string::npos) << acp;
  }
}

TEST(Text, Version5ExportIsStoredInTheRegistrysCodepage) {
  std::string dir = testing_support::ScratchDir();
  // The codepage comes from a later source than the export that needs it.
  std::string v5 = testing_support::WriteFile(
      dir + "/v5.reg", Utf16("Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\0001]\r\n"
                             "\"PortDriver\"=\"P.PDR\"\r\n\"DriverDesc\"=\"Контроллер 日\"\r\n"
                             "\"Multi\"=hex(7):1a,04,00,00,00,00\r\n"
                             "[HKEY_LOCAL_MACHINE\\Enum\\MF\\Устр]\r\n\"Driver\"=\"hdc\\\\0001\"\r\n"));
  std::string acp = testing_support::WriteFile(
      dir + "/acp.reg", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]\r\n"
                        "\"ACP\"=\"1251\"\r\n");
  std::map<std::string, std::string> env{{tools::kRegistryVariable, v5 + ":" + acp}};
  // Stored in 1251; the Japanese character has no place there.
  auto listing = RunProgram(KORMALD_BINARY, {}, env);
  EXPECT_EQ(listing.out, std::string(kHeader) + "01:        P.PDR             ?  \xCA\xEE\xED\xF2\xF0\xEE\xEB\xEB\xE5\xF0 ?\n");
  auto exported = RunProgram(REGWALK_BINARY, {"-e", "HKEY_LOCAL_MACHINE\\**"}, env);
  EXPECT_NE(exported.out.find("[HKEY_LOCAL_MACHINE\\Enum\\MF\\\xD3\xF1\xF2\xF0]"), std::string::npos);
  EXPECT_NE(exported.out.find("\"Multi\"=hex(7):ca,00,00\r\n"), std::string::npos) << exported.out;

  // Both exports read back to the same registry, byte for byte.
  std::string regedit4 = testing_support::WriteFile(dir + "/4.reg", exported.out);
  auto v5Export = RunProgram(REGWALK_BINARY, {"-E", "HKEY_LOCAL_MACHINE\\**"}, env);
  EXPECT_EQ(v5Export.status, 0) << v5Export.err;
  EXPECT_TRUE(v5Export.out.starts_with(Utf16("Windows Registry Editor Version 5.00\r\n")));
  std::string version5 = testing_support::WriteFile(dir + "/5.reg", v5Export.out);
  for (const std::string& file : {regedit4, version5}) {
    auto again = RunProgram(REGWALK_BINARY, {"-e", "HKEY_LOCAL_MACHINE\\**"}, {{tools::kRegistryVariable, file}});
    EXPECT_EQ(again.out, exported.out) << file;
  }
}

TEST(Text, CodepageVariableIsChecked) {
  std::string reg = testing_support::WriteFile(testing_support::ScratchDir() + "/a.reg", RegFile("1252", "D"));
  auto bad = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, reg}, {"KORMALD_CODEPAGE", "latin"}});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "kormald: KORMALD_CODEPAGE=latin: expected a Windows codepage number (such as 1252) or raw\n");
  // A number overrides the registry's own: 0xC4 is Д in 1251, Ä in 1252.
  std::string desc = testing_support::WriteFile(testing_support::ScratchDir() + "/b.reg", RegFile("1252", "\xC4"));
  auto cyrillic = RunProgram(KORMALD_BINARY, {},
                             {{tools::kRegistryVariable, desc}, {"KORMALD_CODEPAGE", "1251"}, {"LC_ALL", "C.UTF-8"}});
  EXPECT_EQ(cyrillic.out, std::string(kHeader) + "01:        P.PDR             ?  Д\n");
}

}  // namespace

namespace {

// A pattern's characters are the registry's or none: a character its
// codepage cannot hold matches nothing (a '?' in its place would match
// Xmega and Amega), and bytes that are no text in the locale are an error.
TEST(Text, PatternCharactersNeverBecomeWildcards) {
  std::string reg = testing_support::WriteFile(testing_support::ScratchDir() + "/pat.reg",
                                               "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Xmega]\r\n"
                                               "[HKEY_LOCAL_MACHINE\\Software\\Amega]\r\n"
                                               "[HKEY_LOCAL_MACHINE\\Software\\\xEAmega]\r\n");
  const std::string under = "HKEY_LOCAL_MACHINE\\Software\\";
  const std::string nothing = "regwalk: the pattern holds a character codepage 1252 cannot hold: no key matches it\n";
  struct Row {
    std::string locale;
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } rows[] = {
      {"C.UTF-8", {under + "Ωmega"}, 5, "", nothing},
      {"C.UTF-8", {"-v", under + "*\\Ωmega"}, 5, "", nothing},
      {"C.UTF-8", {"-e", under + "Ωmega"}, 5, "REGEDIT4\r\n\r\n", nothing},
      {"C.UTF-8", {under + "êmega"}, 0, under + "êmega\n", ""},
      {"C.UTF-8", {under + "?mega"}, 0, under + "êmega\n" + under + "Amega\n" + under + "Xmega\n", ""},
      {"C.UTF-8", {under + "\xFFmega"}, 1, "", "regwalk: the pattern is not valid text in the locale's charset (UTF-8)\n"},
      {"C.UTF-8", {under + "\xC3"}, 1, "", "regwalk: the pattern is not valid text in the locale's charset (UTF-8)\n"},
      // The C locale passes bytes as they are, as it shows them.
      {"C", {under + "\xEAmega"}, 0, under + "\xEAmega\n", ""},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args{"-f", reg};
    args.insert(args.end(), row.args.begin(), row.args.end());
    auto result = RunProgram(REGWALK_BINARY, args, {{"LC_ALL", row.locale}});
    EXPECT_EQ(result.status, row.status) << row.args.back();
    EXPECT_EQ(result.out, row.out) << row.args.back();
    EXPECT_EQ(result.err, row.err) << row.args.back();
  }
}

}  // namespace

namespace {

// A double-byte codepage's second byte may be 0x5C, the '\' that separates
// names: ソフトウェア in Shift-JIS (932) begins 83 5C. A Japanese Windows keeps
// such keys; so does every source here, and nothing after one is lost.
const std::string kSoftware = "\x83\x5C\x83\x74\x83\x67\x83\x45\x83\x46\x83\x41";  // ソフトウェア

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(Text, DoubleByteNamesWithABackslashByteAreKept) {
  const std::string acp = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]\r\n\"ACP\"=\"932\"\r\n";
  // Quoted text takes a double-byte character whole, as Windows writes it:
  // its second byte '\\' is no escape.
  const std::string& escaped = kSoftware;
  const std::string keys = "[HKEY_LOCAL_MACHINE\\Software\\" + kSoftware + "]\r\n\"" + escaped + "\"=\"" + escaped +
                           "\"\r\n[HKEY_LOCAL_MACHINE\\Software\\" + kSoftware + "\\Sub]\r\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\Zed]\r\n[HKEY_USERS\\.DEFAULT\\Later]\r\n";
  std::string dir = testing_support::ScratchDir();
  std::string withAcp = testing_support::WriteFile(dir + "/acp.reg", "REGEDIT4\r\n\r\n" + acp + keys);
  std::string without = testing_support::WriteFile(dir + "/named.reg", "REGEDIT4\r\n\r\n" + keys);
  Key nls{"Nls", {}, {Key{"Codepage", {{"ACP", 1, "932"}}, {}}}};
  Key system{"System", {}, {Key{"CurrentControlSet", {}, {Key{"Control", {}, {std::move(nls)}}}}}};
  Key software{"Software", {}, {Key{kSoftware, {{kSoftware, 1, kSoftware}}, {Key{"Sub", {}, {}}}}, Key{"Zed", {}, {}}}};
  std::string hive = testing_support::WriteFile(
      dir + "/SYSTEM.DAT", hive_writer::Write(Key{"", {}, {std::move(system), std::move(software)}}).bytes);

  const std::string under = "HKEY_LOCAL_MACHINE\\Software\\";
  std::vector<std::string> expected = {under + kSoftware, under + kSoftware + "\\Sub", under + "Zed"};
  std::sort(expected.begin(), expected.end());
  struct Row {
    const char* what;
    std::string source;
    std::string codepage;  // KORMALD_CODEPAGE, "" for none
  } rows[] = {
      {"a REGEDIT4 file naming its codepage", withAcp, ""},
      {"a REGEDIT4 file and KORMALD_CODEPAGE", without, "932"},
      {"a hive naming its codepage", hive, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::map<std::string, std::string> env{{tools::kRegistryVariable, row.source}};
    if (!row.codepage.empty()) env["KORMALD_CODEPAGE"] = row.codepage;
    auto walked = RunProgram(REGWALK_BINARY, {"HKEY_LOCAL_MACHINE\\Software\\**"}, env);
    EXPECT_EQ(walked.status, 0) << walked.err;
    EXPECT_EQ(walked.err, "");
    EXPECT_EQ(Lines(walked.out), expected);
    auto values = RunProgram(REGWALK_BINARY, {"-v", under + kSoftware}, env);
    EXPECT_NE(values.out.find("\"" + escaped + "\"=\"" + escaped + "\""), std::string::npos) << values.out;
    // Both exports load back to the same registry, and the walk goes on past
    // the key to HKEY_USERS.
    for (const char* mode : {"-e", "-E"}) {
      auto exported = RunProgram(REGWALK_BINARY, {mode}, env);
      EXPECT_EQ(exported.status, 0) << mode << " " << exported.err;
      std::string file = testing_support::WriteFile(dir + "/again" + mode + ".reg", exported.out);
      auto again = RunProgram(REGWALK_BINARY, {"HKEY_LOCAL_MACHINE\\Software\\**"},
                              {{tools::kRegistryVariable, file}, {"KORMALD_CODEPAGE", "932"}});
      EXPECT_EQ(Lines(again.out), expected) << mode << ": " << again.err;
      if (row.source != hive) {
        std::string later = std::string(mode) == "-E" ? std::string("L\0a\0t\0e\0r", 9) : "Later";
        EXPECT_NE(exported.out.find(later), std::string::npos) << mode;
      }
    }
  }
}

}  // namespace
