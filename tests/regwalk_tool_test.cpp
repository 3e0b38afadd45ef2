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

namespace {

// regwalk --json, read back by a JSON library (Python's) into the bytes it
// stands for, gives the registry as its source stores it, byte for byte:
// every value type, odd names, bytes the codepage does not define. With the
// terminator the registry calls add to a string stored without one, that is
// what the calls hand out.
const char kJsonToLines[] = R"(
import json, sys
codepage = sys.argv[1]
def text(obj, field):
    if field + '_hex' in obj:
        return bytes.fromhex(obj[field + '_hex'])
    return obj[field].encode(codepage)
def stored(v):
    if 'data_hex' in v:
        return bytes.fromhex(v['data_hex'])
    d, t = v['data'], v['type_code']
    if isinstance(d, int):
        return d.to_bytes(4, 'big' if t == 5 else 'little')
    if isinstance(d, list):
        return b''.join(s.encode(codepage) + b'\0' for s in d) + b'\0' if d else b'\0\0'
    return d.encode(codepage) + (b'\0' if v['terminated'] else b'')
def data(v):
    d = stored(v)
    return d + b'\0' if v['type_code'] in (1, 2, 7) and not d.endswith(b'\0') else d
for line in sys.stdin.buffer:
    key = json.loads(line)
    path = text(key, 'path')
    sys.stdout.buffer.write(path + b'\n')
    for v in key['values']:
        sys.stdout.buffer.write(b'%s|%s|%d|%s\n' % (path, text(v, 'name'), v['type_code'], data(v).hex().encode()))
)";

// Output of whole lines, sorted; output whose last line has no line end
// fails the test (the tools end every line).
std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "output ends inside a line: " << text.substr(at);
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(Json, ReadBackGivesTheRegistryByteForByte) {
  std::string reg = WriteFile(ScratchDir() + "/odd.reg",
                              "REGEDIT4\r\n\r\n"
                              "[HKEY_LOCAL_MACHINE\\Odd\\Caf\xe9 \x81 \"q\"]\r\n"
                              "@=\"default\"\r\n"
                              "\"s\"=\"caf\xe9\"\r\n"
                              "\"undefined \x81\"=\"\x81\x8d\"\r\n"
                              "\"quote \\\" back \\\\ \x01\"=dword:0000002a\r\n"
                              "\"big\"=hex(5):00,00,00,2a\r\n"
                              "\"short dword\"=hex(4):01,02,03\r\n"
                              "\"multi\"=hex(7):61,00,62,00,00,00\r\n"
                              "\"empty multi\"=hex(7):00,00\r\n"
                              "\"bad multi\"=hex(7):61,00\r\n"
                              "\"inner nul\"=hex(1):61,00,62,00\r\n"
                              "\"expand\"=hex(2):25,50,25,00\r\n"
                              "\"bin\"=hex:\r\n"
                              "\"odd type\"=hex(99):01\r\n"
                              "[HKEY_USERS\\.DEFAULT\\Control Panel]\r\n\"x\"=\"y\"\r\n");
  // A written hive: names and data with bytes no quoting would keep,
  // strings stored without their terminator, and every type.
  using hive_writer::Key;
  Key odd{"Odd \x81\x01\"x", {{"", 1, "no terminator"},
                                   {"\x81\x8d", 1, std::string("a\0b\0", 4)},
                                   {"dword", 4, std::string("\x2a\0\0\0", 4)},
                                   {"three bytes", 4, "abc"},
                                   {"multi", 7, std::string("x\0y\0\0", 5)},
                                   {"none", 0, ""},
                                   {"link", 6, "L"},
                                   {"binary", 3, std::string("\0\xff", 2)},
                                   {"big", 5, std::string("\0\0\0\x01", 4)}},
          {}};
  std::string hive = WriteFile(ScratchDir() + "/ODD.DAT", hive_writer::Write(Key{"", {}, {odd}}).bytes);
  // Codepage 932, where a conversion that reports no loss still maps two
  // byte pairs to one character (81 BE and 87 9C both to U+222A): the
  // bytes must come beside such text.
  std::string japanese = WriteFile(ScratchDir() + "/932.reg",
                                   "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]"
                                   "\r\n\"ACP\"=\"932\"\r\n\r\n[HKEY_LOCAL_MACHINE\\J\\\x81\xbe]\r\n\"\x87\x9c\"=\"\x81\xbe\"\r\n"
                                   "\"\x81\xbe\"=\"\x87\x9c\"\r\n[HKEY_LOCAL_MACHINE\\J\\\x87\x9c]\r\n");
  std::vector<std::pair<std::string, std::string>> sources = {{reg, "cp1252"}, {hive, "cp1252"}, {japanese, "cp932"}};
  if (!testing_support::SharedHive().empty()) sources.emplace_back(testing_support::SharedHive(), "cp1252");
  for (const auto& [source, codepage] : sources) {
    SCOPED_TRACE(source);
    std::string out = ScratchDir() + "/walk.json";
    auto walked = RunProgram(kRegwalk, {"-f", source, "--json"}, {}, out);
    ASSERT_EQ(walked.status, 0) << walked.err;
    if (source == hive) {
      // The hive stores that string without its terminator, and says so.
      EXPECT_NE(testing_support::ReadFile(out).find(
                    R"({"name":"","type":"REG_SZ","type_code":1,"terminated":false,"data":"no terminator"})"),
                std::string::npos);
    }
    auto read = RunProgram("/bin/sh", {"-c", "python3 -c \"$1\" " + codepage + " < '" + out + "'", "sh", kJsonToLines});
    ASSERT_EQ(read.status, 0) << read.err;
    std::string error;
    ASSERT_TRUE(sources::InstallSources({source}, &error)) << error;
    std::string expected;
    for (const std::string& line : testing_support::DumpRegistry()) {
      if (line.starts_with("HKEY_LOCAL_MACHINE\\") || line.starts_with("HKEY_USERS\\")) expected += line + "\n";
    }
    std::string got;
    for (const std::string& line : SortedLines(read.out)) {
      if (line.starts_with("HKEY_LOCAL_MACHINE\\") || line.starts_with("HKEY_USERS\\")) got += line + "\n";
    }
    EXPECT_EQ(SortedLines(got), SortedLines(expected));
  }
}

