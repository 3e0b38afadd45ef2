// The lister run in-process: options, rows, the text-value rules, and a
// registry failure at each call of a run.
#include "lister/lister.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "pathpattern/alloc.h"
#include "testkit/lister_fixture.h"
#include "testkit/test_support.h"
#include "sources/sources.h"
#include "store/store_testing.h"

namespace {

using testing_support::InstallReg;

using namespace lister_fixture;

struct Listing {
  int result;
  std::string out;
  std::string err;
};

Listing RunLister(std::vector<std::string> args) {
  args.insert(args.begin(), "kormald");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int result = KormaldMain(static_cast<int>(args.size()), argv.data());
  std::fflush(stdout);
  std::string out = ::testing::internal::GetCapturedStdout();
  Listing listing{result, out, ::testing::internal::GetCapturedStderr()};
  EXPECT_EQ(store::OpenHandleCount(), 0U);
  EXPECT_EQ(LiveAllocationCount(), 0);
  return listing;
}


class Options : public ::testing::TestWithParam<OptionRow> {
 protected:
  void SetUp() override { InstallReg(kFixture); }
};

TEST_P(Options, ListOrUsage) {
  const OptionRow& row = GetParam();
  Listing listing = RunLister(row.args);
  EXPECT_EQ(listing.result, row.result);
  EXPECT_EQ(listing.out, row.out);
}

INSTANTIATE_TEST_SUITE_P(Edges, Options, ::testing::ValuesIn(kOptionRows));

TEST(ReadOptions, ModeBits) {
  struct Row {
    std::vector<std::string> args;
    int usage;
    int mode;
  } rows[] = {{{}, 0, 0}, {{"-"}, 0, 1}, {{"+"}, 0, 2}, {{"-", "+"}, 0, 3}, {{"+", "-"}, 0, 2},
              {{"-", "+", "/x"}, 1, 3}, {{"x", "-"}, 0, 0}};
  for (Row& row : rows) {
    std::vector<char*> argv{const_cast<char*>("kormald")};
    for (std::string& a : row.args) argv.push_back(a.data());
    int mode = -1;
    EXPECT_EQ(ReadOptions(static_cast<int>(argv.size()), argv.data(), &mode), row.usage);
    EXPECT_EQ(mode, row.mode);
  }
}

// The buffer rules: a text value counts only when a NUL lies inside the
// 256-byte buffer.
TEST(TextValues, TooLongOrUnterminatedDataIsNeverPrinted) {
  std::string fill255(255, 'P'), fill256(256, 'P');
  std::string hex256;
  for (int i = 0; i < 256; ++i) hex256 += i == 0 ? "41" : ",41";
  std::string reg = R"(
[HKEY_LOCAL_MACHINE\Enum\MF\N]
"Driver"="hdc\\0001"
[HKEY_LOCAL_MACHINE\Enum\MF\M]
"Driver"="hdc\\0002"
[HKEY_LOCAL_MACHINE\Enum\MF\L]
"Driver"="hdc\\0003"
[HKEY_LOCAL_MACHINE\Enum\MF\K]
"Driver"=hex:68,64,63,5c,30,30,30,34
[HKEY_LOCAL_MACHINE\Enum\MF\J]
"Driver"="hdc\\0005"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0001]
"PortDriver"=")" + fill255 + R"("
"InfPath"=hex:41,42
"DriverDesc"=")" + fill256 + R"("
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0002]
"PortDriver"=")" + fill256 + R"("
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0003]
"PortDriver"=hex:)" + hex256 + R"(
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0004]
"PortDriver"="P4"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0005]
"PortDriver"=hex:50,35,00,ff
"InfPath"=hex:
"DriverDesc"=dword:41414141
)";
  InstallReg(reg);
  Listing listing = RunLister({});
  EXPECT_EQ(listing.out, std::string(kHeader) + "05:           P5             ?  ?\n" + "01: " + fill255 + "             ?  ?\n");
}

// Fault injection: a registry failure at each call of a run in turn. The
// rows are what the failure rules predict: a failed PortDriver read costs
// that row, a failed InfPath or DriverDesc read shows "?", a failure in a
// nested walk costs that instance's row, and a failure in the outer walk
// ends the listing after the rows printed so far. A failed value read is
// no loss (exit value 0, nothing said); a failure that ends a walk is
// named on standard error and the exit value says the listing is incomplete.
class FaultEachCall : public ::testing::TestWithParam<std::vector<std::string>> {};

struct Instance {
  std::string path;
  std::size_t regionEnd = 0;  // index of the last call of its nested walk
  bool listed = false;
};

