// Disk images as sources: images built here with Debian's tools (sfdisk,
// mkfs.fat, mtools, qemu-img, ewfacquire, gcab) give exactly the listing of
// the hive they hold, damaged ones a one-line error, and no tool changes a
// byte of them.
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

TEST_F(Images, RawDiskWithOneFat32Partition) {
  std::string disk = Disk("fat32.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}});
  ExpectListing(disk, disk, "First install");
  // The same disk as VHD, VMDK and E01.
  Sh("qemu-img convert -O vpc '" + disk + "' '" + dir_ + "/disk.vhd'");
  Sh("qemu-img convert -O vmdk '" + disk + "' '" + dir_ + "/disk.vmdk'");
  Sh("cd '" + dir_ + "' && ewfacquire -q -u -c none -t disk '" + disk + "' >/dev/null 2>&1");
  for (const char* copy : {"disk.vhd", "disk.vmdk", "disk.E01"}) {
    ExpectListing(dir_ + "/" + copy, dir_ + "/" + copy, "First install");
  }
  // regwalk reads it too, and a shared hive in an image lists as it does bare.
  auto walked = RunProgram(REGWALK_BINARY, {"-f", disk, "HKEY_LOCAL_MACHINE\\Enum\\MF\\*"});
  EXPECT_EQ(walked.out, "HKEY_LOCAL_MACHINE\\Enum\\MF\\X\n");
  std::string shared = testing_support::SharedHive();
  if (!shared.empty()) {
    std::string me = Disk("me.img", 48, "label: dos\\nstart=2048, type=c\\n");
    Volume(me, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", shared}});
    for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"+ALL"}}) {
      auto fromImage = RunProgram(KORMALD_BINARY, options, {{tools::kRegistryVariable, me}});
      auto fromHive = RunProgram(KORMALD_BINARY, options, {{tools::kRegistryVariable, shared}});
      EXPECT_EQ(fromImage.out, fromHive.out);
    }
  }
}

TEST_F(Images, WindowsOnALogicalFat16Drive) {
  // C: a small FAT16 primary partition; D: a logical drive holding Windows.
  std::string disk = Disk("logical.img", 64, "label: dos\\nstart=2048, size=20M, type=6\\nstart=43008, type=5\\nstart=45056, type=6\\n");
  Volume(disk, 1, 20, 16, {{"/README.TXT", msdosC_}});
  Volume(disk, 22, 40, 16, {{"/WINDOWS/SYSTEM.DAT", b_}});
  ExpectListing(disk, disk, "Second install");
}

TEST_F(Images, BareFatVolumes) {
  for (int fat : {12, 16}) {
    std::string volume = dir_ + "/bare" + std::to_string(fat) + ".img";
    Sh("mkfs.fat -F " + std::to_string(fat) + " -C '" + volume + "' " + (fat == 12 ? "4096" : "20480") + " >/dev/null");
    Sh("MTOOLS_SKIP_CHECK=1 mmd -i '" + volume + "' ::/WINDOWS && MTOOLS_SKIP_CHECK=1 mcopy -i '" + volume + "' '" + a_ +
       "' ::/WINDOWS/SYSTEM.DAT");
    ExpectListing(volume, volume, "First install");
  }
}

