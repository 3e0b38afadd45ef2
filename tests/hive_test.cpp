// The CREG hive loader: written hives of every shape, each kind of damage,
// and the real Windows Me hive against an independent reader.
#include "hive/hive.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>

#include "testkit/hive_writer.h"
#include "testkit/test_support.h"
#include "sources/sources.h"

namespace {

using hive_writer::Key;
using hive_writer::Value;

// Loads a hive image; returns the refusal, or "" after installing it.
std::string Load(const std::string& bytes, std::optional<store::Root> root = store::Root::kLocalMachine) {
  auto reg = std::make_unique<store::Registry>();
  std::string error;
  if (!hive::LoadHive(*reg, hive::CopyHiveBytes(bytes), "T.DAT", root, &error)) return error;
  store::InstallRegistry(std::move(reg));
  return "";
}

// The dump the loaded tree must give, in the tests' DumpRegistry format.
void Expect(const Key& key, const std::string& path, std::vector<std::string>& out) {
  out.push_back(path);
  for (const Value& v : key.values) {
    std::string served = v.data;
    bool isString = v.type == 1 || v.type == 2 || v.type == 7;
    if (isString && (served.empty() || served.back() != '\0')) served += '\0';
    out.push_back(testing_support::ValueLine(path, v.name, v.type, served));
  }
  for (const Key& child : key.children) Expect(child, path + "\\" + child.name, out);
}

std::vector<std::string> Expected(const Key& root) {
  std::vector<std::string> out;
  Expect(root, "HKEY_LOCAL_MACHINE", out);
  out.push_back("HKEY_USERS");
  out.push_back("HKEY_DYN_DATA");
  return out;
}

Key Sample() {
  return Key{"", {}, {
      Key{"Enum", {}, {
          Key{"PCI", {{"", 1, "default"}}, {}},
          Key{"MF", {{"Driver", 1, std::string("hdc\\0001\0", 9)}, {"Driver2", 1, "hdc\\0002"}}, {}},
      }},
      Key{"System", {{"Bin", 3, std::string("\x00\x01\xff", 3)}, {"Empty", 3, ""}, {"EmptyText", 1, ""},
                     {"Num", 4, "\x01\x02\x03\x04"}, {"Odd", 0x1234, "x"}, {"\xe4\xf6", 2, "%WINDIR%"}}, {}},
      Key{"No values", {}, {}},
  }};
}

Key Wide(int n) {
  Key root{"", {}, {Key{"Wide", {}, {}}}};
  for (int i = 0; i < n; ++i) root.children[0].children.push_back(Key{"K" + std::to_string(i), {{"v", 4, "abcd"}}, {}});
  return root;
}

Key Deep(int levels) {
  Key root{"", {}, {}};
  Key* at = &root;
  for (int i = 0; i < levels; ++i) {
    at->children.push_back(Key{"L" + std::to_string(i), {}, {}});
    at = &at->children.back();
  }
  return root;
}

struct ShapeRow {
  const char* what;
  Key tree;
  hive_writer::Options options;
};

void PrintTo(const ShapeRow& row, std::ostream* os) { *os << row.what; }

class Shapes : public ::testing::TestWithParam<ShapeRow> {};

TEST_P(Shapes, LoadsEveryKeyAndValueInOrder) {
  const ShapeRow& row = GetParam();
  ASSERT_EQ(Load(hive_writer::Write(row.tree, row.options).bytes), "");
  EXPECT_EQ(testing_support::DumpRegistry(), Expected(row.tree));
}

INSTANTIATE_TEST_SUITE_P(Written, Shapes, ::testing::Values(
    ShapeRow{"sample", Sample(), {}},
    ShapeRow{"many blocks", Wide(300), {3, false, true}},
    ShapeRow{"free records between used ones", Sample(), {2, true, true}},
    ShapeRow{"not page sized", Sample(), {1, true, false}},
    ShapeRow{"wide", Wide(5000), {}},
    ShapeRow{"deep", Deep(512), {}},
    ShapeRow{"empty", Key{"", {}, {}}, {}}));

TEST(Hive, StringsAreHandedOutTerminated) {
  ASSERT_EQ(Load(hive_writer::Write(Sample()).bytes), "");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "enum\\mf", 0, 0, &key), ERROR_SUCCESS);
  for (const char* name : {"Driver", "Driver2"}) {
    char data[16];
    DWORD size = sizeof data;
    ASSERT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 9U) << name;
    EXPECT_EQ(data[8], '\0');
  }
  RegCloseKey(key);
}

