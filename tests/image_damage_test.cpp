// Damaged and impossible disk images: every fault a one-line message
// naming the image and what is wrong, status 1, and bytes from the image
// escaped wherever they are shown.
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
using image_fixture::Images;
using image_fixture::Volume;

void ExpectOneLineError(const testing_support::RunResult& result, const std::string& image) {
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(result.err.starts_with("kormald: " + image + ": ")) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

TEST_F(Images, DamagedContainersSayWhy) {
  std::string disk = Disk("whole.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}});
  Sh("cd '" + dir_ + "' && qemu-img convert -O vmdk -o subformat=monolithicFlat whole.img flat.vmdk && rm flat-flat.vmdk"
     " && qemu-img convert -O vmdk whole.img sparse.vmdk && head -c 600 sparse.vmdk > cut.vmdk"
     " && qemu-img convert -O vpc whole.img whole.vhd && head -c 1000 whole.vhd > cut.vhd"
     " && ewfacquire -q -u -c none -S 8MiB -t seg whole.img >/dev/null 2>&1");
  ExpectListing(dir_ + "/seg.E01", dir_ + "/seg.E01", "First install");
  std::string lastSegment = dir_ + "/seg.E07";
  ASSERT_TRUE(std::filesystem::exists(lastSegment));
  ASSERT_FALSE(std::filesystem::exists(dir_ + "/seg.E08"));
  Sh("cd '" + dir_ + "' && mkdir middle last && cp seg.E0* middle/ && cp seg.E0* last/ && rm middle/seg.E03 last/seg.E07");
  struct Row {
    std::string image;
    std::string starts;  // what the message begins with, after "kormald: " and the image
    std::string names;   // what it must name
  } rows[] = {
      {dir_ + "/flat.vmdk", ": cannot be read as a VMDK image: ", "flat-flat.vmdk"},
      {dir_ + "/cut.vmdk", ": cannot be read as a VMDK image: ", "descriptor"},
      {dir_ + "/cut.vhd", ": cut short: ", "footer"},
      {dir_ + "/middle/seg.E01", ": segment " + dir_ + "/middle/seg.E03 missing", ""},
      {dir_ + "/last/seg.E01", ": segment " + dir_ + "/last/seg.E07 missing", ""},
  };
  for (const Row& row : rows) {
    auto result = Kormald(row.image, row.image);
    ExpectOneLineError(result, row.image);
    EXPECT_TRUE(result.err.starts_with("kormald: " + row.image + row.starts)) << result.err;
    EXPECT_NE(result.err.find(row.names), std::string::npos) << result.err;
  }
}

// What MSDOS.SYS says is shown with its control bytes escaped: a damaged
// one must not write them to the terminal.
TEST_F(Images, MsdosSysBytesAreEscapedInMessages) {
  std::string msdos = testing_support::WriteFile(dir_ + "/bad-msdos.sys", "[Paths]\r\nWinDir=E:\\WIN\x01\x1b[2J\r\n");
  std::string disk = Disk("escape.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/MSDOS.SYS", msdos}, {"/WINDOWS/SYSTEM.DAT", a_}});
  auto result = Kormald(disk, disk);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "kormald: " + disk + ": MSDOS.SYS names E:\\WIN\\x01\\x1b[2J, and no FAT volume of the image is E:\n");
  Sh("printf '[Paths]\\r\\nWinDir=C:\\\\WIN\\001\\r\\n' > '" + dir_ + "/c-msdos.sys'");
  Volume(disk, 1, 46, 32, {{"/MSDOS.SYS", dir_ + "/c-msdos.sys"}, {"/WINDOWS/SYSTEM.DAT", a_}});
  result = Kormald(disk, disk);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "kormald: " + disk + ": partition 1 (C:): no SYSTEM.DAT or USER.DAT in \\WIN\\x01\n");
}

// --deleted searches the hives of an image as it searches a hive file;
// records of two sources of one name stay apart in an export (the second
// is SYSTEM.DAT#2), and a source that holds no hive is named.

