// The key walk and the value walk on registries built in the test.
#include "regwalk/regwalk.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "testkit/test_support.h"
#include "store/store.h"
#include "store/store_testing.h"

namespace {

using testing_support::InstallReg;

struct Visits {
  std::vector<std::string> paths;
  int stopAt = 0;  // call number that returns stopWith
  int stopWith = 0;
};

int Record(HKEY, const char* path, std::intptr_t user) {
  auto* visits = reinterpret_cast<Visits*>(user);
  visits->paths.emplace_back(path);
  return static_cast<int>(visits->paths.size()) == visits->stopAt ? visits->stopWith : 0;
}

struct Walk {
  int result;
  std::vector<std::string> paths;
};

Walk RunWalk(const char* pattern, int recursive, int stopAt = 0, int stopWith = 0) {
  Visits visits;
  visits.stopAt = stopAt;
  visits.stopWith = stopWith;
  int result = WalkKeys(pattern, recursive, Record, reinterpret_cast<std::intptr_t>(&visits));
  EXPECT_EQ(store::OpenHandleCount(), 0U);
  EXPECT_EQ(LiveAllocationCount(), 0);
  return {result, visits.paths};
}

constexpr char kTree[] = R"([HKEY_LOCAL_MACHINE\Enum\ESDI\Disk]
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1\DEV_A]
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_2]
[HKEY_LOCAL_MACHINE\Software\Vendor]
[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\.txt]
[HKEY_USERS\.DEFAULT\Software\App]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\IDConfigDB]
"CurrentConfig"="0001"
[HKEY_LOCAL_MACHINE\Config\0001\Display]
)";

class KeyWalk : public ::testing::Test {
 protected:
  void SetUp() override { InstallReg(kTree); }
};

const std::string LM = "HKEY_LOCAL_MACHINE";

TEST_F(KeyWalk, PatternSelectsASubtreePreOrderHighestIndexFirst) {
  std::vector<store::CallRecord> trace;
  store::TraceRegistryCalls(&trace);
  Walk w = RunWalk("HKEY_LOCAL_MACHINE\\Enum\\PCI", 1);
  store::TraceRegistryCalls(nullptr);
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.paths, (std::vector<std::string>{LM + "\\Enum\\PCI", LM + "\\Enum\\PCI\\VEN_2",
                                                LM + "\\Enum\\PCI\\VEN_1", LM + "\\Enum\\PCI\\VEN_1\\DEV_A"}));
  // Only Enum and the keys below PCI are opened; only HKEY_LOCAL_MACHINE,
  // Enum and the PCI subtree are enumerated.
  const store::Registry& reg = store::InstalledRegistry();
  std::set<std::string> opened, enumerated;
  for (const store::CallRecord& call : trace) {
    std::string on = reg.PathOf(call.node);
    if (call.function == "RegOpenKeyExA") opened.insert(on + "\\" + call.name);
    if (call.function == "RegEnumKeyExA" || call.function == "RegQueryInfoKeyA") enumerated.insert(on);
  }
  EXPECT_EQ(opened, (std::set<std::string>{LM + "\\Enum", LM + "\\Enum\\PCI", LM + "\\Enum\\PCI\\VEN_2",
                                           LM + "\\Enum\\PCI\\VEN_1", LM + "\\Enum\\PCI\\VEN_1\\DEV_A"}));
  EXPECT_EQ(enumerated, (std::set<std::string>{LM, LM + "\\Enum", LM + "\\Enum\\PCI", LM + "\\Enum\\PCI\\VEN_2",
                                               LM + "\\Enum\\PCI\\VEN_1", LM + "\\Enum\\PCI\\VEN_1\\DEV_A"}));
}

struct WalkRow {
  const char* pattern;  // null: no pattern
  int recursive;
  int result;
  std::vector<std::string> paths;
};

void PrintTo(const WalkRow& row, std::ostream* os) {
  *os << (row.pattern ? row.pattern : "(null)") << " recursive " << row.recursive;
}

class WalkTable : public KeyWalk, public ::testing::WithParamInterface<WalkRow> {};

TEST_P(WalkTable, VisitsWhatThePatternSelects) {
  const WalkRow& row = GetParam();
  Walk w = RunWalk(row.pattern, row.recursive);
  EXPECT_EQ(w.result, row.result);
  EXPECT_EQ(w.paths, row.paths);
}