TEST(Json, OnlyWithModesThatPrintKeys) {
  for (const char* mode : {"-e", "-E"}) {
    auto result = RunProgram(kRegwalk, {"--json", mode});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(result.err.starts_with("regwalk: --json does not go with -e or -E\n")) << result.err;
  }
}

}  // namespace

namespace {

// regwalk --diff OLD NEW: the .reg file that turns OLD into NEW, exactly and
// minimally. Each row: the two registries' bodies (REGEDIT4, CR LF added),
// and the diff expected to the byte.
struct DiffRow {
  const char* what;
  std::string before, after;
  std::string diff;  // the body after "REGEDIT4\r\n", without the closing "\r\n"
  int status;
};

void PrintTo(const DiffRow& row, std::ostream* os) { *os << row.what; }

std::string Reg(const std::vector<std::string>& lines) {
  std::string body = "REGEDIT4\r\n";
  for (const std::string& line : lines) body += line + "\r\n";
  return body;
}

// A registry as a set of lines, in one order: each key's path and each of
// its values, names folded as Windows compares them, sorted.
std::vector<std::string> Folded(const std::string& json) {
  std::string file = WriteFile(ScratchDir() + "/in.json", json);
  auto sorted = RunProgram("/bin/sh", {"-c", "python3 -c \"$1\" < \"$2\" | sort", "sh",
                                       "import json,sys\n"
                                       "for l in sys.stdin:\n"
                                       "  k=json.loads(l); p=k['path'].upper()\n"
                                       "  print(p)\n"
                                       "  for v in k['values']:\n"
                                       "    d={x:v[x] for x in ('type_code','data','data_hex') if x in v}\n"
                                       "    print(p, v['name'].upper(), json.dumps(d, sort_keys=True))\n",
                                       file});
  return SortedLines(sorted.out);
}

class Diffs : public ::testing::TestWithParam<DiffRow> {};

TEST_P(Diffs, TurnOldIntoNewExactlyAndMinimally) {
  const DiffRow& row = GetParam();
  std::string dir = ScratchDir();
  std::string before = WriteFile(dir + "/old.reg", Reg({"", row.before}));
  std::string after = WriteFile(dir + "/new.reg", Reg({"", row.after}));
  const std::string pattern = "HKEY_LOCAL_MACHINE\\T\\**";
  auto diff = RunProgram(kRegwalk, {"--diff", before, after, pattern});
  EXPECT_EQ(diff.status, row.status) << diff.err;
  EXPECT_EQ(diff.out, "REGEDIT4\r\n" + row.diff + "\r\n");
  // Loading OLD and then the diff gives NEW, within the pattern.
  std::string patch = WriteFile(dir + "/diff.reg", diff.out);
  auto patched = RunProgram(kRegwalk, {"-f", before, "-f", patch, "--json", pattern});
  auto wanted = RunProgram(kRegwalk, {"-f", after, "--json", pattern});
  EXPECT_EQ(Folded(patched.out), Folded(wanted.out));
  // And the summary counts what the file says.
  auto summary = RunProgram(kRegwalk, {"--diff", before, after, "-v", pattern});
  EXPECT_EQ(summary.status, row.status);
}

const std::string T = "[HKEY_LOCAL_MACHINE\\T";

INSTANTIATE_TEST_SUITE_P(Changes, Diffs, ::testing::Values(
    DiffRow{"the same", T + "\\A]\r\n\"v\"=\"x\"", T + "\\A]\r\n\"v\"=\"x\"", "", 0},
    DiffRow{"a key added, empty", T + "\\A]", T + "\\A]\r\n" + T + "\\A\\New]", "\r\n" + T + "\\A\\New]\r\n", 4},
    DiffRow{"a subtree removed, named once", T + "\\A]\r\n" + T + "\\A\\B]\r\n" + T + "\\A\\B\\C]\r\n\"v\"=\"x\"",
            T + "\\A]", "\r\n[-HKEY_LOCAL_MACHINE\\T\\A\\B]\r\n", 4},
    DiffRow{"a value added, changed, removed", T + "\\A]\r\n\"keep\"=\"k\"\r\n\"chg\"=\"1\"\r\n\"del\"=\"d\"",
            T + "\\A]\r\n\"keep\"=\"k\"\r\n\"chg\"=\"2\"\r\n\"add\"=dword:00000007",
            "\r\n" + T + "\\A]\r\n\"chg\"=\"2\"\r\n\"add\"=dword:00000007\r\n\"del\"=-\r\n", 4},
    DiffRow{"a type changed, bytes the same", T + "\\A]\r\n\"v\"=hex(2):61,00", T + "\\A]\r\n\"v\"=\"a\"",
            "\r\n" + T + "\\A]\r\n\"v\"=\"a\"\r\n", 4},
    DiffRow{"the default value", T + "\\A]\r\n@=\"old\"", T + "\\A]", "\r\n" + T + "\\A]\r\n@=-\r\n", 4},
    DiffRow{"names differing only in case are the same", T + "\\Key]\r\n\"Name\"=\"x\"",
            T + "\\KEY]\r\n\"NAME\"=\"x\"", "", 0},
    DiffRow{"a deletion and additions in one run", T + "\\Gone]\r\n\"v\"=\"x\"\r\n" + T + "\\Stay]",
            T + "\\Stay]\r\n\"w\"=\"y\"\r\n" + T + "\\Stay\\Sub]",
            "\r\n[-HKEY_LOCAL_MACHINE\\T\\Gone]\r\n\r\n" + T + "\\Stay]\r\n\"w\"=\"y\"\r\n\r\n" + T + "\\Stay\\Sub]\r\n",
            4}));

TEST(Diff, SharedHiveWithADriverInstalled) {
  std::string shared = testing_support::SharedHive();
  if (shared.empty()) GTEST_SKIP() << "no shared hive";
  // What installing a port driver's .INF writes: a class instance, its
  // device node, and a changed value of an existing key.
  const std::string hdc = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc";
  std::string install = WriteFile(ScratchDir() + "/install.reg",
                                  Reg({"", "[" + hdc + "\\0009]", "\"PortDriver\"=\"ULTRA.MPD\"", "\"InfPath\"=\"OEM9.INF\"",
                                       "\"DriverDesc\"=\"Ultra ATA\"", "",
                                       "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_105A&DEV_4D38\\BUS_00&DEV_0B&FUNC_00]",
                                       "\"Driver\"=\"hdc\\\\0009\"", "\"Class\"=\"hdc\"", "",
                                       "[" + hdc + "]", "\"Installed\"=dword:00000001"}));
  std::string after = shared + std::string(1, ':') + install;
  auto same = RunProgram(kRegwalk, {"--diff", shared, shared});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(same.out, "REGEDIT4\r\n\r\n");
  auto diff = RunProgram(kRegwalk, {"--diff", shared, after});
  EXPECT_EQ(diff.status, 4) << diff.err;
  // In the new registry's walk order (Enum before System in this hive),
  // parents before children.
  EXPECT_EQ(diff.out, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_105A&DEV_4D38]\r\n"
                          "\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_105A&DEV_4D38\\BUS_00&DEV_0B&FUNC_00]\r\n"
                          "\"Driver\"=\"hdc\\\\0009\"\r\n\"Class\"=\"hdc\"\r\n\r\n[" + hdc +
                          "]\r\n\"Installed\"=dword:00000001\r\n\r\n[" + hdc +
                          "\\0009]\r\n\"PortDriver\"=\"ULTRA.MPD\"\r\n\"InfPath\"=\"OEM9.INF\"\r\n"
                          "\"DriverDesc\"=\"Ultra ATA\"\r\n\r\n");
  // The summary gives what each value was and is, as -v shows values.
  std::string update = WriteFile(ScratchDir() + "/update.reg",
                                 Reg({"", "[" + hdc + "\\0001]", "\"DriverDesc\"=\"Ultra ATA\"", "\"FilterMemConfig\"=-"}));
  auto summary = RunProgram(kRegwalk, {"--diff", shared, shared + ":" + update, "-v", hdc + "\\**"});
  EXPECT_EQ(summary.status, 4) << summary.err;
  EXPECT_EQ(summary.out, "value changed: " + hdc + "\\0001: \"DriverDesc\"=\"Primary IDE controller (dual fifo)\" -> "
                         "\"Ultra ATA\"\nvalue removed: " + hdc + "\\0001: \"FilterMemConfig\"=hex:01\n"
                         "0 keys added, 0 removed; 0 values added, 1 removed, 1 changed\n");
  // Backwards: the driver removed.
  auto back = RunProgram(kRegwalk, {"--diff", after, shared});
  EXPECT_EQ(back.status, 4);
  EXPECT_EQ(back.out, "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_105A&DEV_4D38]\r\n\r\n[-" + hdc +
                          "\\0009]\r\n\r\n[" + hdc + "]\r\n\"Installed\"=-\r\n\r\n");
}

