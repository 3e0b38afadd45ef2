// Files picked out of disk images: backups chosen by path, cabinets in an
// image and alone, a file read as what its bytes say, free records of a
// hive in an image, a block device read as a disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "diskimage/image.h"
#include "testkit/hive_writer.h"
#include "testkit/image_fixture.h"
#include "testkit/images_fixture.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

using testing_support::RunProgram;

using image_fixture::Row;
using image_fixture::Sh;
using image_fixture::SmallHive;
using image_fixture::Images;
using image_fixture::Volume;

TEST_F(Images, BackupsChosenExplicitlyAndInACabinet) {
  Sh("cd '" + dir_ + "' && cp '" + backup_ + "' SYSTEM.DAT && gcab -c RB000.CAB SYSTEM.DAT");
  std::string disk = Disk("backup.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}, {"/WINDOWS/SYSTEM.DA0", backup_},
                          {"/WINDOWS/SYSBCKUP/RB000.CAB", dir_ + "/RB000.CAB"}});
  ExpectListing(disk + "#path=\\WINDOWS\\SYSTEM.DA0", disk, "Yesterday");
  ExpectListing(disk + "#part=1&path=/windows/sysbckup/rb000.cab&cab=system.dat", disk, "Yesterday");
  auto missing = Kormald(disk + "#path=\\WINDOWS\\SYSTEM.1ST", disk);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "kormald: " + disk + ": partition 1 (C:): no \\WINDOWS\\SYSTEM.1ST\n");

  // A selector part that does not apply is an error naming it, never
  // passed over.
  const std::string cab = "\\WINDOWS\\SYSBCKUP\\RB000.CAB";
  struct Row {
    std::string selector;
    std::string err;  // after "kormald: " and the image's path
  } rows[] = {
      {"#path=\\WINDOWS&cab=SYSTEM.DAT",
       ": partition 1 (C:): cab= names a file in a cabinet, and \\WINDOWS is a directory"},
      {"#path=" + cab, ": partition 1 (C:): " + cab + ": a cabinet of 1 file; choose the one to read:\n  SYSTEM.DAT  " +
                           std::to_string(SmallHive("Yesterday").size()) + " bytes   (" + disk + "#part=1&path=" +
                           cab + "&cab=SYSTEM.DAT)"},
      {"#path=\\WINDOWS\\SYSTEM.DA0&cab=SYSTEM.DAT",
       ": partition 1 (C:): \\WINDOWS\\SYSTEM.DA0: not a cabinet, or a damaged one"},
      {"#part=1&part=2", "#part=1&part=2: part= is given twice"},
      {"#path=\\WINDOWS&path=\\WIN98", "#path=\\WINDOWS&path=\\WIN98: path= is given twice"},
      {"#path=" + cab + "&cab=SYSTEM.DAT&cab=USER.DAT", "#path=" + cab + "&cab=SYSTEM.DAT&cab=USER.DAT: cab= is given twice"},
      {"#cab=SYSTEM.DAT", ": cab= names a file inside the cabinet that path= names"},
  };
  for (const Row& row : rows) {
    auto result = Kormald(disk + row.selector, disk);
    EXPECT_EQ(result.status, 1) << row.selector;
    EXPECT_EQ(result.out, "") << row.selector;
    EXPECT_EQ(result.err, "kormald: " + disk + row.err + "\n");
  }

  // The cabinet copied out on its own is a source too: cab= names the
  // file, and the cabinet alone says what it holds and how to choose.
  const std::string bare = dir_ + "/RB000.CAB";
  ExpectListing(bare + "#cab=system.dat", bare, "Yesterday");
  const std::string holds = ": a cabinet of 1 file; choose the one to read:\n  SYSTEM.DAT  " +
                            std::to_string(SmallHive("Yesterday").size()) + " bytes   (" + bare + "#cab=SYSTEM.DAT)";
  for (const auto& [selector, err] : std::vector<std::pair<std::string, std::string>>{
           {"", holds},
           {"#part=1&cab=SYSTEM.DAT", ": a cabinet, which holds no partitions or directories: name a file in it with #cab="},
           {"#path=\\WINDOWS", ": a cabinet, which holds no partitions or directories: name a file in it with #cab="},
           {"#cab=USER.DAT", ": the cabinet holds no USER.DAT"}}) {
    auto result = Kormald(bare + selector, bare);
    EXPECT_EQ(result.status, 1) << selector;
    EXPECT_EQ(result.err, "kormald: " + bare + err + "\n");
  }
  std::string damaged = testing_support::ReadFile(bare).substr(0, 40);
  testing_support::WriteFile(dir_ + "/cut.cab", damaged);
  auto cut = Kormald(dir_ + "/cut.cab#cab=SYSTEM.DAT", dir_ + "/cut.cab");
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.err, "kormald: " + dir_ + "/cut.cab: not a cabinet, or a damaged one\n");
}

