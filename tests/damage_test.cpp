// Damaged hives: each kind of damage costs the damaged key and its subtree
// only. Every intact key is still read and listed, the loss is named once
// on standard error, and the tools' status says the listing is incomplete.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "hive/layout.h"
#include "regwalk/regwalk.h"
#include "testkit/hive_writer.h"
#include "testkit/hostile_shapes.h"
#include "testkit/test_support.h"
#include "testkit/walk_everything.h"
#include "testkit/work_budget.h"
#include "tools/registry_cli.h"
#include "sources/sources.h"

namespace {

namespace layout = hive::layout;

using hive_writer::Key;
using hive_writer::Value;
using testing_support::RunProgram;

const std::string kClass = "System\\CurrentControlSet\\Services\\Class\\hdc";

Key Instance(const std::string& id, std::vector<Value> extra = {}, std::vector<Key> children = {}) {
  std::vector<Value> values{{"PortDriver", 1, "ESDI_506.pdr"}, {"InfPath", 1, "MSHDC.INF"},
                            {"DriverDesc", 1, "Channel " + id}};
  values.insert(values.end(), extra.begin(), extra.end());
  return Key{id, std::move(values), std::move(children)};
}

// hdc instances 0000 to 0003, each pointed at by a device node under
// Enum\MF; the third is given by the caller, so that damage can sit in it or
// below it, with intact instances on both sides.
Key Controllers(Key third) {
  Key mf{"MF", {}, {}};
  for (int i = 0; i < 4; ++i) {
    mf.children.push_back(Key{"CHILD000" + std::to_string(i), {{"Driver", 1, "hdc\\000" + std::to_string(i)}}, {}});
  }
  Key hdc{"hdc", {}, {Instance("0000"), Instance("0001"), std::move(third), Instance("0003")}};
  Key services{"Services", {}, {Key{"Class", {}, {std::move(hdc)}}}};
  return Key{"", {}, {Key{"Enum", {}, {std::move(mf)}},
                      Key{"System", {}, {Key{"CurrentControlSet", {}, {std::move(services)}}}}}};
}

Key WithSub() { return Controllers(Instance("0002", {}, {Key{"Sub", {{"x", 1, "y"}}, {}}})); }
Key WithoutSub() { return Controllers(Instance("0002")); }
Key WithoutThird() {
  Key tree = WithSub();
  auto& instances = tree.children[1].children[0].children[0].children[0].children[0].children;
  instances.erase(instances.begin() + 2);
  return tree;
}

// A chain of keys below instance 0002; its first key sits at depth 7.
Key DeepBelowThird(int keys) {
  Key chain{"L0", {}, {}};
  Key* at = &chain;
  for (int i = 1; i < keys; ++i) {
    at->children.push_back(Key{"L" + std::to_string(i), {}, {}});
    at = &at->children.back();
  }
  return Controllers(Instance("0002", {}, {std::move(chain)}));
}

// The index of the key at path (below the root) in the writer's
// depth-first order, the root being 0.
std::size_t IndexOf(const Key& root, const std::string& path) {
  std::size_t index = 0;
  std::size_t found = 0;
  auto visit = [&](auto&& self, const Key& key, const std::string& at) -> void {
    if (at == path) found = index;
    ++index;
    for (const Key& child : key.children) self(self, child, at.empty() ? child.name : at + "\\" + child.name);
  };
  visit(visit, root, "");
  return found;
}

std::size_t ValuesEnd(const Key& key, std::size_t count) {
  std::size_t at = layout::record::kName + key.name.size();
  for (std::size_t i = 0; i < count; ++i) at += layout::value::kName + key.values[i].name.size() + key.values[i].data.size();
  return at;
}

const std::string kThird = kClass + "\\0002";
const std::string kUnderClass = "a key under HKEY_LOCAL_MACHINE\\" + kClass;

struct DamageRow {
  const char* what;
  Key tree;
  // Damages the written hive; returns the offset the message must name,
  // 64 bits on every build.
  std::uint64_t (*damage)(hive_writer::Hive& hive, const Key& tree);
  Key intact;  // the same registry without what the damage costs
  std::string key;
  std::string reason;
};

void PrintTo(const DamageRow& row, std::ostream* os) { *os << row.what; }

std::string Hex(std::uint64_t n) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(n));
  return text;
}