TEST(Diff, UsageAndStatus) {
  std::string a = WriteFile(ScratchDir() + "/a.reg", Reg({"", T + "\\A]"}));
  std::string cyrillic = WriteFile(ScratchDir() + "/c.reg",
                                   Reg({"", "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]",
                                        "\"ACP\"=\"1251\""}));
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string err;  // how it begins
  } rows[] = {
      {{"--diff", a}, 2, "regwalk: --diff needs OLD and NEW\n"},
      {{"-f", a, "--diff", a, a}, 2, "regwalk: -f does not go with --diff"},
      {{"--diff", a, a, "--deleted"}, 2, "regwalk: --diff does not go with --deleted\n"},
      {{"--diff", a, a, "--json", "-e"}, 2, "regwalk: --json does not go with -e or -E\n"},
      {{"--diff", a, a, "-n", "HKEY_LOCAL_MACHINE\\A\\K*"}, 2,
       "regwalk: -n does not go with --diff: it selects different keys in OLD and NEW\n"},
      {{"--diff", a, a + ".missing"}, 1, "regwalk: " + a + ".missing: No such file or directory\n"},
      {{"--diff", a, a}, 0, ""},
      {{"--diff", a, cyrillic}, 1,
       "regwalk: " + a + " and " + cyrillic + " hold their text in different codepages (1252 and 1251)"},
  };
  for (const Row& row : rows) {
    auto result = RunProgram(kRegwalk, row.args);
    EXPECT_EQ(result.status, row.status) << row.args.back();
    EXPECT_TRUE(result.err.starts_with(row.err)) << result.err;
  }
}

}  // namespace