const std::vector<std::string> kEverything = {
    LM,
    LM + "\\Config", LM + "\\Config\\0001", LM + "\\Config\\0001\\Display",
    LM + "\\System", LM + "\\System\\CurrentControlSet", LM + "\\System\\CurrentControlSet\\Control",
    LM + "\\System\\CurrentControlSet\\Control\\IDConfigDB",
    LM + "\\Software", LM + "\\Software\\Classes", LM + "\\Software\\Classes\\.txt",
    LM + "\\Software\\Vendor",
    LM + "\\Enum", LM + "\\Enum\\PCI", LM + "\\Enum\\PCI\\VEN_2", LM + "\\Enum\\PCI\\VEN_1",
    LM + "\\Enum\\PCI\\VEN_1\\DEV_A", LM + "\\Enum\\ESDI", LM + "\\Enum\\ESDI\\Disk",
    "HKEY_USERS", "HKEY_USERS\\.DEFAULT", "HKEY_USERS\\.DEFAULT\\Software", "HKEY_USERS\\.DEFAULT\\Software\\App",
    "HKEY_CURRENT_CONFIG", "HKEY_CURRENT_CONFIG\\Display",
    "HKEY_DYN_DATA"};

INSTANTIATE_TEST_SUITE_P(Edges, WalkTable, ::testing::Values(
    WalkRow{"HKEY_LOCAL_MACHINE\\Enum\\PC", 1, 0, {}},
    WalkRow{"HKEY_CURRENT_USER\\Software", 1, 0,
            {"HKEY_CURRENT_USER\\Software", "HKEY_CURRENT_USER\\Software\\App"}},
    WalkRow{"hkey_current_user\\Software", 1, 0, {}},
    WalkRow{"HKEY_CLASSES_ROOT", 1, 0, {"HKEY_CLASSES_ROOT", "HKEY_CLASSES_ROOT\\.txt"}},
    WalkRow{"HKEY_CLASSES_ROOT", 0, -1, {"HKEY_CLASSES_ROOT"}},
    WalkRow{"HKEY_CURRENT_USERX", 1, 0, {}},
    WalkRow{"HKEY_LOCAL_MACHINE", 0, -1, {LM}},
    WalkRow{"HKEY_LOCAL_MACHINE", 1, 0, std::vector<std::string>(kEverything.begin(), kEverything.begin() + 19)},
    WalkRow{nullptr, 1, 0, kEverything},
    WalkRow{nullptr, 0, 0, kEverything},
    WalkRow{"", 0, 0, {}},
    WalkRow{"", 1, 0, kEverything},
    WalkRow{"HKEY_*", 0, -1, {LM}},
    WalkRow{"HKEY_LOCAL_MACHINE\\Enum\\*I", 0, 0, {LM + "\\Enum\\PCI"}},
    WalkRow{"HKEY_LOCAL_MACHINE\\Enum\\*I", 1, 0,
            {LM + "\\Enum\\PCI", LM + "\\Enum\\PCI\\VEN_2", LM + "\\Enum\\PCI\\VEN_1", LM + "\\Enum\\PCI\\VEN_1\\DEV_A",
             LM + "\\Enum\\ESDI", LM + "\\Enum\\ESDI\\Disk"}},
    // A trailing star also matches below (5), so the level does not end.
    WalkRow{"HKEY_LOCAL_MACHINE\\Enum\\PCI\\*", 0, 0, {LM + "\\Enum\\PCI\\VEN_2", LM + "\\Enum\\PCI\\VEN_1"}},
    WalkRow{"HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_?", 0, 0, {LM + "\\Enum\\PCI\\VEN_2"}},
    WalkRow{"*\\Enum\\**\\Disk", 1, 0, {}},
    WalkRow{"*\\Enum\\**Disk", 1, 0, {LM + "\\Enum\\ESDI\\Disk"}},
    WalkRow{"HKEY_LOCAL_MACHINE\\Enum\\P?I", 1, 0,
            {LM + "\\Enum\\PCI", LM + "\\Enum\\PCI\\VEN_2", LM + "\\Enum\\PCI\\VEN_1", LM + "\\Enum\\PCI\\VEN_1\\DEV_A"}},
    WalkRow{"A\tB", 1, -1, {}}));

TEST_F(KeyWalk, VisitorResultEndsTheWalk) {
  Walk w = RunWalk(nullptr, 1, 3, 7);
  EXPECT_EQ(w.result, 7);
  EXPECT_EQ(w.paths.size(), 3U);
  Walk first = RunWalk(nullptr, 1, 1, -9);
  EXPECT_EQ(first.result, -9);
  EXPECT_EQ(first.paths.size(), 1U);
}

