// regwalk --controllers: every key kormald examines and its fate, held to
// the rows kormald itself prints on the lister's fixture, in every mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hive/layout.h"
#include "testkit/hive_writer.h"
#include "testkit/lister_fixture.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

using testing_support::RunProgram;
using testing_support::ScratchDir;
using testing_support::WriteFile;

const std::string kRegwalk = REGWALK_BINARY;

std::string FixtureFile() {
  static std::string path =
      WriteFile(ScratchDir() + "/fixture.reg", std::string("REGEDIT4\r\n") + lister_fixture::kFixture);
  return path;
}

// The "row" fields of --controllers --json, in order, each with its line end.
std::string Rows(const std::string& json) {
  std::string rows;
  for (std::size_t at = 0; (at = json.find("\"row\":\"", at)) != std::string::npos;) {
    at += 7;
    std::size_t end = json.find('"', at);
    rows += json.substr(at, end - at) + "\n";
  }
  return rows;
}

TEST(Controllers, EveryRowKormaldPrintsAndNoOther) {
  for (const lister_fixture::OptionRow& row : lister_fixture::kOptionRows) {
    if (row.result != 0) continue;  // the usage line: kormald lists nothing
    auto kormald = RunProgram(KORMALD_BINARY, row.args, {{tools::kRegistryVariable, FixtureFile()}});
    std::vector<std::string> args = {"--controllers", "--json"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    auto explained = RunProgram(kRegwalk, args, {{tools::kRegistryVariable, FixtureFile()}});
    EXPECT_EQ(explained.status, 0) << ::testing::PrintToString(row) << explained.err;
    EXPECT_EQ(lister_fixture::kHeader + Rows(explained.out), kormald.out) << ::testing::PrintToString(row);
  }
}

TEST(Controllers, WhyAnInstanceHasNoRow) {
  struct Row {
    std::vector<std::string> args;
    std::string instance;  // below the class path
    std::string line;      // what follows "PATH: "
  } rows[] = {
      {{}, "hdc\\0000", "no row: no PortDriver value"},
      {{}, "hdc\\0003",
       "no row: no device node under HKEY_LOCAL_MACHINE\\Enum\\MF names hdc\\0003; "
       "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1\\X does, which +ALL reaches"},
      {{"+ALL"}, "hdc\\0003", "listed: 03:    THREE.PDR         T.INF  PCI only (named by HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1\\X)"},
      {{}, "hdc\\0004", "no row: no device node under HKEY_LOCAL_MACHINE\\Enum names hdc\\0004"},
      {{}, "hdc\\0005", "listed: 05: LONGPORTDRIVER.PDR  AVERYLONGNAME.INF  ? (named by HKEY_LOCAL_MACHINE\\Enum\\MF\\CHILD0002\\B)"},
      {{"-SCSI"}, "SCSIAdapter\\0001",
       "no row: no device node under HKEY_LOCAL_MACHINE\\Enum\\PCI names SCSIAdapter\\0001; "
       "HKEY_LOCAL_MACHINE\\Enum\\Root\\SCSI\\0000 does, which -SCSI +ALL reaches"},
      // kormald's rules, not another's: +ALL -SCSI lists hard-disk controllers.
      {{"+ALL", "-SCSI"}, "hdc\\0003", "listed: 03:    THREE.PDR         T.INF  PCI only (named by HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1\\X)"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"--controllers", "-f", FixtureFile()};
    args.insert(args.end(), row.args.begin(), row.args.end());
    auto result = RunProgram(kRegwalk, args);
    std::string key = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\" + row.instance;
    EXPECT_NE(result.out.find(key + ": " + row.line + "\n"), std::string::npos) << row.instance << "\n" << result.out;
  }
  auto usage = RunProgram(kRegwalk, {"--controllers", "/?"});
  EXPECT_EQ(usage.status, 2);
}

// A damaged instance is named as what it is, and the status says so, as
// kormald's does.
TEST(Controllers, AnInstanceThatCannotBeRead) {
  using hive_writer::Key;
  Key hdc{"hdc", {}, {Key{"0001", {{"PortDriver", 1, std::string("P.PDR\0", 6)}}, {}},
                      Key{"0002", {{"PortDriver", 1, std::string("Q.PDR\0", 6)}}, {}}}};
  Key tree{"", {}, {Key{"Enum", {}, {Key{"MF", {}, {Key{"X", {{"Driver", 1, std::string("hdc\\0001\0", 9)}}, {}}}}}},
                    Key{"System", {}, {Key{"CurrentControlSet", {}, {Key{"Services", {}, {Key{"Class", {}, {hdc}}}}}}}}}};
  hive_writer::Hive hive = hive_writer::Write(tree);
  // The root, Enum, MF, X, System, CurrentControlSet, Services, Class, hdc, 0001, 0002.
  hive_writer::PutU16(hive.bytes, hive.entryAt[10] + hive::layout::entry::kRecord, 0xFFFE);
  std::string file = WriteFile(ScratchDir() + "/SYSTEM.DAT", hive.bytes);
  auto kormald = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, file}});
  auto explained = RunProgram(kRegwalk, {"--controllers", "-f", file});
  EXPECT_EQ(explained.status, 3) << explained.err;
  EXPECT_EQ(kormald.status, 3);
  EXPECT_NE(explained.out.find("Class\\hdc\\: no row: the key could not be read\n"), std::string::npos)
      << explained.out;
  EXPECT_NE(explained.out.find("Class\\hdc\\0001: listed: 01:        P.PDR             ?  ?"), std::string::npos)
      << explained.out;
}

}  // namespace
