// regwalk run as a program: visit orders, the value listing, the export and
// its round trip, --match, --split and the exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "hive/layout.h"
#include "testkit/hive_writer.h"
#include "testkit/match_cases.h"
#include "tools/backward_text.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"
#include "sources/sources.h"

namespace {

using testing_support::RunProgram;
using testing_support::ScratchDir;
using testing_support::WriteFile;

const std::string kRegwalk = REGWALK_BINARY;

std::string TreeFile() {
  static std::string path = WriteFile(ScratchDir() + "/tree.reg", R"(REGEDIT4

[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1\DEV_A]
"Driver"="hdc\\0001"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_2]
[HKEY_LOCAL_MACHINE\Enum\ESDI\Disk]
"Size"=dword:00000200
[HKEY_LOCAL_MACHINE\Software\Driver Kit]
@="default"
"Data"=hex:01,02
[HKEY_USERS\.DEFAULT\Software\DriverCache]
)");
  return path;
}

struct WalkRow {
  std::vector<std::string> args;
  int status;
  std::string out;
};

void PrintTo(const WalkRow& row, std::ostream* os) {
  for (const std::string& a : row.args) *os << " '" << a << "'";
}

class Walks : public ::testing::TestWithParam<WalkRow> {};

TEST_P(Walks, PrintVisitedKeysInOrder) {
  const WalkRow& row = GetParam();
  auto result = RunProgram(kRegwalk, row.args, {{tools::kRegistryVariable, TreeFile()}});
  EXPECT_EQ(result.status, row.status) << result.err;
  EXPECT_EQ(result.out, row.out);
}

const std::string LM = "HKEY_LOCAL_MACHINE";

INSTANTIATE_TEST_SUITE_P(Patterns, Walks, ::testing::Values(
    WalkRow{{"HKEY_LOCAL_MACHINE\\Enum\\PCI"}, 0,
            LM + "\\Enum\\PCI\n" + LM + "\\Enum\\PCI\\VEN_2\n" + LM + "\\Enum\\PCI\\VEN_1\n" + LM + "\\Enum\\PCI\\VEN_1\\DEV_A\n"},
    WalkRow{{"HKEY_LOCAL_MACHINE\\Enum\\*"}, 0,
            LM + "\\Enum\\ESDI\n" + LM + "\\Enum\\ESDI\\Disk\n" + LM + "\\Enum\\PCI\n" + LM + "\\Enum\\PCI\\VEN_2\n" +
                LM + "\\Enum\\PCI\\VEN_1\n" + LM + "\\Enum\\PCI\\VEN_1\\DEV_A\n"},
    WalkRow{{"-n", "HKEY_LOCAL_MACHINE\\Enum\\*"}, 0, LM + "\\Enum\\ESDI\n" + LM + "\\Enum\\PCI\n"},
    WalkRow{{"-n", "HKEY_LOCAL_MACHINE\\Enum\\P?I"}, 0, LM + "\\Enum\\PCI\n"},
    WalkRow{{"**Driver*"}, 0,
            LM + "\\Software\\Driver Kit\nHKEY_USERS\\.DEFAULT\\Software\\DriverCache\n"},
    WalkRow{{"*\\**\\Disk"}, 5, ""},
    WalkRow{{"-n", "hklm\\Enum\\P?I"}, 0, LM + "\\Enum\\PCI\n"},
    WalkRow{{"HKU\\.DEFAULT\\Software"}, 0, "HKEY_USERS\\.DEFAULT\\Software\nHKEY_USERS\\.DEFAULT\\Software\\DriverCache\n"},
    WalkRow{{"HKEY_USERS\\**"}, 0,
            "HKEY_USERS\\.DEFAULT\nHKEY_USERS\\.DEFAULT\\Software\nHKEY_USERS\\.DEFAULT\\Software\\DriverCache\n"},
    WalkRow{{"-n", ""}, 5, ""},
    WalkRow{{"", "-f", "/dev/null/nothing", "-f"}, 2, ""},
    WalkRow{{"-n", "HKEY_LOCAL_MACHINE"}, 0, LM + "\n"},
    WalkRow{{"A\tB"}, 1, ""}));

