// The lister run in-process: options, rows, the text-value rules, and a
// registry failure at each call of a run.
#include "lister/lister.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "pathpattern/alloc.h"
#include "testkit/lister_fixture.h"
#include "testkit/test_support.h"
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

// Fault injection: a registry failure at each call of a run in turn, on the
// fixture registry. What each failure must cost is stated from the outside,
// with the rows written out: a failed PortDriver read costs that row, a
// failed InfPath or DriverDesc read shows "?" in that column, a failed
// Driver read on the node a search would have found costs that row (unless
// another node points at the same instance), any other failure in a search
// costs the row of the instance the message names, and a failure in the
// outer walk ends the listing after the rows printed so far. A failed value
// read is no loss (exit value 0, nothing said); a failure that ends a walk
// is named in one line and the exit value says the listing is incomplete.
struct RowForms {
  std::string whole;    // as listed
  std::string noInf;    // the InfPath read failed
  std::string noDesc;   // the DriverDesc read failed
};

// By the driver key that names the instance.
const std::map<std::string, RowForms> kRowForms = {
    {"hdc\\0006", {kRow06, "06:      SIX.PDR             ?  Scope key\n", "06:      SIX.PDR       SIX.INF  ?\n"}},
    {"hdc\\0005", {kRow05, "05: LONGPORTDRIVER.PDR             ?  ?\n", kRow05}},
    {"hdc\\0003", {kRow03, "03:    THREE.PDR             ?  PCI only\n", "03:    THREE.PDR         T.INF  ?\n"}},
    {"hdc\\0002", {kRow02, kRow02, "02:      TWO.PDR             ?  ?\n"}},
    {"hdc\\0001", {kRow01, "01:     PORT.PDR             ?  Primary channel\n", "01:     PORT.PDR      DISK.INF  ?\n"}},
    {"SCSIAdapter\\0000", {kScsi00, "00:  aic78xx.mpd             ?  Adaptec\n", "00:  aic78xx.mpd      SCSI.INF  ?\n"}},
    {"SCSIAdapter\\0001", {kScsi01, kScsi01, "01:     ppa3.mpd             ?  ?\n"}},
};
// Two device nodes point at it: the search goes on to the second.
const std::string kPointedAtTwice = "hdc\\0005";

// The driver key of an instance key's path: what follows "\Class\".
std::string DriverKeyOf(const std::string& path) {
  std::size_t at = path.find("\\Class\\");
  return at == std::string::npos ? "" : path.substr(at + 7);
}

// The listing with one row taken out, or put in another form.
std::string Without(std::string listing, const std::string& row, const std::string& instead = "") {
  std::size_t at = listing.find(row);
  if (at != std::string::npos) listing.replace(at, row.size(), instead);
  return listing;
}

class FaultEachCall : public ::testing::TestWithParam<OptionRow> {};

TEST_P(FaultEachCall, CostsWhatTheFailureRulesSay) {
  const OptionRow& row = GetParam();
  InstallReg(kFixture);
  store::Registry& reg = store::InstalledRegistry();
  std::vector<store::CallRecord> trace;
  store::TraceRegistryCalls(&trace);
  Listing clean = RunLister(row.args);
  store::TraceRegistryCalls(nullptr);
  ASSERT_EQ(clean.result, 0);
  ASSERT_EQ(clean.out, row.out);

  std::string searched;  // the instance whose values were read last: its search follows
  for (std::size_t n = 1; n <= trace.size(); ++n) {
    const store::CallRecord& call = trace[n - 1];
    std::string on = reg.PathOf(call.node);
    std::string instance = DriverKeyOf(on);
    bool valueRead = call.function == "RegQueryValueExA";
    if (valueRead && call.name != "Driver") searched = instance;

    store::FailRegistryCall(n, ERROR_BADDB);
    Listing faulty = RunLister(row.args);
    store::FailRegistryCall(0, 0);
    SCOPED_TRACE("failing call " + std::to_string(n) + ": " + call.function + " on " + on + " " + call.name);

    if (!valueRead) {
      // A walk ended early: one line names it, and the status says so.
      EXPECT_EQ(faulty.result, 3);
      ASSERT_TRUE(faulty.err.starts_with("kormald: ") && faulty.err.ends_with("; rows may be missing\n") &&
                  faulty.err.find('\n') == faulty.err.size() - 1)
          << faulty.err;
      const std::string search = "kormald: the search for ";
      if (faulty.err.starts_with(search)) {
        std::string named = faulty.err.substr(search.size(), faulty.err.find(" under ") - search.size());
        auto forms = kRowForms.find(named);
        EXPECT_EQ(faulty.out, forms == kRowForms.end() ? clean.out : Without(clean.out, forms->second.whole));
      } else {
        EXPECT_TRUE(faulty.err.starts_with("kormald: the walk of ")) << faulty.err;
        EXPECT_TRUE(faulty.out.starts_with(kHeader)) << faulty.out;
        EXPECT_TRUE(clean.out.starts_with(faulty.out)) << faulty.out;
      }
      continue;
    }
    EXPECT_EQ(faulty.result, 0);
    EXPECT_EQ(faulty.err, "");
    // An instance without a row (no device node in scope) has none to lose.
    std::string expected = clean.out;
    if (call.name == "Driver") {
      const store::Value* driver = reg.FindValue(call.node, "Driver");
      bool theMatch = driver != nullptr && std::string(driver->data.substr(0, driver->data.find('\0'))) == searched;
      if (theMatch && searched != kPointedAtTwice) expected = Without(clean.out, kRowForms.at(searched).whole);
    } else if (auto forms = kRowForms.find(instance); forms != kRowForms.end()) {
      const RowForms& r = forms->second;
      expected = call.name == "PortDriver" ? Without(clean.out, r.whole)
                 : call.name == "InfPath"  ? Without(clean.out, r.whole, r.noInf)
                                           : Without(clean.out, r.whole, r.noDesc);
    }
    EXPECT_EQ(faulty.out, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Fixture, FaultEachCall, ::testing::Values(kOptionRows[0], kOptionRows[1], kOptionRows[2],
                                                                   kOptionRows[3]));

}  // namespace