namespace {

// A key damaged in either registry is left out of the diff: named on
// standard error, never turned into a deletion or an addition; the status
// says incomplete, which wins over "they differ".
TEST(Diff, DamagedKeysAreLeftOut) {
  using hive_writer::Key;
  Key tree{"", {}, {Key{"T", {}, {Key{"A", {{"v", 1, std::string("x\0", 2)}}, {Key{"Deep", {}, {}}}},
                                  Key{"B", {{"w", 1, std::string("1\0", 2)}}, {}}}}}};
  hive_writer::Hive intact = hive_writer::Write(tree);
  hive_writer::Hive damaged = intact;
  // A's record cannot be found: A and its subtree are unreadable.
  hive_writer::PutU16(damaged.bytes, damaged.entryAt[2] + hive::layout::entry::kRecord, 0xFFFE);
  Key changed = tree;
  changed.children[0].children[1].values[0].data = std::string("2\0", 2);
  hive_writer::Hive other = hive_writer::Write(changed);
  hive_writer::PutU16(other.bytes, other.entryAt[2] + hive::layout::entry::kRecord, 0xFFFE);
  std::string dir = ScratchDir();
  std::string good = WriteFile(dir + "/good.dat", intact.bytes);
  std::string bad = WriteFile(dir + "/bad.dat", damaged.bytes);
  std::string badChanged = WriteFile(dir + "/changed.dat", other.bytes);
  for (const auto& [from, to] : {std::pair{good, bad}, std::pair{bad, good}}) {
    auto diff = RunProgram(kRegwalk, {"--diff", from, to, "HKEY_LOCAL_MACHINE\\T\\**"});
    EXPECT_EQ(diff.status, 3) << diff.err;
    EXPECT_EQ(diff.out, "REGEDIT4\r\n\r\n");
    EXPECT_NE(diff.err.find("left out with its subkeys"), std::string::npos) << diff.err;
  }
  auto both = RunProgram(kRegwalk, {"--diff", bad, badChanged, "HKEY_LOCAL_MACHINE\\T\\**"});
  EXPECT_EQ(both.status, 3);
  EXPECT_EQ(both.out, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\T\\B]\r\n\"w\"=\"2\"\r\n\r\n");
}

