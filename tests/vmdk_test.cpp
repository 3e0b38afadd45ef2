// The VMDK reader against qemu-img, a reader that is not ours: every VMDK
// made here (each subformat qemu-img writes, a delta, descriptors written
// by hand with flat extents at an offset and in other folders) reads as
// `qemu-img convert -O raw` reads it, byte for byte; and what is wrong
// with a VMDK is refused by name.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "diskimage/chain.h"
#include "diskimage/vmdk.h"
#include "testkit/image_fixture.h"
#include "testkit/test_support.h"

namespace {

using image_fixture::Sh;

constexpr std::uint64_t kDisk = 8 << 20;

// The disk ours reads from path, whole; or why it cannot.
std::string OursRead(const std::string& path) {
  diskimage::Chain chain;
  std::string error;
  std::unique_ptr<diskimage::Disk> disk = diskimage::OpenChain(path, diskimage::Container::kVmdk, chain, &error);
  if (disk == nullptr) return "refused: " + error;
  std::string bytes(disk->Size(), '\0');
  // In pieces that cross grains and extents, as a search reads.
  for (std::uint64_t at = 0; at < bytes.size();) {
    std::size_t piece = std::min<std::uint64_t>(bytes.size() - at, 12345);
    if (disk->Read(at, bytes.data() + at, piece, &error) != static_cast<std::int64_t>(piece)) return "unread: " + error;
    at += piece;
  }
  return bytes;
}

class Vmdk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image_fixture::HaveTools("qemu-img qemu-io")) GTEST_SKIP() << "no qemu-img";
    dir_ = testing_support::ScratchDir();
    // A disk whose every 4 KiB differs, with a hole of zeros in it.
    std::string raw;
    for (std::uint64_t i = 0; raw.size() < kDisk; ++i) raw += std::to_string(i * 2654435761u % 1000003) + ";";
    raw.resize(kDisk);
    std::fill(raw.begin() + (3 << 20), raw.begin() + (4 << 20), '\0');
    testing_support::WriteFile(dir_ + "/disk.raw", raw);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // What qemu-img reads of path, as a raw disk.
  std::string QemuRead(const std::string& path) {
    Sh("qemu-img convert -O raw '" + path + "' '" + dir_ + "/oracle.raw'");
    return testing_support::ReadFile(dir_ + "/oracle.raw");
  }
  std::string dir_;
};

TEST_F(Vmdk, EachReadsAsQemuImgReadsIt) {
  Sh("cd '" + dir_ + "' && mkdir -p sub && "
     "qemu-img convert -O vmdk disk.raw sparse.vmdk && "
     "qemu-img convert -O vmdk -o subformat=monolithicFlat disk.raw flat.vmdk && "
     "qemu-img convert -O vmdk -o subformat=twoGbMaxExtentSparse disk.raw split.vmdk && "
     "qemu-img convert -O vmdk -o subformat=twoGbMaxExtentFlat disk.raw splitflat.vmdk && "
     "qemu-img convert -O vmdk -o subformat=streamOptimized disk.raw stream.vmdk && "
     "qemu-img convert -O vmdk -o zeroed_grain=on disk.raw zeroed.vmdk && "
     "qemu-img create -q -f vmdk -b sparse.vmdk -F vmdk delta.vmdk && "
     "qemu-io -f vmdk -c 'write -q -P 0x5a 100k 300k' -c 'write -q -z 1M 64k' delta.vmdk && "
     "qemu-img create -q -f vmdk -b delta.vmdk -F vmdk delta2.vmdk && "
     "qemu-io -f vmdk -c 'write -q -P 0xa5 7M 1M' delta2.vmdk && "
     // Flat extents by hand: one at a sector offset in its file, one in a
     // folder below, one above, one by an absolute name, and a zero one.
     "(head -c 100k /dev/urandom; cat disk.raw) > sub/offset.bin && mkdir -p sub/deeper && cp disk.raw sub/deeper/x.bin && cp disk.raw above.bin && "
     "printf '# Disk DescriptorFile\\nversion=1\\nCID=1\\nparentCID=ffffffff\\ncreateType=\"monolithicFlat\"\\n"
     "RW 4096 FLAT \"offset.bin\" 200\\nRW 4096 FLAT \"deeper/x.bin\" 2048\\n"
     "RW 4096 FLAT \"../above.bin\" 4096\\nRW 4096 FLAT \"" + dir_ + "/disk.raw\" 100\\n' > sub/byhand.vmdk && "
     "printf '# Disk DescriptorFile\\nCID=1\\nRW 2048 FLAT \"disk.raw\" 0\\nRW 2048 ZERO\\n' > zero.vmdk");
  for (const char* name : {"sparse.vmdk", "flat.vmdk", "split.vmdk", "splitflat.vmdk", "stream.vmdk", "zeroed.vmdk",
                           "delta.vmdk", "delta2.vmdk", "sub/byhand.vmdk"}) {
    SCOPED_TRACE(name);
    std::string ours = OursRead(Path(name));
    std::string qemu = QemuRead(Path(name));
    EXPECT_EQ(ours.size(), qemu.size()) << ours.substr(0, 300);
    EXPECT_TRUE(ours == qemu) << "the bytes differ";
  }
  // A ZERO extent reads as zeros, as VMware's format says: QEMU 7.2 passes
  // over a kind it does not know, and its disk comes out shorter.
  EXPECT_TRUE(OursRead(Path("zero.vmdk")) ==
              testing_support::ReadFile(Path("disk.raw")).substr(0, 1 << 20) + std::string(1 << 20, '\0'));
}

struct Refusal {
  const char* name;
  std::string script;  // run in the folder: makes bad.vmdk from sparse.vmdk, stream.vmdk and disk.raw
  std::string said;    // a part of the refusal
};