TEST_F(Images, DeletedRecordsOfAnImage) {
  std::string shared = testing_support::SharedHive();
  if (shared.empty()) GTEST_SKIP() << "no shared hive";
  std::string disk = Disk("deleted.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", shared}});
  const std::string where = disk + ": partition 1 (C:): \\WINDOWS\\SYSTEM.DAT";
  auto fromImage = RunProgram(REGWALK_BINARY, {"-f", disk, "--deleted"});
  auto fromFile = RunProgram(REGWALK_BINARY, {"-f", shared, "--deleted"});
  EXPECT_EQ(fromImage.status, 0) << fromImage.err;
  EXPECT_EQ(fromImage.err, "regwalk: " + where + ": 93 free records: 76 decode as key records (0 of them partial), 17 do not\n");
  std::string expected = fromFile.out;
  for (std::size_t at = 0; (at = expected.find(shared + ": offset", at)) != std::string::npos; at += where.size()) {
    expected.replace(at, shared.size(), where);
  }
  EXPECT_EQ(fromImage.out, expected);

  // With --json, where the hive lies comes as fields too, and the selector
  // among them reads the same hive again.
  auto json = RunProgram(REGWALK_BINARY, {"-f", disk, "--deleted", "--json"});
  const std::string selector = disk + "#part=1&path=\\WINDOWS\\SYSTEM.DAT";
  auto Escaped = [](std::string text) {
    for (std::size_t at = 0; (at = text.find('\\', at)) != std::string::npos; at += 2) text.insert(at, 1, '\\');
    return text;
  };
  const std::string source = ",\"source\":{\"image\":\"" + disk + "\",\"snapshot\":null,\"disk\":null,\"partition\":1,"
                             "\"path\":\"\\\\WINDOWS\\\\SYSTEM.DAT\",\"cab\":null,\"selector\":\"" + Escaped(selector) + "\"},";
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 76);
  EXPECT_NE(json.out.find("{\"file\":\"" + Escaped(where) + "\"" + source), std::string::npos) << json.out.substr(0, 400);
  auto again = RunProgram(REGWALK_BINARY, {"-f", selector, "--deleted", "--json"});
  EXPECT_EQ(again.out, json.out);

  std::string sample = testing_support::SourceDir() + "/samples/win98se.reg";
  auto both = RunProgram(REGWALK_BINARY, {"-f", shared, "-f", disk, "-f", sample, "--deleted", "-e"});
  EXPECT_EQ(both.status, 0) << both.err;
  EXPECT_NE(both.out.find("[HKEY_LOCAL_MACHINE\\Recovered\\SYSTEM.DAT@"), std::string::npos);
  EXPECT_NE(both.out.find("[HKEY_LOCAL_MACHINE\\Recovered\\SYSTEM.DAT#2@"), std::string::npos);
  EXPECT_NE(both.err.find("regwalk: " + sample + ": not searched: a .reg export, which keeps no free records\n"),
            std::string::npos)
      << both.err;
  // The export loads back with both sources' records apart.
  std::string file = testing_support::WriteFile(dir_ + "/recovered.reg", both.out);
  auto back = RunProgram(REGWALK_BINARY, {"-f", file, "-n", "HKEY_LOCAL_MACHINE\\Recovered\\*"});
  EXPECT_EQ(std::count(back.out.begin(), back.out.end(), '\n'), 2 * 76) << back.err;
}

// The partition table as DOS and Linux read it, from sectors in memory:
// each row a disk, the partitions it gives, and how many sectors reading it
// may take, whatever the chain's length.