TEST_F(Images, MsdosSysNamesTheWindowsDirectory) {
  // C:\WIN98 on the only partition, beside a \WINDOWS that is not it.
  std::string one = Disk("win98.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(one, 1, 46, 32, {{"/MSDOS.SYS", msdosC_}, {"/WIN98/SYSTEM.DAT", a_}, {"/WINDOWS/SYSTEM.DAT", b_}});
  ExpectListing(one, one, "First install");
  // D:\WINDOWS on a logical drive, named by MSDOS.SYS on C:.
  std::string two = Disk("onD.img", 64, "label: dos\\nstart=2048, size=20M, type=6\\nstart=43008, type=5\\nstart=45056, type=6\\n");
  Volume(two, 1, 20, 16, {{"/MSDOS.SYS", msdosD_}, {"/WINDOWS/SYSTEM.DAT", a_}});
  Volume(two, 22, 40, 16, {{"/WINDOWS/SYSTEM.DAT", b_}});
  ExpectListing(two, two, "Second install");
  // An MSDOS.SYS that is there but cannot be read is said, not passed over
  // for a guess at \WINDOWS.
  std::string bad = Disk("badmsdos.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(bad, 1, 46, 32, {{"/MSDOS.SYS", msdosC_}, {"/WINDOWS/SYSTEM.DAT", b_}});
  std::string bytes = testing_support::ReadFile(bad);
  std::size_t entry = bytes.find("MSDOS   SYS");
  ASSERT_NE(entry, std::string::npos);
  for (int i = 0; i < 4; ++i) bytes[entry + 28 + i] = '\xff';
  testing_support::WriteFile(bad, bytes);
  auto result = Kormald(bad, bad);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "kormald: " + bad + ": partition 1 (C:): \\MSDOS.SYS: its directory entry claims 4294967295 "
                        "bytes, impossible for a registry file on this volume\n");
}

TEST_F(Images, TwoInstallationsAreNotGuessedAt) {
  std::string disk = Disk("two.img", 64, "label: dos\\nstart=2048, size=30M, type=6\\nstart=63488, type=6\\n");
  Volume(disk, 1, 30, 16, {{"/WINDOWS/SYSTEM.DAT", a_}});
  Volume(disk, 31, 32, 16, {{"/WINDOWS/SYSTEM.DAT", b_}});
  auto result = Kormald(disk, disk);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "kormald: " + disk + ": 2 Windows directories, and no MSDOS.SYS to choose between them:\n"
                        "  partition 1 (C:): \\WINDOWS   (choose it with " + disk + "#part=1)\n"
                        "  partition 2 (D:): \\WINDOWS   (choose it with " + disk + "#part=2)\n");
  ExpectListing(disk + "#part=2", disk, "Second install");

  // Under a long path the list is no shorter: every choice is named.
  std::string deep = dir_ + "/" + std::string(200, 'd') + "/" + std::string(200, 'e');
  Sh("mkdir -p '" + deep + "' && cp '" + disk + "' '" + deep + "/two.img'");
  std::string far = deep + "/two.img";
  auto farResult = Kormald(far, far);
  EXPECT_EQ(farResult.status, 1);
  EXPECT_EQ(farResult.err, "kormald: " + far + ": 2 Windows directories, and no MSDOS.SYS to choose between them:\n"
                           "  partition 1 (C:): \\WINDOWS   (choose it with " + far + "#part=1)\n"
                           "  partition 2 (D:): \\WINDOWS   (choose it with " + far + "#part=2)\n");
}