TEST_F(KeyWalk, NestedWalkFromAVisitor) {
  static std::vector<std::string> inner;
  inner.clear();
  auto outer = [](HKEY, const char*, std::intptr_t) -> int {
    auto record = [](HKEY, const char* path, std::intptr_t) -> int {
      inner.emplace_back(path);
      return 0;
    };
    return WalkKeys("HKEY_LOCAL_MACHINE\\Enum\\ESDI", 1, record, 0);
  };
  EXPECT_EQ(WalkKeys("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_?", 0, outer, 0), 0);
  EXPECT_EQ(inner, (std::vector<std::string>{LM + "\\Enum\\ESDI", LM + "\\Enum\\ESDI\\Disk"}));
  EXPECT_EQ(store::OpenHandleCount(), 0U);
}

// A registry failure at each call of a walk in turn: the walk returns that
// call's code, and nothing stays open or allocated.
TEST_F(KeyWalk, RegistryFailureAtEachCall) {
  for (const char* pattern : {static_cast<const char*>(nullptr), "HKEY_LOCAL_MACHINE\\**\\D*", "HKEY_CLASSES_ROOT\\*"}) {
    std::uint64_t before = store::RegistryCallCount();
    Walk clean = RunWalk(pattern, 1);
    std::uint64_t calls = store::RegistryCallCount() - before;
    ASSERT_GT(calls, 0U);
    for (std::uint64_t n = 1; n <= calls; ++n) {
      LONG code = static_cast<LONG>(5000 + n);
      store::FailRegistryCall(n, code);
      Walk w = RunWalk(pattern, 1);
      store::FailRegistryCall(0, 0);
      EXPECT_EQ(w.result, code) << (pattern ? pattern : "(null)") << " call " << n;
      EXPECT_LE(w.paths.size(), clean.paths.size());
    }
  }
}

TEST_F(KeyWalk, SubkeyThatCannotBeOpenedStopsTheWalk) {
  std::vector<store::CallRecord> trace;
  store::TraceRegistryCalls(&trace);
  RunWalk("HKEY_LOCAL_MACHINE\\Enum\\**", 1);
  store::TraceRegistryCalls(nullptr);
  std::uint64_t n = 0;
  for (std::uint64_t i = 0; i < trace.size(); ++i) {
    if (trace[i].function == "RegOpenKeyExA" && trace[i].name == "VEN_1") n = i + 1;
  }
  ASSERT_GT(n, 0U);
  store::FailRegistryCall(n, ERROR_ACCESS_DENIED);
  Walk w = RunWalk("HKEY_LOCAL_MACHINE\\Enum\\**", 1);
  EXPECT_EQ(w.result, ERROR_ACCESS_DENIED);
  EXPECT_EQ(w.paths, (std::vector<std::string>{LM + "\\Enum\\PCI", LM + "\\Enum\\PCI\\VEN_2"}));
}

// Each allocation of a walk failing in turn: -1 from the level buffer or a
// failed compile, MATCH_ERROR from a failed text copy below the roots.
TEST_F(KeyWalk, AllocationFailureAtEachStep) {
  for (const char* pattern : {static_cast<const char*>(nullptr), "HKEY_LOCAL_MACHINE\\Enum\\*"}) {
    long before = AllocationCallCount();
    Walk clean = RunWalk(pattern, 1);
    long allocations = AllocationCallCount() - before;
    for (long k = 0; k < allocations; ++k) {
      FailAllocationsAfter(k);
      Walk w = RunWalk(pattern, 1);
      FailAllocationsAfter(-1);
      EXPECT_TRUE(w.result == -1 || w.result == MATCH_ERROR) << k << ": " << w.result;
    }
    FailAllocationsAfter(allocations);
    EXPECT_EQ(RunWalk(pattern, 1).paths, clean.paths);
    FailAllocationsAfter(-1);
  }
}

// On random trees and patterns: the walk visits exactly the keys whose path
// matches or lies below a match, and prunes no key that has such a key
// below it.
TEST(KeyWalkProperty, PruningLosesNoMatch) {
  std::mt19937 rng(7);
  const char* names[] = {"a", "B", "ab", "ba", "c:d"};
  const char* pieces[] = {"A", "B", "*", "**", "?", "\\", ":"};
  for (int round = 0; round < 300; ++round) {
    std::string reg;
    std::vector<std::string> keys;
    for (int k = 0; k < 12; ++k) {
      std::string key = "HKEY_LOCAL_MACHINE";
      for (int depth = 0, n = 1 + static_cast<int>(rng() % 4); depth < n; ++depth) key += std::string("\\") + names[rng() % 5];
      reg += "[" + key + "]\n";
    }
    InstallReg(reg);
    std::vector<std::string> all = testing_support::DumpRegistry();
    for (int p = 0; p < 10; ++p) {
      std::string pattern = "HKEY_LOCAL_MACHINE";
      for (int i = 0, n = static_cast<int>(rng() % 6); i < n; ++i) pattern += pieces[rng() % 7];
      Walk w = RunWalk(pattern.c_str(), 1);
      ASSERT_EQ(w.result, 0);
      std::set<std::string> visited(w.paths.begin(), w.paths.end());
      for (const std::string& key : all) {
        if (!key.starts_with("HKEY_LOCAL_MACHINE")) continue;
        int r = MatchPath(pattern.c_str(), key.c_str(), 0);
        bool selected = r > 0 && (r & (MATCH_EXACT | MATCH_BELOW)) != 0;
        EXPECT_EQ(visited.count(key) == 1, selected) << "pattern " << pattern << " key " << key;
      }
    }
  }
}