TEST(Diff, TwoValuesOfOneNameCountOnce) {
  // A damaged hive can hold two values of one name; the registry calls
  // find the first, and so does the diff.
  using hive_writer::Key;
  Key dup{"", {}, {Key{"T", {}, {Key{"A", {{"v", 1, std::string("a\0", 2)}, {"v", 1, std::string("b\0", 2)}}, {}}}}}};
  std::string dir = ScratchDir();
  std::string hive = WriteFile(dir + "/dup.dat", hive_writer::Write(dup).bytes);
  std::string empty = WriteFile(dir + "/empty.reg", Reg({"", T + "]"}));
  auto self = RunProgram(kRegwalk, {"--diff", hive, hive});
  EXPECT_EQ(self.status, 0) << self.err;
  EXPECT_EQ(self.out, "REGEDIT4\r\n\r\n");
  auto added = RunProgram(kRegwalk, {"--diff", empty, hive, "HKEY_LOCAL_MACHINE\\T\\**"});
  EXPECT_EQ(added.status, 4) << added.err;
  EXPECT_EQ(added.out, "REGEDIT4\r\n\r\n" + T + "\\A]\r\n\"v\"=\"a\"\r\n\r\n");
  auto summary = RunProgram(kRegwalk, {"--diff", empty, hive, "-v", "HKEY_LOCAL_MACHINE\\T\\**"});
  EXPECT_EQ(summary.out, "key added: HKEY_LOCAL_MACHINE\\T\\A\nvalue added: HKEY_LOCAL_MACHINE\\T\\A: \"v\"=\"a\"\n"
                         "1 key added, 0 removed; 1 value added, 0 removed, 0 changed\n");
}