// Without MSDOS.SYS, Windows is looked for in every top-level folder, as
// its setup takes any name: D:\WIN98 on a dual-boot disk is found, listed,
// and read by part= alone; two on one volume are not guessed at.
TEST_F(Images, AWindowsDirectoryUnderAnotherName) {
  std::string disk = Disk("dual.img", 64, "label: dos\\nstart=2048, size=30M, type=6\\nstart=63488, type=6\\n");
  Volume(disk, 1, 30, 16, {{"/DOS/README.TXT", msdosC_}});
  Volume(disk, 31, 32, 16, {{"/GAMES/README.TXT", msdosC_}, {"/WIN98/SYSTEM.DAT", b_}});
  ExpectListing(disk, disk, "Second install");
  ExpectListing(disk + "#part=2", disk, "Second install");
  auto listed = RunProgram(REGWALK_BINARY, {"--list-images", disk});
  EXPECT_NE(listed.out.find("windows\t1\t2\tD:\\\\WIN98\t" + disk + "#part=2&path=\\\\WIN98\n"), std::string::npos)
      << listed.out;

  std::string both = Disk("both.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(both, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}, {"/WIN98/SYSTEM.DAT", b_}});
  for (const std::string& selector : {std::string(), std::string("#part=1")}) {
    auto result = Kormald(both + selector, both);
    EXPECT_EQ(result.status, 1) << selector;
    std::string why = selector.empty() ? ", and no MSDOS.SYS to choose between them" : " on partition 1 (C:), to choose between";
    EXPECT_EQ(result.err, "kormald: " + both + ": 2 Windows directories" + why + ":\n"
                          "  partition 1 (C:): \\WINDOWS   (choose it with " + both + "#part=1&path=\\WINDOWS)\n"
                          "  partition 1 (C:): \\WIN98   (choose it with " + both + "#part=1&path=\\WIN98)\n");
  }
  ExpectListing(both + "#part=1&path=\\WIN98", both, "Second install");
  ExpectListing(both + "#part=1&path=\\WINDOWS", both, "First install");
}

// Writes a partition table entry (slot 0 to 3) into the MBR or an EBR at
// sector of disk, and the sector's signature.
void PutEntry(std::string& disk, std::uint64_t sector, int slot, std::uint8_t type, std::uint32_t start,
              std::uint32_t sectors) {
  std::size_t base = static_cast<std::size_t>(sector) * 512;
  std::size_t at = base + 446 + 16 * static_cast<std::size_t>(slot);
  disk[at + 4] = static_cast<char>(type);
  for (int i = 0; i < 4; ++i) {
    disk[at + 8 + i] = static_cast<char>(start >> (8 * i));
    disk[at + 12 + i] = static_cast<char>(sectors >> (8 * i));
  }
  disk[base + 510] = '\x55';
  disk[base + 511] = '\xAA';
}

// Logical partitions are numbered, and given letters, in the order of the
// extended partition's chain, as DOS and Linux do, not in their order on
// the disk: here the chain lists the one at 52 MiB (5, D:) before the one
// at 32 MiB (6, E:), and MSDOS.SYS on C: names D:.
TEST_F(Images, LogicalPartitionsInChainOrder) {
  std::string disk = Disk("chain.img", 64, "label: dos\\nstart=2048, size=30M, type=6\\n");
  std::string bytes = testing_support::ReadFile(disk);
  const std::uint32_t ext = 63488, low = 65536, high = 106496, size = 20480;
  PutEntry(bytes, 0, 1, 0x05, ext, 131072 - ext);
  PutEntry(bytes, ext, 0, 0x06, high - ext, size);     // the chain's first, high on the disk
  PutEntry(bytes, ext, 1, 0x05, low - 1 - ext, 1);     // the next EBR, just below the low one
  PutEntry(bytes, low - 1, 0, 0x06, 1, size);
  testing_support::WriteFile(disk, bytes);
  Volume(disk, 1, 30, 16, {{"/MSDOS.SYS", msdosD_}});
  Volume(disk, high / 2048, size / 2048, 16, {{"/WINDOWS/SYSTEM.DAT", a_}});
  Volume(disk, low / 2048, size / 2048, 16, {{"/WINDOWS/SYSTEM.DAT", b_}});
  // Linux's own count, to compare with.
  auto linux = RunProgram("/sbin/sfdisk", {"-d", disk});
  EXPECT_NE(linux.out.find("5 : start=      106496"), std::string::npos) << linux.out;
  ExpectListing(disk, disk, "First install");
  ExpectListing(disk + "#part=5", disk, "First install");
  ExpectListing(disk + "#part=6", disk, "Second install");
}

// An image cut short: every partition that lies within it is read, and so
// is a partition the cut runs through, as far as the files asked for lie
// before the cut; one past it is named as the cause.
TEST_F(Images, PartitionsWithinACutImageAreRead) {
  std::string disk = Disk("cut.img", 64, "label: dos\\nstart=2048, size=30M, type=6\\nstart=67584, type=6\\n");
  Sh("head -c 12M /dev/zero > '" + dir_ + "/fill'");
  Volume(disk, 1, 30, 16, {{"/MSDOS.SYS", msdosD_}});
  Volume(disk, 33, 30, 16, {{"/WINDOWS/SYSTEM.DAT", b_}, {"/FILL", dir_ + "/fill"}, {"/WINDOWS/SYSTEM.DA0", backup_}});
  Sh("truncate -s 40M '" + disk + "'");
  ExpectListing(disk, disk, "Second install");
  ExpectListing(disk + "#part=2", disk, "Second install");
  auto past = Kormald(disk + "#part=2&path=\\WINDOWS\\SYSTEM.DA0", disk);
  EXPECT_EQ(past.status, 1);
  EXPECT_EQ(past.err, "kormald: " + disk + ": partition 2 (D:): cannot read \\WINDOWS\\SYSTEM.DA0: it lies, at least in "
                      "part, past the image's end (partition 2 ends at byte 67108864, past the image's end at byte "
                      "41943040)\n");
  Sh("truncate -s 31M '" + disk + "'");
  auto gone = Kormald(disk + "#part=2", disk);
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "kormald: " + disk + ": no FAT volume is partition 2 (partition 2 ends at byte 67108864, past "
                      "the image's end at byte 32505856)\n");
}

