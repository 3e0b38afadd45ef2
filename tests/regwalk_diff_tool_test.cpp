// regwalk's JSON and --diff, run as a user runs them: --json read back
// byte for byte, the .reg file that turns OLD into NEW exactly and
// minimally over hives and exports, damaged keys left out, the usage and
// statuses, and text a double-byte codepage splits.
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