// A pattern that selects nothing says why: the first key of its literal
// part that does not exist.
TEST(Walks, NothingSelectedSaysWhy) {
  const std::string none = "regwalk: the pattern selects no key";
  struct Row {
    std::vector<std::string> args;
    std::string err;
  } rows[] = {
      {{"HKEY_LOCAL_MACHINE\\Sytem\\**"}, none + ": HKEY_LOCAL_MACHINE\\Sytem does not exist\n"},
      {{"-v", "HKLM\\Enum\\PCI\\VEN_3"}, none + ": HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_3 does not exist\n"},
      {{"--json", "HKEY_LOCAL_MACHINE\\Enum\\X*"}, none + ": HKEY_LOCAL_MACHINE\\Enum holds no key the rest of it selects\n"},
      {{"-e", "System\\CurrentControlSet"},
       none + ": System is no root key (HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, "
              "HKEY_CURRENT_CONFIG or HKEY_DYN_DATA; or HKLM and the like)\n"},
      {{"hkey_current_user\\Software"},
       none + ": the walk enters HKEY_CURRENT_USER only where the pattern names it so, in capitals\n"},
      {{"--diff", TreeFile(), TreeFile(), "HKCU\\Nothing"},
       none + " in OLD or in NEW; in NEW: HKEY_CURRENT_USER\\Nothing does not exist\n"},
  };
  for (const Row& row : rows) {
    auto result = RunProgram(kRegwalk, row.args, {{tools::kRegistryVariable, TreeFile()}});
    EXPECT_EQ(result.status, 5) << row.args.back();
    EXPECT_EQ(result.err, row.err);
  }
}

TEST(Walks, NoPatternAndEmptyPatternVisitEverything) {
  auto none = RunProgram(kRegwalk, {}, {{tools::kRegistryVariable, TreeFile()}});
  auto empty = RunProgram(kRegwalk, {""}, {{tools::kRegistryVariable, TreeFile()}});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, empty.out);
  EXPECT_EQ(none.out,
            LM + "\n" + LM + "\\Software\n" + LM + "\\Software\\Driver Kit\n" + LM + "\\Enum\n" + LM + "\\Enum\\ESDI\n" +
                LM + "\\Enum\\ESDI\\Disk\n" + LM + "\\Enum\\PCI\n" + LM + "\\Enum\\PCI\\VEN_2\n" + LM +
                "\\Enum\\PCI\\VEN_1\n" + LM + "\\Enum\\PCI\\VEN_1\\DEV_A\n" +
                "HKEY_USERS\nHKEY_USERS\\.DEFAULT\nHKEY_USERS\\.DEFAULT\\Software\n"
                "HKEY_USERS\\.DEFAULT\\Software\\DriverCache\nHKEY_CURRENT_CONFIG\nHKEY_DYN_DATA\n");
}