class KeyDamage : public ::testing::TestWithParam<DamageRow> {};

TEST_P(KeyDamage, CostsOnlyThatKeyAndIsNamed) {
  const DamageRow& row = GetParam();
  hive_writer::Hive hive = hive_writer::Write(row.tree);
  std::uint64_t offset = row.damage(hive, row.tree);
  std::string dir = testing_support::ScratchDir();
  std::string damaged = testing_support::WriteFile(dir + "/damaged.dat", hive.bytes);
  std::string intact = testing_support::WriteFile(dir + "/intact.dat", hive_writer::Write(row.intact).bytes);

  std::string error;
  ASSERT_TRUE(sources::InstallSources({intact}, &error)) << error;
  std::vector<std::string> expected = testing_support::DumpRegistry();
  ASSERT_TRUE(sources::InstallSources({damaged}, &error)) << error;
  EXPECT_EQ(testing_support::DumpRegistry(), expected);

  std::string message = damaged + ": offset " + Hex(offset) + ": " + row.key + ": " + row.reason +
                        "; left out with its subkeys\n";
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"+ALL"}}) {
    auto good = RunProgram(KORMALD_BINARY, args, {{tools::kRegistryVariable, intact}});
    auto bad = RunProgram(KORMALD_BINARY, args, {{tools::kRegistryVariable, damaged}});
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(bad.status, 3);
    EXPECT_EQ(bad.out, good.out);
    EXPECT_EQ(bad.err, "kormald: " + message);
  }
  auto good = RunProgram(REGWALK_BINARY, {"-v"}, {{tools::kRegistryVariable, intact}});
  auto bad = RunProgram(REGWALK_BINARY, {"-v"}, {{tools::kRegistryVariable, damaged}});
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(bad.status, 3);
  EXPECT_EQ(bad.out, good.out);
  EXPECT_EQ(bad.err, "regwalk: " + message);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KeyDamage, ::testing::Values(
    DamageRow{"record not found", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                std::size_t entry = h.entryAt[IndexOf(t, kThird)];
                hive_writer::PutU16(h.bytes, entry + layout::entry::kRecord, 77);
                return entry;
              },
              WithoutThird(), kUnderClass, "record 77 of block 0 not found"},
    DamageRow{"values run past their record", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                std::size_t record = h.recordAt[IndexOf(t, kThird)];
                hive_writer::PutU16(h.bytes, record + layout::record::kValueCount, 4);
                return record + ValuesEnd(Instance("0002"), 3);
              },
              WithoutThird(), "HKEY_LOCAL_MACHINE\\" + kThird, "values run past their record"},
    DamageRow{"name runs past its record", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                std::size_t record = h.recordAt[IndexOf(t, kThird)];
                hive_writer::PutU16(h.bytes, record + layout::record::kNameLength, 500);
                return record;
              },
              WithoutThird(), kUnderClass, "key name runs past its record"},
    DamageRow{"name holds a NUL byte", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                std::size_t record = h.recordAt[IndexOf(t, kThird)];
                h.bytes[record + layout::record::kName + 1] = '\0';
                return record;
              },
              WithoutThird(), kUnderClass, "key name holds a NUL byte"},
    DamageRow{"name holds a backslash", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                std::size_t record = h.recordAt[IndexOf(t, kThird)];
                h.bytes[record + layout::record::kName] = '\\';
                return record;
              },
              WithoutThird(), kUnderClass, "key name holds a backslash"},
    DamageRow{"empty name", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                std::size_t record = h.recordAt[IndexOf(t, kThird)];
                hive_writer::PutU16(h.bytes, record + layout::record::kNameLength, 0);
                return record;
              },
              WithoutThird(), kUnderClass, "key without a name"},
    DamageRow{"name longer than Windows allows", Controllers(Instance(std::string(256, '2'))),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                return h.recordAt[IndexOf(t, kClass + "\\" + std::string(256, '2'))];
              },
              WithoutThird(), kUnderClass, "key name longer than 255 bytes"},
    DamageRow{"value name longer than Windows allows",
              Controllers(Instance("0002", {{std::string(256, 'v'), 1, "x"}})),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                return h.recordAt[IndexOf(t, kThird)] + ValuesEnd(Instance("0002"), 3);
              },
              WithoutThird(), "HKEY_LOCAL_MACHINE\\" + kThird, "value name longer than 255 bytes"},
    DamageRow{"sibling chain loops", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                std::size_t second = h.entryAt[IndexOf(t, kClass + "\\0001")];
                hive_writer::PutU32(h.bytes, h.entryAt[IndexOf(t, kClass + "\\0003")] + layout::entry::kNext,
                                    static_cast<std::uint32_t>(second - layout::rgkn::kAt));
                return second;
              },
              WithSub(), kUnderClass, "key chain loops back to entry " + Hex(layout::rgkn::kBytes + layout::entry::kBytes * 13)},
    DamageRow{"child chain loops to an ancestor", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                std::size_t hdc = h.entryAt[IndexOf(t, kClass)];
                hive_writer::PutU32(h.bytes, h.entryAt[IndexOf(t, kThird)] + layout::entry::kFirstChild, static_cast<std::uint32_t>(hdc - layout::rgkn::kAt));
                return hdc;
              },
              WithoutSub(), "a key under HKEY_LOCAL_MACHINE\\" + kThird,
              "key chain loops back to entry " + Hex(layout::rgkn::kBytes + layout::entry::kBytes * 11)},
    DamageRow{"child entry outside the key area", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                hive_writer::PutU32(h.bytes, h.entryAt[IndexOf(t, kThird)] + layout::entry::kFirstChild, 0x00FFFFF0);
                return layout::rgkn::kAt + 0x00FFFFF0;
              },
              WithoutSub(), "a key under HKEY_LOCAL_MACHINE\\" + kThird, "key entry 0xfffff0 lies outside the key area"},
    // Past 32 bits: the file offset of entry 0xfffffffe is 0x10000001e on
    // every build, the 32-bit ones too.
    DamageRow{"child entry past 32 bits of offset", WithSub(),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                hive_writer::PutU32(h.bytes, h.entryAt[IndexOf(t, kThird)] + layout::entry::kFirstChild, 0xFFFFFFFE);
                return 0x10000001EULL;
              },
              WithoutSub(), "a key under HKEY_LOCAL_MACHINE\\" + kThird, "key entry 0xfffffffe lies outside the key area"},
    DamageRow{"nesting deeper than 512 levels", DeepBelowThird(508),
              [](hive_writer::Hive& h, const Key& t) -> std::uint64_t {
                std::string path = kThird;
                for (int i = 0; i <= 506; ++i) path += "\\L" + std::to_string(i);
                return h.entryAt[IndexOf(t, path)];
              },
              DeepBelowThird(506),
              [] {
                std::string path = "HKEY_LOCAL_MACHINE\\" + kThird;
                for (int i = 0; i <= 506; ++i) path += "\\L" + std::to_string(i);
                return path;
              }(),
              "keys nested deeper than 512 levels"}));