TEST_F(Vmdk, WhatIsWrongIsRefusedByName) {
  Sh("cd '" + dir_ + "' && qemu-img convert -O vmdk disk.raw sparse.vmdk && "
     "qemu-img convert -O vmdk -o subformat=streamOptimized disk.raw stream.vmdk");
  const std::string descriptor = "printf '# Disk DescriptorFile\\nversion=1\\nCID=1\\nparentCID=ffffffff\\n";
  auto patch = [](std::size_t at, const std::string& octal) {
    return "cp sparse.vmdk bad.vmdk && printf '" + octal + "' | dd of=bad.vmdk bs=1 seek=" + std::to_string(at) +
           " conv=notrunc 2>/dev/null";
  };
  const std::vector<Refusal> table = {
      {"no CID", "printf '# Disk DescriptorFile\\nRW 8 FLAT \"disk.raw\" 0\\n' > bad.vmdk", "gives no CID"},
      {"no extent", descriptor + "' > bad.vmdk", "names no extent"},
      {"an extent no one may read", descriptor + "NOACCESS 8 FLAT \"disk.raw\" 0\\n' > bad.vmdk",
       "line 5: an extent no one may read"},
      {"an ESX sparse extent", descriptor + "RW 8 VMFSSPARSE \"disk.raw\"\\n' > bad.vmdk",
       "an extent of kind VMFSSPARSE, which is not read"},
      {"a missing extent", descriptor + "RW 8 FLAT \"gone.raw\" 0\\n' > bad.vmdk", "gone.raw cannot be opened"},
      {"an extent that is a FIFO", "mkfifo fifo.raw && " + descriptor + "RW 8 FLAT \"fifo.raw\" 0\\n' > bad.vmdk",
       "fifo.raw is a FIFO, not a file or a disk"},
      {"a delta naming no parent", "printf '# Disk DescriptorFile\\nCID=1\\nparentCID=2\\nRW 8 FLAT \"disk.raw\" 0\\n' > bad.vmdk",
       "gives a parentCID and no parentFileNameHint"},
      {"a flat extent that ends short", descriptor + "RW 99999 FLAT \"disk.raw\" 0\\n' > bad.vmdk",
       "the flat extent ends at byte 8388608"},
      {"a version not read", patch(4, "\\004"), "its sparse header is of version 4, which is not read"},
      {"grains of 3 sectors", patch(20, "\\003"), "gives grains of 3 sectors"},
      {"line endings a text transfer changed", patch(73, "\\n \\n\\n"), "has had its line endings changed"},
      {"a grain directory past the end", patch(56, "\\377\\377\\377\\000"), "places its grain directory past the file's end"},
      {"a grain table past the end", "cp sparse.vmdk bad.vmdk && qemu-img info bad.vmdk >/dev/null && "
       "gd=$(od -An -t u8 -j 56 -N 8 bad.vmdk | tr -d ' ') && printf '\\377\\377\\377\\000' | "
       "dd of=bad.vmdk bs=1 seek=$((gd * 512)) conv=notrunc 2>/dev/null", "a grain table at byte"},
      {"a stream cut short", "head -c 300000 stream.vmdk > bad.vmdk", "a compressed grain of "},
      {"a stream whose footer is cut off",
       "cp stream.vmdk bad.vmdk && printf '\\377\\377\\377\\377\\377\\377\\377\\377' | "
       "dd of=bad.vmdk bs=1 seek=56 conv=notrunc 2>/dev/null && truncate -s -1024 bad.vmdk",
       "the footer that ends a stream-optimized VMDK is not at its end"},
  };
  for (const Refusal& row : table) {
    SCOPED_TRACE(row.name);
    Sh("cd '" + dir_ + "' && rm -f bad.vmdk fifo.raw && " + row.script);
    std::string said = OursRead(Path("bad.vmdk"));
    EXPECT_TRUE(said.starts_with("refused: ") || said.starts_with("unread: ")) << said.substr(0, 200);
    EXPECT_NE(said.find(row.said), std::string::npos) << said.substr(0, 300);
  }
}

// A descriptor's lines as VMware writes them, and each it refuses.
TEST(VmdkDescriptor, ReadAsVmwareWritesIt) {
  diskimage::VmdkDescriptor d;
  std::string error;
  ASSERT_TRUE(diskimage::ParseVmdkDescriptor("# Disk DescriptorFile\r\nversion=1\r\nCID=fffffffe\r\n"
                                             "parentCID=0000abcd\r\ncreateType=\"twoGbMaxExtentSparse\"\r\n"
                                             "parentFileNameHint=\"My Disk.vmdk\"\r\n\r\n# Extent description\r\n"
                                             "RW 4192256 SPARSE \"My Disk-000001-s001.vmdk\"\r\nRDONLY 8192 FLAT "
                                             "\"a b.bin\" 16\r\nRW 4096 ZERO\r\nddb.adapterType = \"ide\"\r\n",
                                             &d, &error))
      << error;
  EXPECT_EQ(d.cid, 0xfffffffeu);
  EXPECT_EQ(d.parentCid, 0xabcdu);
  EXPECT_EQ(d.parentHint, "My Disk.vmdk");
  ASSERT_EQ(d.extents.size(), 3u);
  EXPECT_EQ(d.extents[0].file, "My Disk-000001-s001.vmdk");
  EXPECT_EQ(d.extents[0].sectors, 4192256u);
  EXPECT_EQ(d.extents[1].kind, diskimage::VmdkExtent::Kind::kFlat);
  EXPECT_EQ(d.extents[1].offset, 16u);
  EXPECT_EQ(d.extents[2].kind, diskimage::VmdkExtent::Kind::kZero);
}

}  // namespace