TEST(Walks, ValuesFollowTheirKey) {
  auto result = RunProgram(kRegwalk, {"-v", "HKEY_LOCAL_MACHINE\\S*\\**"}, {{tools::kRegistryVariable, TreeFile()}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, LM + "\\Software\\Driver Kit\n  @=\"default\"\n  \"Data\"=hex:01,02\n");
}

TEST(Walks, FilesGivenWithFTakePrecedence) {
  std::string other = WriteFile(ScratchDir() + "/other.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Only]\n");
  auto result = RunProgram(kRegwalk, {"-f", other, "HKEY_LOCAL_MACHINE\\*"}, {{tools::kRegistryVariable, TreeFile()}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, LM + "\\Only\n");
  auto two = RunProgram(kRegwalk, {"-f", other, "-f", TreeFile(), "-n", "HKEY_LOCAL_MACHINE\\?nly"}, {{tools::kRegistryVariable, "\x01unset"}});
  EXPECT_EQ(two.out, LM + "\\Only\n");
}

TEST(ExitStatus, Table) {
  struct Row {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    int status;
    std::string errStart;
  } rows[] = {
      {{"-x"}, {}, 2, "regwalk: unknown option -x\nTry 'regwalk --help'.\n"},
      {{"-v", "-e"}, {}, 2, "regwalk: -v, -e and -E exclude each other\n"},
      {{"-e", "-E"}, {}, 2, "regwalk: -v, -e and -E exclude each other\n"},
      {{"a", "b"}, {}, 2, "regwalk: only one pattern may be given\n"},
      {{"--match", "A"}, {}, 2, "regwalk: --match needs a pattern and at least one path\n"},
      {{"--split"}, {}, 2, "regwalk: --split needs exactly one pattern\n"},
      {{"-f", "X", "--match", "a", "b"}, {}, 2, "regwalk: --match comes first, and goes with nothing but its own arguments\n"},
      {{}, {{tools::kRegistryVariable, "\x01unset"}}, 1, "regwalk: KORMALD_REGISTRY is not set"},
      // -n at a root that matches exactly: the walk did what was asked,
      // and only that is said.
      {{"-n", "HKEY_LOCAL_MACHINE"}, {{tools::kRegistryVariable, TreeFile()}}, 0,
       "regwalk: -n: the walk stops at HKEY_LOCAL_MACHINE, a root key the pattern matches exactly\n"},
      {{"-n", "HKLM"}, {{tools::kRegistryVariable, TreeFile()}}, 0,
       "regwalk: -n: the walk stops at HKEY_LOCAL_MACHINE, a root key the pattern matches exactly\n"},
      {{"A\tB"}, {{tools::kRegistryVariable, TreeFile()}}, 1, "regwalk: walk failed: the pattern does not compile\n"},
  };
  for (const Row& row : rows) {
    auto result = RunProgram(kRegwalk, row.args, row.env);
    EXPECT_EQ(result.status, row.status) << row.args.size();
    EXPECT_TRUE(result.err.starts_with(row.errStart)) << result.err;
    // A usage error is its one line and where the usage is, nothing more.
    if (row.status == 2) {
      EXPECT_EQ(result.err.substr(result.err.find('\n') + 1), "Try 'regwalk --help'.\n");
    }
  }
  auto help = RunProgram(kRegwalk, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("usage: regwalk [-f FILE]... [-n] [-v | -e | -E | --json] [PATTERN]\n"));
  EXPECT_EQ(help.err, "");
}

TEST(ExitStatus, DamagedKeyIsNamedAndTheStatusSaysIncomplete) {
  std::string hive = testing_support::SharedHive();
  if (hive.empty()) GTEST_SKIP() << "no shared hive";
  // A hive whose first key entry points outside the key area.
  std::string bytes = testing_support::ReadFile(hive);
  std::size_t root = 0x20 + static_cast<unsigned char>(bytes[0x28]) + 16;
  bytes[root] = '\xff';
  bytes[root + 1] = '\xff';
  bytes[root + 2] = '\xff';
  bytes[root + 3] = '\x7f';
  std::string damaged = WriteFile(ScratchDir() + "/SYSTEM.DAT", bytes);
  auto result = RunProgram(kRegwalk, {"HKEY_LOCAL_MACHINE\\*"}, {{tools::kRegistryVariable, damaged}});
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.err, "regwalk: " + damaged + ": offset 0x8000001f: a key under HKEY_LOCAL_MACHINE: key entry "
                        "0x7fffffff lies outside the key area; left out with its subkeys\n");
}

TEST(Match, EveryRowOfTheMatcherTable) {
  std::string expectedOut;
  for (const match_cases::MatchRow& row : match_cases::AllRows()) {
    if (row.caseFlag != 0) continue;
    auto result = RunProgram(kRegwalk, {"--match", row.pattern, row.text, "X"}, {{tools::kRegistryVariable, "\x01unset"}});
    EXPECT_EQ(result.status, 0);
    std::string first = result.out.substr(0, result.out.find('\t'));
    EXPECT_EQ(first, std::to_string(row.expected)) << row.pattern << " " << row.text;
  }
  auto words = RunProgram(kRegwalk, {"--match", "A\\**", "A\\X\\Y", "A", "B", "A\\X"});
  EXPECT_EQ(words.out, "7\texact+ancestor+below\tA\\X\\Y\n2\tancestor\tA\n0\tnone\tB\n7\texact+ancestor+below\tA\\X\n");
  auto error = RunProgram(kRegwalk, {"--match", "A\x01", "A"});
  EXPECT_EQ(error.out, "-1\terror\tA\n");
}

TEST(Split, EveryRowOfTheSplitTable) {
  for (const match_cases::SplitRow& row : match_cases::kSplitRows) {
    auto result = RunProgram(kRegwalk, {"--split", row.pattern});
    if (row.leading == nullptr) {
      EXPECT_EQ(result.status, 1) << row.pattern;
      EXPECT_EQ(result.err, "regwalk: the pattern holds a control character\n");
    } else {
      EXPECT_EQ(result.status, 0) << row.pattern;
      EXPECT_EQ(result.out, std::string(row.leading) + "\n" + row.rest + "\n") << row.pattern;
    }
  }
}

// Every option that takes a pattern writes out the short root names
// before it uses it, as the walk does.
TEST(ShortRootNames, EveryOptionThatTakesAPattern) {
  auto split = RunProgram(kRegwalk, {"--split", "HKLM\\Enum\\PCI\\*\\**"});
  EXPECT_EQ(split.out, "HKEY_LOCAL_MACHINE\\Enum\\PCI\n*\\**\n");
  auto lower = RunProgram(kRegwalk, {"--split", "hkcu"});
  EXPECT_EQ(lower.out, "HKEY_CURRENT_USER\n\n");
  auto match = RunProgram(kRegwalk, {"--match", "HKLM\\S*", "HKEY_LOCAL_MACHINE\\System", "HKLM\\Software", "HKU\\S"});
  EXPECT_EQ(match.out, "1\texact\tHKEY_LOCAL_MACHINE\\System\n1\texact\tHKLM\\Software\n0\tnone\tHKU\\S\n");
  auto walked = RunProgram(kRegwalk, {"HKLM\\Enum\\P?I"}, {{tools::kRegistryVariable, TreeFile()}});
  auto written = RunProgram(kRegwalk, {"HKEY_LOCAL_MACHINE\\Enum\\P?I"}, {{tools::kRegistryVariable, TreeFile()}});
  EXPECT_EQ(walked.out, written.out);
}

// Round trips: what regwalk -e writes loads back into the same tree.

std::vector<std::string> DumpOf(const std::string& file) {
  std::string error;
  EXPECT_TRUE(sources::InstallSources({file}, &error)) << error;
  return testing_support::DumpRegistry();
}

std::string Export(const std::string& file, const std::string& dir, const std::vector<std::string>& pattern = {}) {
  std::vector<std::string> args{"-e"};
  args.insert(args.end(), pattern.begin(), pattern.end());
  auto result = RunProgram(kRegwalk, args, {{tools::kRegistryVariable, file}});
  EXPECT_EQ(result.status, 0) << result.err;
  return WriteFile(dir + "/export" + std::to_string(result.out.size()) + ".reg", result.out);
}

TEST(RoundTrip, SampleRegistry) {
  std::string sample = testing_support::SourceDir() + "/samples/win98se.reg";
  std::string dir = ScratchDir();
  std::string exported = Export(sample, dir);
  EXPECT_EQ(DumpOf(exported), DumpOf(sample));
  // Exporting the export changes nothing.
  EXPECT_EQ(testing_support::ReadFile(Export(exported, dir + "/..")), testing_support::ReadFile(exported));
}

TEST(RoundTrip, ASubtree) {
  std::string sample = testing_support::SourceDir() + "/samples/win98se.reg";
  std::string exported = Export(sample, ScratchDir(), {"HKEY_LOCAL_MACHINE\\Enum\\PCI"});
  std::vector<std::string> all = DumpOf(sample), part = DumpOf(exported);
  std::vector<std::string> expected;
  for (const std::string& line : all) {
    if (line.starts_with(LM + "\\Enum\\PCI")) expected.push_back(line);
  }
  std::vector<std::string> got;
  for (const std::string& line : part) {
    if (line.starts_with(LM + "\\Enum\\PCI")) got.push_back(line);
  }
  EXPECT_EQ(got, expected);
}

TEST(RoundTrip, RealHive) {
  std::string hive = testing_support::SharedHive();
  if (hive.empty()) GTEST_SKIP() << "no shared hive";
  std::string exported = Export(hive, ScratchDir());
  EXPECT_EQ(DumpOf(exported), DumpOf(hive));
}

// Generated registries: every value type, empty data, and names with
// quotes, backslashes and bytes from 0x80 up.
TEST(RoundTrip, GeneratedRegistries) {
  std::mt19937 rng(2026);
  const std::string nameBytes = "aZ09 \"\\\x80\xff\xe4[]@=;-";
  auto randomName = [&](std::size_t minLength) {
    std::string name;
    for (std::size_t i = 0, n = minLength + rng() % 6; i < n; ++i) name += nameBytes[rng() % nameBytes.size()];
    return name;
  };
  const std::uint32_t types[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x12345678, 0xffffffff};
  for (int round = 0; round < 20; ++round) {
    std::string text = "REGEDIT4\n";
    std::vector<std::string> keys{"HKEY_LOCAL_MACHINE"};
    for (int k = 0; k < 30; ++k) {
      std::string name;
      do {
        name = randomName(1);
      } while (name.find('\\') != std::string::npos || name.find(']') != std::string::npos);
      std::string key = keys[rng() % keys.size()] + "\\" + name;
      keys.push_back(key);
      text += "[" + key + "]\n";
      for (int v = 0, n = static_cast<int>(rng() % 5); v < n; ++v) {
        std::string valueName = rng() % 5 == 0 ? "" : randomName(1);
        std::string quoted;
        for (char c : valueName) quoted += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
        text += valueName.empty() ? "@=" : "\"" + quoted + "\"=";
        char type[16];
        std::snprintf(type, sizeof type, "hex(%x):", types[rng() % std::size(types)]);
        text += type;
        for (int b = 0, bytes = static_cast<int>(rng() % 3 == 0 ? 0 : rng() % 40); b < bytes; ++b) {
          char hex[4];
          std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(rng() % 4 == 0 ? 0 : rng() % 256));
          text += (b ? "," : "") + std::string(hex);
        }
        text += "\n";
      }
    }
    std::string dir = ScratchDir();
    std::string source = WriteFile(dir + "/generated.reg", text);
    std::string exported = Export(source, dir);
    ASSERT_EQ(DumpOf(exported), DumpOf(source)) << "round " << round;
  }
}

// The export's text, laid down backwards, from a room far too small (a
// room is rounded up to the next huge page's boundary, so megabytes make
// it move): it grows under pieces of every size, and marks taken before a
// move still name the same text after it.
TEST(BackwardText, GrowsAndKeepsItsMarks) {
  for (std::size_t room : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    tools::BackwardText text(room);
    std::string expected;
    std::vector<std::size_t> marks;
    for (std::size_t size : {0, 1, 5, 3000, 2, 3000000, 1, 2500000, 4000000, 3}) {
      std::string piece(size, static_cast<char>('a' + size % 26));
      if (size > 0) piece.back() = '|';
      text.Prepend(piece);
      expected.insert(0, piece);
      marks.push_back(text.Length());
    }
    // What was laid down by a mark is the end of the whole text.
    std::string_view whole = expected;
    EXPECT_TRUE(text.Between(0, text.Length()) == whole) << room;
    for (std::size_t i = 0; i < marks.size(); ++i) {
      std::size_t from = i == 0 ? 0 : marks[i - 1];
      EXPECT_TRUE(text.Between(from, marks[i]) == whole.substr(whole.size() - marks[i], marks[i] - from))
          << room << " mark " << i;
    }
  }
}

}  // namespace