// Hostile shapes: loading and walking cost work proportional to the input,
// whatever its shape. Each counts the store's steps and the bytes
// allocated, not seconds.
struct ShapeRow {
  const char* what;
  std::string (*make)();  // the file's bytes
  std::string error;      // "" when it loads
};

void PrintTo(const ShapeRow& row, std::ostream* os) { *os << row.what; }

class LinearCost : public ::testing::TestWithParam<ShapeRow> {};

TEST_P(LinearCost, LoadAndWalkWithinABudgetProportionalToTheInput) {
  const ShapeRow& row = GetParam();
  std::string bytes = row.make();
  std::string file = testing_support::WriteFile(testing_support::ScratchDir() + "/shape", bytes);
  std::uint64_t start = work_budget::Work();
  std::string error;
  bool loaded = sources::InstallSources({file}, &error);
  if (loaded) {
    EXPECT_EQ(WalkKeys(nullptr, 1, ReadKeyValues, 0), 0);
  }
  std::uint64_t work = work_budget::Work() - start;
  EXPECT_EQ(loaded ? "" : error.substr(error.find(':') + 1), row.error);
  EXPECT_LE(work, work_budget::Budget(bytes.size())) << bytes.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Shapes, LinearCost, ::testing::Values(
    ShapeRow{"many values in one key", [] { return hostile_shapes::ManyValues(40000); }, ""},
    ShapeRow{"one hex value continued over many lines", [] { return hostile_shapes::LongHex(8000); }, ""},
    ShapeRow{"deep nesting with names longer than Windows allows",
             [] { return hostile_shapes::DeepLongNames(500, 4000); }, ""},
    ShapeRow{"deep nesting with the longest names Windows allows",
             [] { return hostile_shapes::DeepLongNames(500, 255); }, ""},
    ShapeRow{"many keys and values deleted one by one", [] { return hostile_shapes::DeletedOneByOne(20000); }, ""},
    ShapeRow{"many damaged siblings in a hive", [] { return hostile_shapes::DamagedSiblings(30000); }, ""},
    ShapeRow{"many siblings of the same name in a hive", [] { return hostile_shapes::SameNamedSiblings(30000); },
             ""},
    ShapeRow{"keys in the last of many blocks of one number", [] { return hostile_shapes::SameNumberedBlocks(65534, 20000); },
             ""}));

}  // namespace