// A chain of 20,000 logical partitions (20 MB of EBRs) costs what the
// selector or the search looks at: the chain is followed as far as DOS
// could give letters, and only the volumes looked at are opened.
TEST_F(Images, LongChainOfLogicalPartitionsIsBounded) {
  constexpr std::uint32_t kLinks = 20000, ext = 63488;
  std::string disk = Disk("long.img", 64, "label: dos\\nstart=2048, size=30M, type=6\\n");
  Volume(disk, 1, 30, 16, {{"/WINDOWS/SYSTEM.DAT", a_}});
  std::string bytes = testing_support::ReadFile(disk);
  // Each link an EBR and a one-sector logical partition after it.
  bytes.resize((std::size_t{ext} + 2 * kLinks + 1) * 512, '\0');
  PutEntry(bytes, 0, 1, 0x05, ext, 2 * kLinks + 1);
  for (std::uint32_t i = 0; i < kLinks; ++i) {
    PutEntry(bytes, ext + 2 * i, 0, 0x06, 1, 1);
    if (i + 1 < kLinks) PutEntry(bytes, ext + 2 * i, 1, 0x05, 2 * (i + 1), 2);
  }
  testing_support::WriteFile(disk, bytes);
  for (const std::string& source : {disk, disk + "#part=1"}) {
    auto result = testing_support::RunProgramWithPeak(KORMALD_BINARY, {}, {{tools::kRegistryVariable, source}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Row("First install"));
    EXPECT_LT(result.peakKiB, 64 << 10) << "KiB held";
  }
  auto far = Kormald(disk + "#part=200", disk);
  EXPECT_EQ(far.status, 1);
  EXPECT_EQ(far.err, "kormald: " + disk + ": no FAT volume is partition 200 (the chain of logical partitions goes on "
                     "past 64 links; the rest is not read)\n");
}

// A container whose library cannot read it says why, in the library's own
// words, and an E01 missing a segment is refused, not read as zeros.

TEST(PartitionTable, ReadInChainOrderWithinItsBound) {
  struct Row {
    const char* what;
    std::function<void(std::string&)> make;  // writes the table into 64 MiB of zeros
    std::string partitions;                  // number:start, in the table's order
    std::string problems;
    int maxReads;
  } rows[] = {
      {"primaries in slot order", [](std::string& d) {
         PutEntry(d, 0, 1, 0x0c, 4096, 10);
         PutEntry(d, 0, 0, 0x06, 2048, 10);
       }, "1:2048 2:4096", "", 1},
      {"logicals in chain order", [](std::string& d) {
         PutEntry(d, 0, 0, 0x05, 1000, 9000);
         PutEntry(d, 1000, 0, 0x06, 5000, 10);
         PutEntry(d, 1000, 1, 0x05, 2000, 10);
         PutEntry(d, 3000, 0, 0x0b, 1, 10);
       }, "5:6000 6:3001", "", 3},
      {"a chain that loops", [](std::string& d) {
         PutEntry(d, 0, 0, 0x0f, 1000, 9000);
         PutEntry(d, 1000, 0, 0x06, 1, 10);
         PutEntry(d, 1000, 1, 0x05, 0, 10);
       }, "5:1001", "the chain of logical partitions loops back to sector 1000", 2},
      {"a chain that breaks", [](std::string& d) {
         PutEntry(d, 0, 0, 0x05, 1000, 9000);
         PutEntry(d, 1000, 0, 0x06, 1, 10);
         PutEntry(d, 1000, 1, 0x05, 500, 10);
       }, "5:1001", "the chain of logical partitions breaks at sector 1500", 3},
      {"a chain of 20,000 links", [](std::string& d) {
         PutEntry(d, 0, 0, 0x05, 1000, 40001);
         for (std::uint32_t i = 0; i < 20000; ++i) {
           PutEntry(d, 1000 + 2 * i, 0, 0x06, 1, 1);
           if (i + 1 < 20000) PutEntry(d, 1000 + 2 * i, 1, 0x05, 2 * (i + 1), 2);
         }
       }, "", "the chain of logical partitions goes on past 64 links; the rest is not read", 65},
      {"no signature", [](std::string&) {}, "", "", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string disk(std::size_t{64} << 20, '\0');
    row.make(disk);
    int reads = 0;
    diskimage::PartitionTable table = diskimage::ReadPartitionTable([&](std::uint64_t sector, std::string* out) {
      ++reads;
      if (sector >= disk.size() / 512) return false;
      *out = disk.substr(static_cast<std::size_t>(sector) * 512, 512);
      return true;
    });
    std::string got;
    for (const diskimage::Partition& p : table.partitions) {
      got += (got.empty() ? "" : " ") + std::to_string(p.number) + ":" + std::to_string(p.start);
    }
    if (std::string(row.what) == "a chain of 20,000 links") {
      EXPECT_EQ(table.partitions.size(), 64U);
      EXPECT_EQ(table.partitions.back().number, 68);
    } else {
      EXPECT_EQ(got, row.partitions);
    }
    EXPECT_EQ(table.problems.empty() ? "" : table.problems.front(), row.problems);
    EXPECT_LE(reads, row.maxReads);
  }
}

// A disk attached to the machine is read as a disk image, read-only: here a
// loop device over an image, where the machine lets a test attach one.
}  // namespace
