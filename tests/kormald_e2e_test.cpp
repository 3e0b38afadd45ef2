// kormald run as a program: the listing byte for byte, the exit value, and
// how the registry is chosen.
#include <gtest/gtest.h>

#include <filesystem>

#include "testkit/lister_fixture.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

using namespace lister_fixture;
using testing_support::RunProgram;
using testing_support::ScratchDir;
using testing_support::WriteFile;

const std::string kKormald = KORMALD_BINARY;

std::string FixtureFile() {
  static std::string path = WriteFile(ScratchDir() + "/fixture.reg", std::string("REGEDIT4\r\n") + kFixture);
  return path;
}

class EndToEnd : public ::testing::TestWithParam<OptionRow> {};

TEST_P(EndToEnd, PrintsTheListingByteForByte) {
  const OptionRow& row = GetParam();
  auto result = RunProgram(kKormald, row.args, {{tools::kRegistryVariable, FixtureFile()}});
  EXPECT_EQ(result.status, row.result);
  EXPECT_EQ(result.out, row.out);
  EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(Edges, EndToEnd, ::testing::ValuesIn(kOptionRows));

TEST(EndToEnd, SampleRegistry) {
  std::string sample = testing_support::SourceDir() + "/samples/win98se.reg";
  struct Row {
    std::vector<std::string> args;
    std::string out;
  } rows[] = {
      {{}, std::string(kHeader) +
               "02: ESDI_506.pdr     MSHDC.INF  Secondary IDE controller (dual fifo)\n"
               "01: ESDI_506.pdr     MSHDC.INF  Primary IDE controller (dual fifo)\n"},
      {{"+ALL"}, std::string(kHeader) +
                     "03:    ULTRA.MPD      OEM0.INF  Win98 Promise Ultra66 IDE Controller\n"
                     "02: ESDI_506.pdr     MSHDC.INF  Secondary IDE controller (dual fifo)\n"
                     "01: ESDI_506.pdr     MSHDC.INF  Primary IDE controller (dual fifo)\n"},
      {{"-SCSI"}, std::string(kHeader) +
                      "00:  aic78xx.mpd      SCSI.INF  Adaptec AHA-2940U/AHA-2940UW PCI SCSI Controller\n"},
      {{"-SCSI", "+ALL"}, std::string(kHeader) +
                              "01:     ppa3.mpd      OEM1.INF  Iomega Parallel Port Zip Interface\n"
                              "00:  aic78xx.mpd      SCSI.INF  Adaptec AHA-2940U/AHA-2940UW PCI SCSI Controller\n"},
  };
  for (const Row& row : rows) {
    auto result = RunProgram(kKormald, row.args, {{tools::kRegistryVariable, sample}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, row.out);
  }
}

TEST(EndToEnd, RealWindowsMeHive) {
  std::string hive = testing_support::SharedHive();
  if (hive.empty()) GTEST_SKIP() << "the shared Windows Me hive is not beside the project";
  const std::string rows =
      "02: ESDI_506.pdr     MSHDC.INF  Secondary IDE controller (dual fifo)\n"
      "01: ESDI_506.pdr     MSHDC.INF  Primary IDE controller (dual fifo)\n";
  struct Row {
    std::vector<std::string> args;
    std::string out;
  } table[] = {
      {{}, kHeader + rows},
      {{"+ALL"}, kHeader + rows},
      {{"-SCSI"}, kHeader},
      {{"-SCSI", "+ALL"}, kHeader},
  };
  for (const Row& row : table) {
    auto result = RunProgram(kKormald, row.args, {{tools::kRegistryVariable, hive}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, "");
  }
  // The same through a Windows directory whose names are in lower case.
  std::string dir = ScratchDir();
  std::filesystem::create_symlink(std::filesystem::absolute(hive), dir + "/system.dat");
  auto result = RunProgram(kKormald, {}, {{tools::kRegistryVariable, dir}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kHeader + rows);
}

TEST(EndToEnd, SeveralFilesMerge) {
  std::string dir = ScratchDir();
  // The class keys in one file, the device nodes in another.
  std::string classes = WriteFile(dir + "/classes.reg",
                                  "REGEDIT4\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\0001]\n"
                                  "\"PortDriver\"=\"A.PDR\"\n\"InfPath\"=\"A.INF\"\n");
  std::string nodes = WriteFile(dir + "/enum.reg",
                                "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Enum\\MF\\X]\n\"Driver\"=\"hdc\\\\0001\"\n"
                                "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\0001]\n"
                                "\"DriverDesc\"=\"Merged\"\n");
  auto result = RunProgram(kKormald, {}, {{tools::kRegistryVariable, classes + ":" + nodes}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string(kHeader) + "01:        A.PDR         A.INF  Merged\n");
}

TEST(EndToEnd, RegistryProblemsAreOneLineAndStatusOne) {
  const std::string kWindows31 = ":1: a Windows 3.1 registration file (REGEDIT): not read, only REGEDIT4 and version 5 exports\n";
  std::string dir = ScratchDir();
  std::string bad = WriteFile(dir + "/bad.reg", "REGEDIT\nHKEY_CLASSES_ROOT\\.txt = txtfile\n");
  std::string junk = WriteFile(dir + "/junk.bin", "MZ\x90\x00");
  std::string good = FixtureFile();
  // A Windows directory on a file system that tells letter case apart, with
  // two files for one hive.
  std::string twice = dir + "/twice";
  std::filesystem::create_directory(twice);
  for (const char* name : {"system.dat", "SYSTEM.DAT", "User.dat"}) {
    WriteFile(twice + "/" + name, "CREG");
  }
  std::string thrice = dir + "/thrice";
  std::filesystem::create_directory(thrice);
  for (const char* name : {"user.dat", "USER.DAT", "User.Dat"}) {
    WriteFile(thrice + "/" + name, "CREG");
  }
  struct Row {
    std::string value;  // "\x01unset" removes the variable
    std::string err;
  } rows[] = {
      {"\x01unset", "kormald: KORMALD_REGISTRY is not set; set it to a .reg export, a SYSTEM.DAT or USER.DAT "
                    "hive, a Windows directory, or a disk image (several joined by ':')\n"},
      {"", "kormald: KORMALD_REGISTRY names an empty path\n"},
      {good + ":", "kormald: KORMALD_REGISTRY names an empty path\n"},
      {dir + "/missing.reg", "kormald: " + dir + "/missing.reg: No such file or directory\n"},
      {bad, "kormald: " + bad + kWindows31},
      {good + ":" + bad, "kormald: " + bad + kWindows31},
      {junk, "kormald: " + junk + ": not a registry file (neither a REGEDIT4 or version 5 export, nor a CREG hive, nor a disk image)\n"},
      {dir, "kormald: " + dir + ": no SYSTEM.DAT or USER.DAT in this directory\n"},
      {twice, "kormald: " + twice + ": holds SYSTEM.DAT and system.dat: one hive in two files; name the one to read\n"},
      {thrice, "kormald: " + thrice + ": holds USER.DAT, User.Dat and user.dat: one hive in 3 files; name the one to read\n"},
  };
  for (const Row& row : rows) {
    auto result = RunProgram(kKormald, {}, {{tools::kRegistryVariable, row.value}});
    EXPECT_EQ(result.status, 1) << row.value;
    EXPECT_EQ(result.out, "") << row.value;
    EXPECT_EQ(result.err, row.err);
  }
}

// A .reg file with lines Windows would skip: the rest is listed, each line
// left out is named (twenty, then a count), and the status says the
// registry is incomplete.
TEST(EndToEnd, LinesLeftOutAreNamedAndTheStatusIsThree) {
  std::string dir = ScratchDir();
  std::string body = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\0000]\r\n"
                     "\"DriverDesc\"=\"Kept\"#comment\r\n";
  for (int i = 0; i < 24; ++i) body += "junk\x1b[31m\r\n";
  std::string file = WriteFile(dir + "/skips.reg", body);
  auto result = RunProgram(kKormald, {"+ALL"}, {{tools::kRegistryVariable, FixtureFile() + ":" + file}});
  EXPECT_EQ(result.status, 3);
  std::string expected = "kormald: " + file + ":3: value left out: text after its string's closing quote: '#comment'\n";
  for (int line = 4; line < 23; ++line) {
    expected += "kormald: " + file + ":" + std::to_string(line) +
                ": line left out: not a key, a value or a comment: 'junk\\x1b[31m'\n";
  }
  expected += "kormald: " + file + ": 5 more lines left out or changed, not named one by one\n";
  EXPECT_EQ(result.err, expected);
  auto intact = RunProgram(kKormald, {"+ALL"}, {{tools::kRegistryVariable, FixtureFile()}});
  EXPECT_EQ(result.out, intact.out);
}

TEST(EndToEnd, UsageNeedsNoRegistry) {
  auto result = RunProgram(kKormald, {"/?"}, {{tools::kRegistryVariable, "\x01unset"}});
  EXPECT_EQ(result.status, 20);
  EXPECT_EQ(result.out, kUsage);
  EXPECT_EQ(result.err, "");
}

TEST(EndToEnd, UnwritableOutputIsAFailure) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto result = RunProgram(kKormald, {}, {{tools::kRegistryVariable, FixtureFile()}}, "/dev/full");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "kormald: cannot write the output: No space left on device\n");
}

}  // namespace
