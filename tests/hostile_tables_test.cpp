// Containers whose tables claim far more than their disk needs, in sparse
// files that hold the claim: each reads as the disk it is, its table read
// only as far as the disk's size needs it, or is refused by name where
// QEMU refuses it. (What each costs is bench/hostile-tables' to measure.)
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "diskimage/layout/qcow.h"
#include "diskimage/layout/vdi.h"
#include "diskimage/layout/vhd.h"
#include "testkit/hive_writer.h"
#include "testkit/image_fixture.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

namespace layout = diskimage::layout;
using testing_support::RunProgram;

void PutBigEndian(std::string& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = size - 1; i >= 0; --i, value >>= 8) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value);
}

class HostileTables : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image_fixture::HaveTools("sfdisk mkfs.fat mcopy qemu-img")) GTEST_SKIP() << "no image tools";
    dir_ = testing_support::ScratchDir();
    testing_support::WriteFile(dir_ + "/hive.dat", image_fixture::SmallHive("Claimed much"));
    image_fixture::Fat32Disk(dir_ + "/disk.img", dir_ + "/hive.dat");
  }
  std::string Convert(const std::string& format, const std::string& name) {
    image_fixture::Sh("cd '" + dir_ + "' && qemu-img convert -O " + format + " disk.img " + name);
    return testing_support::ReadFile(dir_ + "/" + name);
  }
  // bytes, then as many zeros as make the file size bytes: a hole.
  std::string Sparse(const std::string& name, const std::string& bytes, std::uint64_t size) {
    std::string path = testing_support::WriteFile(dir_ + "/" + name, bytes);
    image_fixture::Sh("truncate -s " + std::to_string(size) + " '" + path + "'");
    return path;
  }
  testing_support::RunResult Kormald(const std::string& path) {
    return RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, path}});
  }
  std::string dir_;
};

TEST_F(HostileTables, AClaimBeyondTheDiskCostsNothingAndReadsTheDisk) {
  // A VDI's block map claiming 2^26 blocks, over its blocks.
  std::string vdi = Convert("vdi", "plain.vdi");
  hive_writer::PutU32(vdi, layout::vdi::v1_1::kBlocks, 1u << 26);
  std::string vdiPath = Sparse("claims.vdi", vdi, (std::uint64_t{1} << 28) + 4 * 1024 * 1024 * 64);

  // A dynamic VHD's block table claiming 2^26 entries, its footer moved to
  // the end of a file that holds the claim.
  std::string vhd = Convert("vpc", "plain.vhd");
  std::string footer = vhd.substr(vhd.size() - layout::vhd::kFooterBytes);
  std::uint64_t headerAt = 0;
  for (int i = 0; i < 8; ++i) headerAt = headerAt << 8 | static_cast<unsigned char>(footer[16 + static_cast<std::size_t>(i)]);
  PutBigEndian(vhd, headerAt + layout::vhd::header::kTableEntries, 1u << 26, 4);
  vhd.resize(vhd.size() - footer.size());
  std::uint64_t vhdSectors = ((std::uint64_t{1} << 28) + (64 << 20)) / 512;
  std::string vhdPath = Sparse("claims.vhd", vhd, (vhdSectors - 1) * 512);
  testing_support::WriteFile(dir_ + "/footer", footer);
  image_fixture::Sh("dd if='" + dir_ + "/footer' of='" + vhdPath + "' bs=512 seek=" + std::to_string(vhdSectors - 1) +
                    " conv=notrunc 2>/dev/null");

  // A qcow2 L1 table of QEMU's largest, over a 48 MiB disk that needs one
  // entry of it.
  std::string qcow2 = Convert("qcow2", "plain.qcow2");
  PutBigEndian(qcow2, layout::qcow::v2::kL1Entries, layout::qcow::kMaxL1Entries, 4);
  std::string qcowPath = Sparse("claims.qcow2", qcow2, std::uint64_t{64} << 20);

  for (const std::string& path : {vdiPath, vhdPath, qcowPath}) {
    auto read = Kormald(path);
    EXPECT_EQ(read.status, 0) << path << ": " << read.err;
    EXPECT_EQ(read.out, image_fixture::Row("Claimed much")) << path;
  }
}

TEST_F(HostileTables, WhatQemuRefusesIsRefusedByName) {
  std::string qcow2 = Convert("qcow2", "plain.qcow2");
  PutBigEndian(qcow2, layout::qcow::v2::kL1Entries, std::uint64_t{1} << 25, 4);
  std::string path = Sparse("huge.qcow2", qcow2, std::uint64_t{300} << 20);
  auto read = Kormald(path);
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.err, "kormald: " + path + ": its L1 table claims 33554432 entries (QEMU reads 4194304 at most)\n");
}

