// A file read out of an image by mapping the image's own pages: where a
// disk says its bytes lie in a host file, they are there (checked against
// the raw disk, not against our readers), in every container and chain;
// a hive mapped out of each reads as the hive bare does, whatever the
// cluster size or fragmentation; and an image cut short under a mapped
// hive is damage, not a crash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "diskimage/chain.h"
#include "diskimage/host_file.h"
#include "diskimage/layout/vdi.h"
#include "regwalk/regwalk.h"
#include "sources/sources.h"
#include "store/store_testing.h"
#include "testkit/hive_writer.h"
#include "testkit/image_fixture.h"
#include "testkit/test_support.h"
#include "testkit/vm_images.h"
#include "tools/registry_cli.h"

namespace {

using image_fixture::Sh;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::WriteFile;

constexpr std::size_t kDiskBytes = 16 << 20;

// A disk whose every sector begins with its own number, and whose bytes
// after it tell their place in a stretch of 256 (so that deflate packs
// it, and a compressed container compresses every cluster), with a
// stretch never written (a sparse container leaves it out); and the same
// disk after a guest wrote a few sectors here and there, none of them on a
// page boundary.
struct Disks {
  std::string before, after;
};
Disks MakeDisks() {
  Disks d;
  d.before.resize(kDiskBytes);
  for (std::size_t i = 0; i < d.before.size(); ++i) d.before[i] = static_cast<char>(i * 31 + i / 4096 * 17);
  for (std::uint64_t sector = 0; sector < kDiskBytes / 512; ++sector) std::memcpy(d.before.data() + sector * 512, &sector, 8);
  std::memset(d.before.data() + (6 << 20), 0, 3 << 20);
  d.after = d.before;
  for (std::size_t at : {std::size_t{512}, std::size_t{(2 << 20) + 1536}, std::size_t{(7 << 20) + 3584},
                         std::size_t{(11 << 20) + 512}}) {
    std::memset(d.after.data() + at, 'W', 1536);
  }
  return d;
}

class MappedImages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image_fixture::HaveTools("qemu-img qemu-io sfdisk mkfs.fat mcopy")) GTEST_SKIP() << "the image tools are not installed";
    dir_ = testing_support::ScratchDir();
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