namespace {

// A hive that lost hundreds of keys would bury the terminal: the first
// twenty are named, the rest counted in one line, and every one is named
// when the user asks; the status says incomplete either way.
TEST(DamageMessages, NamedAsManyAsATerminalShowsThenCounted) {
  Key hdc{"hdc", {}, {}};
  for (int i = 0; i < 30; ++i) hdc.children.push_back(Instance(std::to_string(1000 + i)));
  Key tree{"", {}, {Key{"System", {}, {Key{"CurrentControlSet", {}, {Key{"Services", {}, {Key{"Class", {}, {hdc}}}}}}}}}};
  hive_writer::Hive hive = hive_writer::Write(tree);
  // The root, System, CurrentControlSet, Services, Class and hdc come first.
  for (int i = 0; i < 30; ++i) hive_writer::PutU16(hive.bytes, hive.entryAt[6 + i] + layout::entry::kRecord, 0xFFFE);
  std::string file = testing_support::WriteFile(testing_support::ScratchDir() + "/lost.dat", hive.bytes);
  auto Lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
  for (const char* program : {REGWALK_BINARY, KORMALD_BINARY}) {
    auto capped = RunProgram(program, {}, {{tools::kRegistryVariable, file}});
    EXPECT_EQ(capped.status, 3) << program;
    EXPECT_EQ(Lines(capped.err), 21) << capped.err;
    std::string last = capped.err.substr(capped.err.rfind('\n', capped.err.size() - 2) + 1);
    EXPECT_TRUE(last.ends_with(": 10 more damaged keys, each left out with its subkeys, not named one by one "
                               "(KORMALD_ALL_DAMAGE=1 names every one)\n"))
        << last;
    auto all = RunProgram(program, {}, {{tools::kRegistryVariable, file}, {tools::kAllDamageVariable, "1"}});
    EXPECT_EQ(Lines(all.err), 30) << all.err;
  }
}

}  // namespace