// A read of the disk that falls past the container file's end is an
// error naming the file and the byte, never zeros the hive reader would
// take for damage.
TEST_F(HostileTables, AReadPastTheContainersEndNamesIt) {
  std::string qcow2 = Convert("qcow2", "plain.qcow2");
  std::string cut = testing_support::WriteFile(dir_ + "/cut.qcow2", qcow2.substr(0, qcow2.size() - 65536));
  // A VHD whose block table sends every block past the file's end.
  std::string vhd = Convert("vpc", "plain.vhd");
  std::string footer = vhd.substr(vhd.size() - layout::vhd::kFooterBytes);
  std::uint64_t headerAt = 0, tableAt = 0;
  for (int i = 0; i < 8; ++i) headerAt = headerAt << 8 | static_cast<unsigned char>(footer[16 + static_cast<std::size_t>(i)]);
  for (int i = 0; i < 8; ++i) {
    tableAt = tableAt << 8 | static_cast<unsigned char>(vhd[headerAt + layout::vhd::header::kTableOffset +
                                                            static_cast<std::size_t>(i)]);
  }
  for (std::size_t entry = 0; entry < 24; ++entry) {
    if (vhd.compare(tableAt + entry * 4, 4, "\xFF\xFF\xFF\xFF") != 0) PutBigEndian(vhd, tableAt + entry * 4, 0x7FFFFF00, 4);
  }
  std::string away = testing_support::WriteFile(dir_ + "/away.vhd", vhd);
  struct Row {
    std::string path;
    std::string err;  // within the message, before " lies past the file's end"
  } rows[] = {
      {cut, cut + ": a data cluster at byte "},
      {away, "cannot be read: " + away + ": a data block at byte "},
  };
  for (const Row& row : rows) {
    auto read = Kormald(row.path);
    EXPECT_EQ(read.status, 1) << row.path;
    EXPECT_EQ(read.out, "") << row.path;
    EXPECT_TRUE(read.err.starts_with("kormald: " + row.path + ": ")) << read.err;
    EXPECT_NE(read.err.find(row.err), std::string::npos) << read.err;
    EXPECT_NE(read.err.find(" lies past the file's end"), std::string::npos) << read.err;
  }
}

// A VHD checksum that disagrees with its bytes is named, and the disk read
// all the same: the checksum guards those 512 or 1024 bytes alone.
TEST_F(HostileTables, AVhdChecksumThatDisagreesIsNamedAndTheDiskRead) {
  std::string vhd = Convert("vpc", "plain.vhd");
  std::size_t footerAt = vhd.size() - layout::vhd::kFooterBytes;
  auto clean = Kormald(testing_support::WriteFile(dir_ + "/clean.vhd", vhd));
  EXPECT_EQ(clean.err, "");
  std::string badFooter = vhd, badHeader = vhd;
  badFooter[footerAt + layout::vhd::footer::kChecksum + 3] ^= 1;
  badHeader[512 + layout::vhd::header::kChecksum] ^= 0x10;  // qemu-img writes the header at 512
  struct Row {
    std::string name, bytes, what;
  } rows[] = {{"footer.vhd", badFooter, "footer"}, {"header.vhd", badHeader, "header"}};
  for (const Row& row : rows) {
    std::string path = testing_support::WriteFile(dir_ + "/" + row.name, row.bytes);
    auto read = Kormald(path);
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out, image_fixture::Row("Claimed much"));
    EXPECT_TRUE(read.err.starts_with("kormald: " + path + ": its VHD " + row.what + "'s checksum is 0x")) << read.err;
    EXPECT_TRUE(read.err.ends_with("; read all the same\n")) << read.err;
    auto listed = RunProgram(REGWALK_BINARY, {"--list-images", path});
    EXPECT_EQ(listed.status, 0);
    EXPECT_TRUE(listed.err.starts_with("regwalk: " + path + ": its VHD " + row.what)) << listed.err;
  }
}

// A dynamic VHD whose last sector, its footer, is cut off is named as cut
// short, not read by the copy of the footer at its start.
TEST_F(HostileTables, AVhdWhoseFooterIsCutOffIsNamed) {
  std::string vhd = Convert("vpc", "plain.vhd");
  std::string cut = testing_support::WriteFile(dir_ + "/cut.vhd", vhd.substr(0, vhd.size() - 512));
  auto read = Kormald(cut);
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.err, "kormald: " + cut + ": cut short: the footer that ends a VHD is not at its end\n");
}

// A machine of many disks reads the one chosen, and one of more than any
// VM software attaches is refused by name.
TEST_F(HostileTables, AMachineOfManyDisks) {
  auto vmx = [&](const std::string& name, int disks) {
    std::string text = "config.version = \"8\"\n";
    for (int i = 0; i < disks; ++i) {
      std::string node = "sata" + std::to_string(i / 30) + ":" + std::to_string(i % 30);
      text += node + ".present = \"TRUE\"\n" + node + ".fileName = \"disk.img\"\n";
    }
    return testing_support::WriteFile(dir_ + "/" + name, text);
  };
  std::string many = vmx("many.vmx", 100);
  auto last = Kormald(many + "#disk=100");
  EXPECT_EQ(last.status, 0) << last.err;
  EXPECT_EQ(last.out, image_fixture::Row("Claimed much"));
  std::string tooMany = vmx("too-many.vmx", 245);
  auto refused = Kormald(tooMany);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "kormald: " + tooMany + ": 245 hard disks, more than any VM software attaches (244: VMware's "
                         "4 IDE, 120 SATA, 60 SCSI and 60 NVMe disks)\n");
}

// The Windows Me hive's last clusters cut off a qcow2: its file cannot be
// read, where it was read with zeros for them (status 0, or damage).
TEST_F(HostileTables, AHiveWhoseClustersAreCutOffIsNotRead) {
  std::string shared = testing_support::SharedHive();
  if (shared.empty()) GTEST_SKIP() << "no shared hive";
  image_fixture::Sh("cd '" + dir_ + "' && mcopy -o -i disk.img@@1M '" + shared + "' ::/WINDOWS/SYSTEM.DAT");
  std::string qcow2 = Convert("qcow2", "shared.qcow2");
  std::string cut = testing_support::WriteFile(dir_ + "/cut.qcow2", qcow2.substr(0, qcow2.size() - 65536));
  auto read = Kormald(cut);
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.out, "");
  EXPECT_TRUE(read.err.starts_with("kormald: " + cut + ": partition 1 (C:): cannot read \\WINDOWS\\SYSTEM.DAT: " + cut +
                                   ": a data cluster at byte "))
      << read.err;
}

}  // namespace