// Every run a disk locates, from every page and from a sector into it, for
// three pages (so that runs meet the ends of clusters, grains and blocks),
// holds in its host file what the raw disk holds there; and the formats
// that store bytes as they read locate most of what was written.
TEST_F(MappedImages, WhereADiskSaysItsBytesLieTheyAre) {
  Disks disks = MakeDisks();
  WriteFile(Path("before.img"), disks.before);
  WriteFile(Path("after.img"), disks.after);
  Sh("cd '" + dir_ + "' && qemu-img convert -O vpc before.img base.vhd && qemu-img convert -O vdi before.img base.vdi"
     " && qemu-img convert -O qcow2 before.img base.qcow2 && qemu-img convert -O qcow2 -B base.qcow2 -F qcow2 after.img"
     " child.qcow2 && qemu-img convert -O vmdk before.img base.vmdk && qemu-img create -q -f vmdk -b base.vmdk -F vmdk"
     " child.vmdk && mkdir Snapshots");
  std::vector<std::string> writes = vm_images::WriteChanges(disks.before, disks.after, dir_);
  std::vector<std::string> args = {"-f", "vmdk"};
  args.insert(args.end(), writes.begin(), writes.end());
  args.push_back(Path("child.vmdk"));
  ASSERT_EQ(RunProgram("/usr/bin/qemu-io", args).status, 0);
  WriteFile(Path("child.vhd"), vm_images::DifferencingVhd(ReadFile(Path("base.vhd")), disks.before, disks.after,
                                                          "base.vhd", 0x51, /*changedOnly=*/true));
  // The base's UUID made to end in the child's tag, as one in 256 of
  // qemu-img's random ones does: the child's must differ all the same, or
  // it is found as its own parent.
  std::string baseVdi = ReadFile(Path("base.vdi"));
  baseVdi[diskimage::layout::vdi::v1_1::kUuid + diskimage::layout::vdi::kUuidBytes - 1] = 0x51;
  WriteFile(Path("base.vdi"), baseVdi);
  WriteFile(Path("Snapshots/child.vdi"), vm_images::DifferencingVdi(baseVdi, disks.after, 0x51));

  struct Row {
    const char* convert;  // how before.img became the image; empty: made above
    const char* image;
    bool after;          // the disk reads as after.img
    bool locates;        // most written bytes are found in place
  };
  const Row rows[] = {
      {"", "before.img", false, true},
      {"-O qcow2", "a.qcow2", false, true},
      {"-O qcow2 -o compat=0.10", "b.qcow2", false, true},
      {"-O qcow2 -c", "c.qcow2", false, false},
      {"-O qcow", "d.qcow", false, true},
      {"-O vdi", "a.vdi", false, true},
      {"-O vdi -o static=on", "b.vdi", false, true},
      {"", "base.vhd", false, true},
      {"-O vpc -o subformat=fixed", "b.vhd", false, true},
      {"-O vmdk", "a.vmdk", false, true},
      {"-O vmdk -o subformat=monolithicFlat", "b.vmdk", false, true},
      {"-O vmdk -o subformat=twoGbMaxExtentSparse", "c.vmdk", false, true},
      {"-O vmdk -o subformat=streamOptimized", "d.vmdk", false, false},
      {"", "child.qcow2", true, true},
      {"", "child.vmdk", true, true},
      {"", "child.vhd", true, true},
      {"", "Snapshots/child.vdi", true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.image);
    if (row.convert[0] != '\0') {
      Sh("cd '" + dir_ + "' && qemu-img convert " + row.convert + " before.img " + row.image);
    }
    diskimage::Chain chain;
    std::string error;
    diskimage::SourceKind kind;
    ASSERT_TRUE(diskimage::DetectFile(Path(row.image), &kind, &error)) << error;
    std::unique_ptr<diskimage::Disk> disk =
        kind.type == diskimage::SourceType::kNone
            ? diskimage::OpenRawDisk(Path(row.image), &error)
            : diskimage::OpenChain(Path(row.image), kind.container, chain, &error);
    ASSERT_NE(disk, nullptr) << error;
    // A VHD's disk is rounded up to its geometry: zeros past the raw one.
    std::string raw = row.after ? disks.after : disks.before;
    ASSERT_GE(disk->Size(), raw.size());
    raw.resize(disk->Size(), '\0');
    std::uint64_t located = 0;
    std::string host;
    for (std::uint64_t at = 0; at < raw.size(); at += 4096) {
      for (std::uint64_t offset : {at, at + 512}) {
        diskimage::HostRun run = disk->Locate(offset, 3 * 4096);
        if (run.file == nullptr) continue;
        ASSERT_LE(offset + run.length, raw.size()) << "at " << offset;
        ASSERT_LE(run.length, 3 * 4096u) << "at " << offset;
        ASSERT_GT(run.length, 0u) << "at " << offset;
        host.resize(run.length);
        ASSERT_EQ(run.file->ReadAt(run.offset, host.data(), host.size(), &error), static_cast<std::int64_t>(host.size()));
        ASSERT_TRUE(std::string_view(host) == std::string_view(raw).substr(offset, run.length))
            << "the run at " << offset << " holds other bytes";
        if (offset == at) located += std::min<std::uint64_t>(run.length, 4096);
      }
    }
    if (row.locates) {
      EXPECT_GT(located, kDiskBytes / 2) << "too little found in place";
    } else {
      EXPECT_EQ(located, 0u) << "compressed bytes cannot be where the disk reads them";
    }
  }
}