TEST_F(Images, ImpossibleSizesAreNamed) {
  const std::string claim = ": its directory entry claims ";
  for (std::uint32_t size : {0xFFFFFFFFU, 255U << 20}) {
    std::string disk = Disk("claims.img", 48, "label: dos\\nstart=2048, type=c\\n");
    Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}});
    std::string bytes = testing_support::ReadFile(disk);
    std::size_t entry = bytes.find("SYSTEM  DAT");
    ASSERT_NE(entry, std::string::npos);
    for (int i = 0; i < 4; ++i) bytes[entry + 28 + i] = static_cast<char>(size >> (8 * i));
    testing_support::WriteFile(disk, bytes);
    std::string said = ": partition 1 (C:): \\WINDOWS\\SYSTEM.DAT" + claim + std::to_string(size) +
                       " bytes, impossible for a registry file on this volume\n";
    for (const std::string& source : {disk, disk + "#path=\\WINDOWS\\SYSTEM.DAT"}) {
      auto result = Kormald(source, disk);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, "kormald: " + disk + said);
    }
  }
  Sh("cd '" + dir_ + "' && truncate -s 300M SYSTEM.DAT && gcab -c -z BIG.CAB SYSTEM.DAT && rm SYSTEM.DAT");
  std::string disk = Disk("bigcab.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}, {"/WINDOWS/SYSBCKUP/RB000.CAB", dir_ + "/BIG.CAB"}});
  auto result = testing_support::RunProgramWithPeak(
      KORMALD_BINARY, {}, {{tools::kRegistryVariable, disk + "#path=\\WINDOWS\\SYSBCKUP\\RB000.CAB&cab=SYSTEM.DAT"}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "kormald: " + disk + ": partition 1 (C:): \\WINDOWS\\SYSBCKUP\\RB000.CAB: SYSTEM.DAT in the "
                        "cabinet is too large for a registry file (314572800 bytes; one holds at most 268435456)\n");
  EXPECT_LT(result.peakKiB, 100 << 10) << "KiB held";
}

// Damage the image reader cannot read past: one line naming the image and
// what is wrong, status 1, no rows.

TEST_F(Images, DamagedImagesGiveOneLineAndStatusOne) {
  struct Row {
    const char* what;
    std::string damage;  // a shell command on the image, $1
  } rows[] = {
      {"truncated", "truncate -s 600K \"$1\""},
      // The partition's first sector, in the MBR entry, far past the end.
      {"partition past the end", "printf '\\000\\000\\000\\100' | dd of=\"$1\" bs=1 seek=454 conv=notrunc 2>/dev/null"},
      {"no Windows directory", "true"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string disk = Disk(std::string(row.what).substr(0, 5) + ".img", 48, "label: dos\\nstart=2048, type=c\\n");
    std::vector<std::pair<std::string, std::string>> files;
    if (std::string(row.what) != "no Windows directory") files.push_back({"/WINDOWS/SYSTEM.DAT", a_});
    Volume(disk, 1, 46, 32, files);
    Sh("set -- '" + disk + "'; " + row.damage);
    ExpectOneLineError(Kormald(disk, disk), disk);
  }
}

TEST_F(Images, BrokenFatChainOfTheHiveIsAnError) {
  std::string disk = Disk("chain.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}});
  // The hive's first cluster made to lead back to itself: a loop in the FAT.
  std::string at = "'" + disk + "@@1M'";
  auto chain = RunProgram("/bin/sh", {"-c", "mshowfat -i " + at + " ::/WINDOWS/SYSTEM.DAT | sed 's/.*<\\([0-9]*\\).*/\\1/'"},
                          {{"MTOOLS_SKIP_CHECK", "1"}});
  auto info = RunProgram("/bin/sh", {"-c", "minfo -i " + at + " :: | sed -n 's/^reserved (boot) sectors: //p'"},
                         {{"MTOOLS_SKIP_CHECK", "1"}});
  ASSERT_FALSE(chain.out.empty());
  ASSERT_FALSE(info.out.empty());
  int cluster = std::stoi(chain.out);
  long entry = 1024L * 1024 + std::stol(info.out) * 512 + 4L * cluster;
  char value[32];
  std::snprintf(value, sizeof value, "\\%03o\\%03o\\000\\000", cluster & 0xFF, (cluster >> 8) & 0xFF);
  Sh("printf '" + std::string(value) + "' | dd of='" + disk + "' bs=1 seek=" + std::to_string(entry) +
     " conv=notrunc 2>/dev/null");
  auto result = Kormald(disk, disk);
  ExpectOneLineError(result, disk);
  EXPECT_NE(result.err.find("partition 1 (C:)"), std::string::npos) << result.err;
}

TEST_F(Images, SelectorThatCannotBeIsNamed) {
  std::string disk = Disk("conv.img", 48, "label: dos\\nstart=2048, type=c\\n");
  auto bad = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, disk + "#part=x"}});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "kormald: " + disk + "#part=x: part= takes a partition number, found 'x'\n");
}

// A file picked out of an image or a cabinet is told by its bytes, as a
// file on the host is: an export reads as one, anything else is not a
// registry file, in the host's words.
}  // namespace
