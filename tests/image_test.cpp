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
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

using testing_support::RunProgram;
using testing_support::ScratchDir;

using image_fixture::Hash;
using image_fixture::Row;
using image_fixture::Sh;
using image_fixture::SmallHive;

bool HaveTools() { return image_fixture::HaveTools("sfdisk mkfs.fat mcopy qemu-img ewfacquire gcab"); }

// A FAT volume at offset (MiB) of image, made and filled with files
// (path in the volume -> file on the host).
void Volume(const std::string& image, int offsetMiB, int sizeMiB, int fat,
            const std::vector<std::pair<std::string, std::string>>& files) {
  Sh("mkfs.fat -F " + std::to_string(fat) + " --offset " + std::to_string(offsetMiB * 2048) + " '" + image + "' " +
     std::to_string(sizeMiB * 1024) + " >/dev/null 2>&1");
  std::string at = "'" + image + "@@" + std::to_string(offsetMiB) + "M'";
  for (const auto& [path, host] : files) {
    std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty()) Sh("mmd -D s -i " + at + " ::" + dir + " 2>/dev/null || true");
    Sh("mcopy -i " + at + " '" + host + "' ::" + path);
  }
}


class Images : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTools()) GTEST_SKIP() << "the image tools are not installed";
    dir_ = ScratchDir();
    a_ = testing_support::WriteFile(dir_ + "/a.dat", SmallHive("First install"));
    b_ = testing_support::WriteFile(dir_ + "/b.dat", SmallHive("Second install"));
    backup_ = testing_support::WriteFile(dir_ + "/backup.dat", SmallHive("Yesterday"));
    msdosC_ = testing_support::WriteFile(dir_ + "/msdos-c.sys", "[Paths]\r\nWinDir=C:\\WIN98\r\nWinBootDir=C:\\WIN98\r\n");
    msdosD_ = testing_support::WriteFile(dir_ + "/msdos-d.sys", "[Options]\r\nBootGUI=1\r\n[paths]\r\nwindir = d:\\windows\r\n");
  }

  // A disk with the partitions sfdisk's script describes.
  std::string Disk(const std::string& name, int sizeMiB, const std::string& table) {
    std::string image = dir_ + "/" + name;
    Sh("truncate -s " + std::to_string(sizeMiB) + "M '" + image + "' && printf '" + table + "' | sfdisk -q '" + image + "'");
    return image;
  }

  // kormald on a source, checked to leave the image as it was.
  testing_support::RunResult Kormald(const std::string& source, const std::string& image) {
    std::string before = Hash(image);
    auto result = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, source}});
    EXPECT_EQ(Hash(image), before) << "the image changed";
    return result;
  }

  void ExpectListing(const std::string& source, const std::string& image, const std::string& description) {
    auto result = Kormald(source, image);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Row(description)) << source;
  }

  std::string dir_, a_, b_, backup_, msdosC_, msdosD_;
};

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

void ExpectOneLineError(const testing_support::RunResult& result, const std::string& image);

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
TEST_F(Images, BlockDeviceIsReadAsADisk) {
  std::string disk = Disk("attached.img", 48, "label: dos\\nstart=2048, type=c\\n");
  Volume(disk, 1, 46, 32, {{"/WINDOWS/SYSTEM.DAT", a_}});
  auto attach = RunProgram("/usr/sbin/losetup", {"-f", "--show", "-r", disk});
  if (attach.status != 0) GTEST_SKIP() << "no loop device can be attached here: " << attach.err;
  std::string device = attach.out.substr(0, attach.out.find('\n'));
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
void ExpectOneLineError(const testing_support::RunResult& result, const std::string& image) {
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(result.err.starts_with("kormald: " + image + ": ")) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

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

}  // namespace