// regwalk -e walks every key, so that every page of the hive is read: out
// of each image it gives what the hive bare gives, whether the hive lies
// in place, a sector out of step with the pages, in clusters of 512 bytes
// or scattered across the volume.
TEST_F(MappedImages, AHiveMappedOutOfAnImageReadsAsTheHiveBare) {
  std::string shared = testing_support::SharedHive();
  if (shared.empty()) GTEST_SKIP() << "the shared Windows Me hive is not there";
  auto bare = RunProgram(REGWALK_BINARY, {"-f", shared, "-e"});
  ASSERT_EQ(bare.status, 0) << bare.err;
  auto listing = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, shared}});
  ASSERT_EQ(listing.status, 0) << listing.err;
  // FAT16 in 4 KiB clusters in step with the pages; FAT16 in clusters of
  // one sector, starting out of step; and FAT32 with the hive written
  // after every other of many small files was deleted, in pieces.
  std::string small = WriteFile(Path("small"), std::string(3000, 's'));
  Sh("cd '" + dir_ + "' && truncate -s 64M aligned.img && printf 'label: dos\\nstart=2048, type=6\\n' | sfdisk -q aligned.img"
     " && mkfs.fat -F 16 -s 8 --offset 2048 aligned.img 64512 >/dev/null && mmd -i aligned.img@@1M ::/WINDOWS"
     " && mcopy -i aligned.img@@1M '" + shared + "' ::/WINDOWS/SYSTEM.DAT");
  Sh("cd '" + dir_ + "' && truncate -s 32M sectors.img && printf 'label: dos\\nstart=63, type=6\\n' | sfdisk -q sectors.img"
     " && mkfs.fat -F 16 -s 1 -a --offset 63 sectors.img 30000 >/dev/null && mmd -i sectors.img@@32256 ::/WINDOWS"
     " && mcopy -i sectors.img@@32256 '" + shared + "' ::/WINDOWS/SYSTEM.DAT");
  std::string scatter = "cd '" + dir_ + "' && truncate -s 64M scattered.img && printf 'label: dos\\nstart=2048, type=c\\n'"
                        " | sfdisk -q scattered.img && mkfs.fat -F 32 -s 1 --offset 2048 scattered.img 64512 >/dev/null 2>&1"
                        " && mmd -i scattered.img@@1M ::/WINDOWS ::/FILL && for i in $(seq 1 600); do"
                        " mcopy -i scattered.img@@1M '" + small + "' ::/FILL/F$i; done && for i in $(seq 1 2 600); do"
                        " mdel -i scattered.img@@1M ::/FILL/F$i; done && mcopy -i scattered.img@@1M '" + shared +
                        "' ::/WINDOWS/SYSTEM.DAT";
  Sh(scatter);
  for (const char* volume : {"aligned.img", "sectors.img", "scattered.img"}) {
    for (const char* convert : {"", "-O qcow2", "-O qcow2 -c", "-O vdi", "-O vpc", "-O vmdk"}) {
      std::string image = Path(volume);
      if (convert[0] != '\0') {
        image += ".converted";
        Sh("qemu-img convert " + std::string(convert) + " '" + Path(volume) + "' '" + image + "'");
      }
      SCOPED_TRACE(std::string(volume) + " " + convert);
      auto exported = RunProgram(REGWALK_BINARY, {"-f", image, "-e"});
      EXPECT_EQ(exported.status, 0) << exported.err;
      EXPECT_TRUE(exported.out == bare.out) << "the export differs from the hive's own";
      auto listed = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, image}});
      EXPECT_EQ(listed.status, 0) << listed.err;
      EXPECT_EQ(listed.out, listing.out);
    }
  }
}

// A raw image cut short while its hive is mapped, before the walk reaches
// the keys: the lost keys are damage, and the process goes on.
TEST_F(MappedImages, AnImageCutShortUnderAMappedHiveIsDamage) {
  if (std::string(KORMALD_EMULATOR).find("qemu") != std::string::npos) {
    GTEST_SKIP() << "under " << KORMALD_EMULATOR << ", which does not deliver SIGBUS to a handler";
  }
  hive_writer::Key hdc{"hdc", {}, {}};
  for (int i = 0; i < 40; ++i) {
    hdc.children.push_back(hive_writer::Key{"000" + std::to_string(i), {{"PortDriver", 1, "P.PDR"}}, {}});
  }
  hive_writer::Hive hive = hive_writer::Write(
      hive_writer::Key{"", {}, {hive_writer::Key{"Class", {}, {std::move(hdc)}}}}, {3, false, true});
  ASSERT_GT(hive.bytes.size(), 3 * 4096u);
  std::string image = Path("disk.img");
  std::string file = WriteFile(Path("SYSTEM.DAT"), hive.bytes);
  Sh("cd '" + dir_ + "' && truncate -s 48M disk.img && printf 'label: dos\\nstart=2048, type=6\\n' | sfdisk -q disk.img"
     " && mkfs.fat -F 16 -s 8 --offset 2048 disk.img 47104 >/dev/null && mmd -i disk.img@@1M ::/WINDOWS"
     " && mcopy -i disk.img@@1M '" + file + "' ::/WINDOWS/SYSTEM.DAT");
  std::string bytes = ReadFile(image);
  std::size_t at = bytes.find(hive.bytes.substr(0, 64));
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(at % 4096, 0u) << "the hive does not lie in step with the pages: nothing would be mapped";
  std::string error;
  ASSERT_TRUE(sources::InstallSources({image}, &error)) << error;
  ASSERT_EQ(::truncate(image.c_str(), static_cast<off_t>(at + hive.rgknSize + 0x20 + 0x1000)), 0);
  static int reports = 0;
  reports = 0;
  store::SetDamageReporter([](const store::Damage&, const std::string&) { ++reports; });
  EXPECT_EQ(WalkKeys(nullptr, 1, [](HKEY, const char*, std::intptr_t) { return 0; }, 0), 0);
  store::SetDamageReporter(nullptr);
  EXPECT_GT(reports, 0);
}

}  // namespace