TEST(Diff, VersionFiveLoadsBackToo) {
  std::string dir = ScratchDir();
  std::string before = WriteFile(dir + "/old.reg", Reg({"", T + "\\A]", "\"v\"=\"caf\xe9\"", "\"gone\"=dword:1"}));
  std::string after = WriteFile(dir + "/new.reg", Reg({"", T + "\\A]", "\"v\"=\"th\xe9\"", T + "\\B]", "@=\"\xe0\""}));
  auto diff = RunProgram(kRegwalk, {"--diff", before, after, "-E", "HKEY_LOCAL_MACHINE\\T\\**"});
  EXPECT_EQ(diff.status, 4) << diff.err;
  EXPECT_TRUE(diff.out.starts_with("\xFF\xFE")) << diff.out;
  std::string patch = WriteFile(dir + "/diff5.reg", diff.out);
  auto patched = RunProgram(kRegwalk, {"-f", before, "-f", patch, "--json", "HKEY_LOCAL_MACHINE\\T\\**"});
  auto wanted = RunProgram(kRegwalk, {"-f", after, "--json", "HKEY_LOCAL_MACHINE\\T\\**"});
  EXPECT_EQ(Folded(patched.out), Folded(wanted.out));
}

}  // namespace

namespace {

// Codepage 932: a lead byte pairs only with a byte of its trail range, as
// MultiByteToWideChar pairs them. A text that ends in a lead byte survives
// an export; a key name that does cannot stand in a key line, and is said.
TEST(DoubleByte, ALeadByteAtTheEnd) {
  const std::string acp = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]\r\n\"ACP\"=\"932\"\r\n";
  std::string dir = ScratchDir();
  std::string reg = WriteFile(dir + "/lead.reg", "REGEDIT4\r\n\r\n" + acp + "[HKEY_LOCAL_MACHINE\\T\\K]\r\n"
                                                     "\"v\"=hex(1):61,83,00\r\n\"w\"=\"\x83\x5c\"\r\n");
  auto exported = RunProgram(kRegwalk, {"-f", reg, "-e", "HKEY_LOCAL_MACHINE\\T\\**"});
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_NE(exported.out.find("\"v\"=\"a\x83\"\r\n"), std::string::npos) << exported.out;
  std::string back = WriteFile(dir + "/back.reg", exported.out);
  auto same = RunProgram(kRegwalk, {"--diff", reg, reg + ":" + back, "HKEY_LOCAL_MACHINE\\T\\**"});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(same.out, "REGEDIT4\r\n\r\n");

  // A key named a\x83 with a subkey: a hive can hold it, no .reg line can.
  using hive_writer::Key;
  Key tree{"", {}, {Key{"System", {}, {Key{"CurrentControlSet", {}, {Key{"Control", {}, {Key{"Nls", {}, {Key{
                        "Codepage", {{"ACP", 1, std::string("932\0", 4)}}, {}}}}}}}}}},
                    Key{"T", {}, {Key{"a\x83", {}, {Key{"child", {}, {}}}}}}}};
  std::string hive = WriteFile(dir + "/LEAD.DAT", hive_writer::Write(tree).bytes);
  const std::string said = "regwalk: a key (path in hex 484b45595f4c4f43414c5f4d414348494e455c545c6183) whose name "
                           "ends in a lead byte that takes the ']' or '\\' after it: no .reg line carries it, in "
                           "Windows either; written as regedit writes it\n";
  auto walked = RunProgram(kRegwalk, {"-f", hive, "-e", "HKEY_LOCAL_MACHINE\\T\\**"});
  EXPECT_EQ(walked.status, 3);
  EXPECT_EQ(walked.err, said);
  auto diff = RunProgram(kRegwalk, {"--diff", reg, hive, "HKEY_LOCAL_MACHINE\\T\\**"});
  EXPECT_EQ(diff.status, 3);
  EXPECT_NE(diff.err.find(said), std::string::npos) << diff.err;
  auto json = RunProgram(kRegwalk, {"-f", hive, "--json", "HKEY_LOCAL_MACHINE\\T\\*"});
  EXPECT_NE(json.out.find("\"path_hex\":\"484b45595f4c4f43414c5f4d414348494e455c545c6183\""), std::string::npos)
      << json.out;
}

}  // namespace