TEST_F(Images, BlockDeviceIsReadAsADisk) {
  std::string disk = Disk("attached.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}});
  auto attach = RunProgram("/usr/sbin/losetup", {"-f", "--show", "-r", disk});
  if (attach.status != 0) GTEST_SKIP() << "no loop device can be attached here: " << attach.err;
  std::string device = attach.out.substr(0, attach.out.find('\n'));
  testing_support::LinuxOnly linuxOnly;  // Windows names its disks otherwise
  struct Detach {
    std::string device;
    ~Detach() { RunProgram("/usr/sbin/losetup", {"-d", device}); }
  } detach{device};
  ExpectListing(device, disk, "First install");
  ExpectListing(device + "#part=1", disk, "First install");
}

// A file whose size cannot be: a directory entry that claims more than its
// volume holds (the image library then hides the file), and a cabinet entry
// that unpacks past the largest registry file. Each is named with the size
// it claims, for the cost of reading its claim.

TEST_F(Images, AFilePickedOutIsReadAsWhatItIs) {
  std::string reg = testing_support::WriteFile(dir_ + "/OEM.REG",
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\MF\\X]\r\n\"Driver\"=\"hdc\\\\0001\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\0001]\r\n"
      "\"PortDriver\"=\"ESDI_506.pdr\"\r\n\"DriverDesc\"=\"Exported\"\r\n");
  std::string ini = testing_support::WriteFile(dir_ + "/SYSTEM.INI", "[boot]\r\nshell=Explorer.exe\r\n");
  Sh("cd '" + dir_ + "' && gcab -c OEM.CAB OEM.REG SYSTEM.INI");
  std::string disk = Disk("files.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}, {"/WINDOWS/OEM.REG", reg}, {"/WINDOWS/SYSTEM.INI", ini},
                          {"/WINDOWS/OEM.CAB", dir_ + "/OEM.CAB"}});
  ExpectListing(disk + "#path=\\WINDOWS\\OEM.REG", disk, "Exported");
  ExpectListing(disk + "#path=\\WINDOWS\\OEM.CAB&cab=OEM.REG", disk, "Exported");
  ExpectListing(dir_ + "/OEM.CAB#cab=oem.reg", dir_ + "/OEM.CAB", "Exported");
  const std::string notRegistry =
      ": not a registry file (neither a REGEDIT4 or version 5 export, nor a CREG hive, nor a disk image)\n";
  auto onHost = Kormald(ini, ini);
  EXPECT_EQ(onHost.err, "kormald: " + ini + notRegistry);
  for (const auto& [source, label] : std::vector<std::pair<std::string, std::string>>{
           {disk + "#path=\\WINDOWS\\SYSTEM.INI", disk + ": partition 1 (C:): \\WINDOWS\\SYSTEM.INI"},
           {dir_ + "/OEM.CAB#cab=SYSTEM.INI", dir_ + "/OEM.CAB (SYSTEM.INI)"}}) {
    auto result = Kormald(source, disk);
    EXPECT_EQ(result.status, 1) << source;
    EXPECT_EQ(result.err, "kormald: " + label + notRegistry) << source;
  }
  // The deleted keys' search passes an export over, as it does on the host.
  auto deleted = RunProgram(REGWALK_BINARY, {"-f", disk + "#path=\\WINDOWS\\OEM.REG", "--deleted"});
  EXPECT_EQ(deleted.err, "regwalk: " + disk + ": partition 1 (C:): \\WINDOWS\\OEM.REG: not searched: a .reg export, "
                         "which keeps no free records\nregwalk: --deleted searches hives, and no source is one (SYSTEM.DAT or "
                         "USER.DAT)\n");
}

// A folder whose short name DOS wrote in codepage 866, as a Russian
// Windows 98 machine's is, found by its name in UTF-8 where the registry's
// codepage (1251, paired with 866) is named, and not under the default.
TEST_F(Images, AShortNameIsReadInTheCodepageOfItsMachine) {
  std::string disk = Disk("ru.img", 40, "label: dos\\nstart=2048, type=6\\n");
  Volume(disk, 1, 38, 16, {{"/WINDOWS/SYSTEM.DAT", a_}});
  auto made = testing_support::RunProgram(
      "/bin/sh", {"-c", "mmd -i '" + disk + "@@1M' ::/ДАННЫЕ && mcopy -i '" + disk + "@@1M' '" + b_ + "' ::/ДАННЫЕ/SYSTEM.DAT"},
      {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}, {"DEFAULT_CODEPAGE", "866"}});
  ASSERT_EQ(made.status, 0) << made.err;
  std::string source = disk + "#part=1&path=\\ДАННЫЕ";
  auto named = testing_support::RunProgram(KORMALD_BINARY, {},
                                           {{tools::kRegistryVariable, source}, {tools::kCodepageVariable, "1251"}});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_EQ(named.out, Row("Second install"));
  auto unnamed = testing_support::RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, source}});
  EXPECT_EQ(unnamed.status, 1);
  // Under 437 its name is other letters: the folder is not there.
  EXPECT_EQ(unnamed.err, "kormald: " + disk +
                             ": partition 1 (C:): no \\\\xd0\\x94\\xd0\\x90\\xd0\\x9d\\xd0\\x9d\\xd0\\xab\\xd0\\x95\n");
}

}  // namespace

// A machine in a folder named in Cyrillic, as a Russian user's VMs lie on
// a Western Windows (codepage 1252, where no such name fits the ANSI
// codepage): the machine file, its disk and the delta beside it, reached
// through the environment and the command line alike.
TEST_F(Images, AMachineInAFolderNamedInCyrillicIsRead) {
  std::string folder = dir_ + "/Виртуальные машины/Win98";
  Sh("mkdir -p '" + folder + "'");
  std::string base = Disk("Виртуальные машины/Win98/Диск.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(base, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", b_}});
  Sh("cd '" + folder + "' && qemu-img create -q -f qcow2 -F raw -b Диск.img Снимок.qcow2");
  std::string vmx = testing_support::WriteFile(folder + "/Win98.vmx", "config.version = \"8\"\nide0:0.present = \"TRUE\"\n"
                                                                       "ide0:0.fileName = \"Снимок.qcow2\"\n");
  ExpectListing(vmx, base, "Second install");
  auto walked = testing_support::RunProgram(REGWALK_BINARY, {"-f", vmx, "HKLM\\Enum\\*"});
  EXPECT_EQ(walked.status, 0) << walked.err;
  EXPECT_NE(walked.out.find("HKEY_LOCAL_MACHINE\\Enum\\"), std::string::npos) << walked.out;
  auto listed = testing_support::RunProgram(REGWALK_BINARY, {"--list-images", vmx});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find(".qcow2\tqcow2\n"), std::string::npos) << listed.out;
}