TEST(Hive, UserHiveFeedsHkeyUsers) {
  Key user{"", {}, {Key{".DEFAULT", {}, {Key{"Control Panel", {}, {}}}}, Key{"Software", {}, {}}}};
  ASSERT_EQ(Load(hive_writer::Write(user).bytes, std::nullopt), "");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, ".DEFAULT\\Control Panel", 0, 0, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel", 0, 0, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Load(hive_writer::Write(Sample()).bytes, std::nullopt), "");
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, 0, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST(Hive, LaterSourcesAddToEarlierOnes) {
  std::string dir = testing_support::ScratchDir();
  Key first{"", {}, {Key{"Enum", {{"A", 1, "first"}, {"B", 1, "kept"}}, {Key{"PCI", {}, {}}}}}};
  Key second{"", {}, {Key{"ENUM", {{"a", 1, "second"}}, {Key{"MF", {}, {}}}}, Key{"System", {}, {}}}};
  std::string a = testing_support::WriteFile(dir + "/a.dat", hive_writer::Write(first).bytes);
  std::string b = testing_support::WriteFile(dir + "/b.dat", hive_writer::Write(second).bytes);
  std::string reg = testing_support::WriteFile(dir + "/c.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\Root]\n");
  std::string error;
  ASSERT_TRUE(sources::InstallSources({a, b, reg}, &error)) << error;
  EXPECT_EQ(testing_support::DumpRegistry(),
            (std::vector<std::string>{"HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE\\Enum",
                                      "HKEY_LOCAL_MACHINE\\Enum|A|1|7365636f6e6400",
                                      "HKEY_LOCAL_MACHINE\\Enum|B|1|6b65707400", "HKEY_LOCAL_MACHINE\\Enum\\PCI",
                                      "HKEY_LOCAL_MACHINE\\Enum\\MF", "HKEY_LOCAL_MACHINE\\Enum\\Root",
                                      "HKEY_LOCAL_MACHINE\\System", "HKEY_USERS", "HKEY_DYN_DATA"}));
}

TEST(Hive, WindowsDirectoryWithBothFiles) {
  std::string dir = testing_support::ScratchDir();
  Key user{"", {}, {Key{".DEFAULT", {}, {}}}};
  testing_support::WriteFile(dir + "/System.Dat", hive_writer::Write(Sample()).bytes);
  testing_support::WriteFile(dir + "/USER.DAT", hive_writer::Write(user).bytes);
  std::string error;
  ASSERT_TRUE(sources::InstallSources({dir}, &error)) << error;
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 0, 0, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, ".DEFAULT", 0, 0, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

// Damage that makes the file unreadable as a whole: refused at open.
struct RefusedRow {
  const char* what;
  void (*damage)(hive_writer::Hive& hive);
  std::string error;
};

void PrintTo(const RefusedRow& row, std::ostream* os) { *os << row.what; }

class Refused : public ::testing::TestWithParam<RefusedRow> {};

// Sample() in blocks of two records: the key area ends at 0x1020, and three
// blocks of 0x1000 bytes follow.
TEST_P(Refused, NamesFileOffsetAndReason) {
  hive_writer::Hive hive = hive_writer::Write(Sample(), {2, false, true});
  GetParam().damage(hive);
  EXPECT_EQ(Load(hive.bytes), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Header, Refused, ::testing::Values(
    RefusedRow{"truncated header", [](hive_writer::Hive& h) { h.bytes.resize(40); },
               "T.DAT: offset 0x28: file ends inside the header (40 bytes)"},
    RefusedRow{"no RGKN", [](hive_writer::Hive& h) { h.bytes[0x20] = 'X'; }, "T.DAT: offset 0x20: no RGKN signature"},
    RefusedRow{"key area past the end", [](hive_writer::Hive& h) { hive_writer::PutU32(h.bytes, 0x24, 0x10000000); },
               "T.DAT: offset 0x24: key area size 0x10000000 runs past the end of the file"},
    RefusedRow{"key area too small", [](hive_writer::Hive& h) { hive_writer::PutU32(h.bytes, 0x24, 8); },
               "T.DAT: offset 0x24: key area size 0x8 runs past the end of the file"},
    RefusedRow{"root entry outside", [](hive_writer::Hive& h) { hive_writer::PutU32(h.bytes, 0x28, 0xFFFFFFF0); },
               "T.DAT: offset 0x28: root key entry 0xfffffff0 lies outside the key area"},
    RefusedRow{"block without signature", [](hive_writer::Hive& h) { h.bytes[0x2020] = 'X'; },
               "T.DAT: offset 0x2020: block 1: no RGDB signature"},
    RefusedRow{"block size zero", [](hive_writer::Hive& h) { hive_writer::PutU32(h.bytes, 0x1024, 0); },
               "T.DAT: offset 0x1024: block 0: size 0x0 is too small"}));

// A hive cut short in its block list (forensic copies often are) is damage,
// not a refusal: the blocks before the cut are read, with every key whose
// records lie there, and the cut is named once. Sample() as above: Enum and
// PCI in block 0, MF and System in block 1, "No values" in block 2.
TEST(CutShort, BlocksBeforeTheCutAreRead) {
  struct Row {
    const char* what;
    void (*cut)(hive_writer::Hive& hive);
    std::string note;
    bool lastKeyLost;
  } rows[] = {
      {"inside the last block", [](hive_writer::Hive& h) { h.bytes.resize(0x3800); },
       "T.DAT: offset 0x3020: cut short: block 2 of 3 says 0x1000 bytes, and 0x820 of them lie past the end of the "
       "file; it, and the keys whose records lie there, are not read",
       true},
      {"a block whose size runs past the end", [](hive_writer::Hive& h) { hive_writer::PutU32(h.bytes, 0x3024, 0x7FFFFFFF); },
       "T.DAT: offset 0x3020: cut short: block 2 of 3 says 0x7fffffff bytes, and 0x7fffefff of them lie past the end "
       "of the file; it, and the keys whose records lie there, are not read",
       true},
      {"more blocks said than the file holds", [](hive_writer::Hive& h) { hive_writer::PutU16(h.bytes, 16, 9); },
       "T.DAT: offset 0x4020: cut short: the file ends before block 3 of 9; it and the 5 blocks after it, and the keys "
       "whose records lie there, are not read",
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    hive_writer::Hive hive = hive_writer::Write(Sample(), {2, false, true});
    row.cut(hive);
    auto reg = std::make_unique<store::Registry>();
    std::string error;
    ASSERT_TRUE(hive::LoadHive(*reg, hive::CopyHiveBytes(hive.bytes), "T.DAT", store::Root::kLocalMachine, &error))
        << error;
    EXPECT_EQ(reg->LoadNotes(), std::vector<std::string>{row.note});
    EXPECT_TRUE(reg->SomethingLeftOut());
    store::InstallRegistry(std::move(reg));
    std::vector<std::string> dump = testing_support::DumpRegistry();
    auto holds = [&](const std::string& line) { return std::find(dump.begin(), dump.end(), line) != dump.end(); };
    EXPECT_TRUE(holds("HKEY_LOCAL_MACHINE\\Enum\\MF"));
    EXPECT_TRUE(holds("HKEY_LOCAL_MACHINE\\System"));
    EXPECT_EQ(holds("HKEY_LOCAL_MACHINE\\No values"), !row.lastKeyLost);
  }
}

TEST(Refused, NotAHiveAtAll) {
  std::string dir = testing_support::ScratchDir();
  std::string path = testing_support::WriteFile(dir + "/SYSTEM.DAT", "CRE");
  std::string error;
  EXPECT_FALSE(sources::InstallSources({path}, &error));
  EXPECT_EQ(error, path + ": not a registry file (neither a REGEDIT4 or version 5 export, nor a CREG hive, nor a disk image)");
  testing_support::WriteFile(path, "CREG");
  EXPECT_FALSE(sources::InstallSources({path}, &error));
  EXPECT_EQ(error, path + ": offset 0x4: file ends inside the header (4 bytes)");
}

TEST(Hive, RealHiveViews) {
  std::string hive = testing_support::SharedHive();
  if (hive.empty()) GTEST_SKIP() << "no shared hive";
  std::string error;
  ASSERT_TRUE(sources::InstallSources({hive}, &error)) << error;
  // CurrentConfig is stored as the four bytes 0001, without a terminator.
  struct Row {
    HKEY view;
    const char* target;
  } rows[] = {{HKEY_CURRENT_CONFIG, "Config\\0001"}, {HKEY_CLASSES_ROOT, "SOFTWARE\\Classes"}};
  // (SOFTWARE\CLASSES is empty in this hive; Config\0001 is not.)
  for (const Row& row : rows) {
    HKEY target = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, row.target, 0, 0, &target), ERROR_SUCCESS);
    DWORD viewKeys = 0, targetKeys = 1, viewValues = 0, targetValues = 1;
    ASSERT_EQ(RegQueryInfoKeyA(row.view, nullptr, nullptr, nullptr, &viewKeys, nullptr, nullptr, &viewValues,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegQueryInfoKeyA(target, nullptr, nullptr, nullptr, &targetKeys, nullptr, nullptr, &targetValues,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(target);
    EXPECT_EQ(viewKeys, targetKeys) << row.target;
    EXPECT_EQ(viewValues, targetValues) << row.target;
    if (row.view == HKEY_CURRENT_CONFIG) {
      EXPECT_GT(viewKeys, 0U);
    }
  }
}

TEST(Hive, RealHiveMatchesAnIndependentReader) {
  std::string hive = testing_support::SharedHive();
  if (hive.empty()) GTEST_SKIP() << "no shared hive";
  auto reference = testing_support::RunProgram("/usr/bin/python3",
                                               {testing_support::SourceDir() + "/tests/creg_reference.py", hive});
  if (reference.status == 77 || reference.status == 127) {
    if (std::getenv("KORMALD_REQUIRE_REFERENCE") != nullptr) FAIL() << "python3-libcreg is not installed";
    GTEST_SKIP() << "python3-libcreg is not installed";
  }
  ASSERT_EQ(reference.status, 0) << reference.err;
  std::string error;
  ASSERT_TRUE(sources::InstallSources({hive}, &error)) << error;
  std::vector<std::string> ours = testing_support::DumpRegistry();
  ours.resize(ours.size() - 2);  // HKEY_USERS and HKEY_DYN_DATA, empty here
  std::string joined;
  for (const std::string& line : ours) joined += line + "\n";
  EXPECT_EQ(joined.size(), reference.out.size());
  EXPECT_TRUE(joined == reference.out) << "the dumps differ";
  EXPECT_GT(ours.size(), 20000U);
}

}  // namespace