std::string Field(HKEY key, const char* name) {
  char buffer[256];
  DWORD size = sizeof buffer;
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != 0) return "?";
  return buffer;
}

std::string RowOf(const std::string& path, bool infFails, bool descFails) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.substr(19).c_str(), 0, 0, &key), 0);
  char row[1024];
  std::snprintf(row, sizeof row, "%s: %12s  %12s  %s\n", path.substr(path.size() - 2).c_str(),
                Field(key, "PortDriver").c_str(), infFails ? "?" : Field(key, "InfPath").c_str(),
                descFails ? "?" : Field(key, "DriverDesc").c_str());
  RegCloseKey(key);
  return row;
}

TEST_P(FaultEachCall, GivesThePredictedRows) {
  std::string error;
  ASSERT_TRUE(sources::InstallSources({testing_support::SourceDir() + "/samples/win98se.reg"}, &error)) << error;
  const store::Registry& reg = store::InstalledRegistry();

  std::vector<store::CallRecord> trace;
  store::TraceRegistryCalls(&trace);
  Listing clean = RunLister(GetParam());
  store::TraceRegistryCalls(nullptr);
  ASSERT_EQ(clean.result, 0);

  // Which instance each call works for, and where each nested walk ends.
  enum class Kind { kOuter, kPort, kInf, kDesc, kNested };
  std::vector<Kind> kinds(trace.size(), Kind::kOuter);
  std::vector<int> owner(trace.size(), -1);
  std::vector<Instance> instances;
  bool inNested = false;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const store::CallRecord& call = trace[i];
    std::string on = reg.PathOf(call.node);
    bool enumSide = on == "HKEY_LOCAL_MACHINE" || on.starts_with("HKEY_LOCAL_MACHINE\\Enum");
    if (inNested && !enumSide) inNested = false;
    if (call.function == "RegQueryValueExA" && call.name == "PortDriver") {
      kinds[i] = Kind::kPort;
      instances.push_back({on, 0, false});
      owner[i] = static_cast<int>(instances.size()) - 1;
      if (call.result != 0) instances.back().path.clear();
    } else if (call.function == "RegQueryValueExA" && (call.name == "InfPath" || call.name == "DriverDesc")) {
      kinds[i] = call.name == "InfPath" ? Kind::kInf : Kind::kDesc;
      owner[i] = static_cast<int>(instances.size()) - 1;
      inNested = call.name == "DriverDesc";
    } else if (inNested) {
      kinds[i] = Kind::kNested;
      owner[i] = static_cast<int>(instances.size()) - 1;
      instances.back().regionEnd = i;
    }
  }
  for (Instance& instance : instances) {
    if (instance.path.empty()) continue;
    std::string row = RowOf(instance.path, false, false);
    instance.listed = clean.out.find(row) != std::string::npos;
  }
  ASSERT_FALSE(instances.empty());

  for (std::size_t n = 1; n <= trace.size(); ++n) {
    std::size_t at = n - 1;
    std::string expected = kHeader;
    for (int k = 0; k < static_cast<int>(instances.size()); ++k) {
      const Instance& instance = instances[k];
      if (!instance.listed) continue;
      bool mine = owner[at] == k;
      if (kinds[at] == Kind::kOuter && instance.regionEnd >= at) break;
      if (mine && kinds[at] == Kind::kPort) continue;
      // A Driver read failing on a node that does not point at the instance
      // changes nothing; any other failure in its nested walk costs the row.
      if (mine && kinds[at] == Kind::kNested &&
          !(trace[at].function == "RegQueryValueExA" && at != instance.regionEnd)) {
        continue;
      }
      expected += RowOf(instance.path, mine && kinds[at] == Kind::kInf, mine && kinds[at] == Kind::kDesc);
    }
    store::FailRegistryCall(n, ERROR_BADDB);
    Listing faulty = RunLister(GetParam());
    store::FailRegistryCall(0, 0);
    bool endsAWalk = trace[at].function != "RegQueryValueExA";
    EXPECT_EQ(faulty.result, endsAWalk ? 3 : 0) << "failing call " << n << ": " << trace[at].function;
    EXPECT_EQ(faulty.err.empty(), !endsAWalk) << faulty.err;
    EXPECT_EQ(faulty.out, expected) << "failing call " << n << ": " << trace[at].function << " on "
                                    << reg.PathOf(trace[at].node) << " " << trace[at].name;
  }
}

INSTANTIATE_TEST_SUITE_P(Sample, FaultEachCall, ::testing::Values(
    std::vector<std::string>{}, std::vector<std::string>{"-SCSI"}, std::vector<std::string>{"+ALL"},
    std::vector<std::string>{"-SCSI", "+ALL"}));

}  // namespace