// Value walk.

struct SeenValue {
  std::string name;
  DWORD type;
  std::string data;
};
struct ValueVisits {
  std::vector<SeenValue> seen;
  int stopWith = 0;
};

int RecordValue(HKEY, std::intptr_t user, const char* name, DWORD type, DWORD size, const BYTE* data) {
  auto* visits = reinterpret_cast<ValueVisits*>(user);
  visits->seen.push_back({name, type, std::string(reinterpret_cast<const char*>(data), size)});
  return visits->stopWith;
}

int WalkValuesOf(const char* path, ValueVisits& visits) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, 0, &key), ERROR_SUCCESS);
  int result = WalkValues(key, reinterpret_cast<std::intptr_t>(&visits), RecordValue);
  RegCloseKey(key);
  EXPECT_EQ(LiveAllocationCount(), 0);
  return result;
}

class ValueWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallReg(R"([HKEY_LOCAL_MACHINE\Three]
"A"="1"
"B"=dword:2
"C"=hex:03,04
[HKEY_LOCAL_MACHINE\None]
[HKEY_LOCAL_MACHINE\Empty]
"x"=hex:
"y"=hex(0):
)");
  }
};

TEST_F(ValueWalk, HighestIndexFirst) {
  ValueVisits visits;
  EXPECT_EQ(WalkValuesOf("Three", visits), 0);
  ASSERT_EQ(visits.seen.size(), 3U);
  EXPECT_EQ(visits.seen[0].name, "C");
  EXPECT_EQ(visits.seen[0].data, "\x03\x04");
  EXPECT_EQ(visits.seen[1].name, "B");
  EXPECT_EQ(visits.seen[1].type, REG_DWORD);
  EXPECT_EQ(visits.seen[2].name, "A");
  EXPECT_EQ(visits.seen[2].data, std::string("1\0", 2));
}

TEST_F(ValueWalk, NoValuesNoCalls) {
  ValueVisits visits;
  EXPECT_EQ(WalkValuesOf("None", visits), 0);
  EXPECT_TRUE(visits.seen.empty());
}

TEST_F(ValueWalk, EmptyDataUsesAZeroSizeBuffer) {
  ValueVisits visits;
  EXPECT_EQ(WalkValuesOf("Empty", visits), 0);
  ASSERT_EQ(visits.seen.size(), 2U);
  EXPECT_EQ(visits.seen[0].name, "y");
  EXPECT_EQ(visits.seen[0].data, "");
  EXPECT_EQ(visits.seen[1].data, "");
}

TEST_F(ValueWalk, VisitorResultEndsTheWalkAndFreesBoth) {
  ValueVisits visits;
  visits.stopWith = -5;
  long before = AllocationCallCount();
  EXPECT_EQ(WalkValuesOf("Three", visits), -5);
  EXPECT_EQ(AllocationCallCount() - before, 2);
  EXPECT_EQ(visits.seen.size(), 1U);
}

TEST_F(ValueWalk, AllocationFailureForEachBuffer) {
  for (long k : {0L, 1L}) {
    ValueVisits visits;
    FailAllocationsAfter(k);
    EXPECT_EQ(WalkValuesOf("Three", visits), -1) << k;
    FailAllocationsAfter(-1);
    EXPECT_TRUE(visits.seen.empty());
  }
}

TEST_F(ValueWalk, RegistryFailureAtEachCall) {
  for (std::uint64_t n = 1; n <= 4; ++n) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Three", 0, 0, &key), ERROR_SUCCESS);
    ValueVisits visits;
    store::FailRegistryCall(n, ERROR_BADDB);
    EXPECT_EQ(WalkValues(key, reinterpret_cast<std::intptr_t>(&visits), RecordValue), ERROR_BADDB);
    store::FailRegistryCall(0, 0);
    // Call 1 is the query, call 2 the first enumeration.
    EXPECT_EQ(visits.seen.size(), n < 2 ? 0 : n - 2);
    RegCloseKey(key);
    EXPECT_EQ(LiveAllocationCount(), 0);
  }
}

}  // namespace
