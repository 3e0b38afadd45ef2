// VM disks that cannot be read as they are, and reads that must be exact:
// every unreadable container refused by name (a loop, a missing parent,
// encryption, zstd, cut tables and blocks, stale parents, a snapshot table
// that claims too much), and long reads through a backing file compared
// byte for byte with the raw disk.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>

#include "diskimage/chain.h"
#include "imagemodule/library_disks.h"
#include "diskimage/qcow.h"
#include "diskimage/vdi.h"
#include "testkit/hive_writer.h"
#include "testkit/image_fixture.h"
#include "testkit/vm_disks_fixture.h"
#include "testkit/test_support.h"
#include "testkit/vm_images.h"
#include "tools/registry_cli.h"

namespace {

using testing_support::RunProgram;

using image_fixture::Sh;
using image_fixture::VmDisks;

// Long reads of a child over its backing file, every byte compared with
// the raw disk: what libqcow 20201213 gets wrong (a read of over 128 KiB
// that spans a cluster the child does not hold, the zero clusters qemu-img
// writes to mask the backing file, any read of a version 1 child that
// holds a cluster), and VMDK's delta.
TEST_F(VmDisks, LongReadsThroughABackingFileAreExact) {
  Sh("cd '" + dir_ + "' && qemu-img convert -O qcow2 before.img base.qcow2 && "
     "qemu-img convert -O qcow2 -B base.qcow2 -F qcow2 after.img child.qcow2 && "
     "qemu-img convert -O qcow before.img base.qcow && qemu-img create -q -f qcow -b base.qcow -F qcow child.qcow && "
     "qemu-img convert -O vmdk before.img base.vmdk && qemu-img create -q -f vmdk -b base.vmdk -F vmdk child.vmdk");
  Install("child.qcow", "qcow");
  Install("child.vmdk", "vmdk");
  std::string raw = testing_support::ReadFile(Path("after.img"));
  struct Case {
    const char* child;
    const char* base;
    diskimage::Container format;
  } cases[] = {
      {"child.qcow2", "base.qcow2", diskimage::Container::kQcow2},
      {"child.qcow", "base.qcow", diskimage::Container::kQcow},
      {"child.vmdk", "base.vmdk", diskimage::Container::kVmdk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.child);
    diskimage::Chain chain(diskimage::LibraryDisk);
    std::string error;
    std::unique_ptr<diskimage::Disk> disk = diskimage::OpenChain(Path(c.child), c.format, chain, &error);
    ASSERT_NE(disk, nullptr) << error;
    EXPECT_EQ(chain.files(), (std::vector<std::string>{Path(c.child), Path(c.base)}));
    ASSERT_GE(disk->Size(), raw.size());
    std::string read(raw.size(), '\0');
    for (std::size_t at = 0; at < raw.size(); at += 1 << 20) {
      ASSERT_EQ(disk->Read(at, read.data() + at, 1 << 20, &error), 1 << 20) << error;
    }
    auto differs = std::mismatch(read.begin(), read.end(), raw.begin());
    EXPECT_EQ(differs.first, read.end()) << "first difference at byte " << (differs.first - read.begin());
  }
}

// Where in bytes a raw deflate stream begins that inflates to want; the
// size of bytes where none does.
std::size_t DeflatedAt(const std::string& bytes, const std::string& want) {
  std::string out(want.size(), '\0');
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) break;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + at));
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(bytes.size() - at, 2 * want.size()));
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&z, Z_FINISH);
    bool whole = (rc == Z_STREAM_END || rc == Z_BUF_ERROR) && z.avail_out == 0;
    inflateEnd(&z);
    if (whole && out == want) return at;
  }
  return bytes.size();
}

// Containers that cannot be read, each as it comes to be: a chain that
// loops or whose parent is gone, encryption, zstd, cut tables and blocks,
// stale parents, snapshot tables that claim too much, a compressed cluster
// that does not inflate (at *zipAt).
void MakeUnreadable(const std::string& dir, std::uint64_t* zipAt) {
  auto Path = [&](const std::string& name) { return dir + "/" + name; };
  Sh("cd '" + dir + "' && qemu-img convert -O qcow2 before.img base.qcow2 && "
     "qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 gone.qcow2 && rm base.qcow2 && "
     "qemu-img create -q -f qcow2 loop.qcow2 48M && qemu-img rebase -q -u -b loop.qcow2 -F qcow2 loop.qcow2 && "
     // The encryption method's field (u32 at 32) set as qemu-img sets it,
     // without the key derivation's seconds of work.
     "qemu-img create -q -f qcow2 luks.qcow2 48M && printf '\\0\\0\\0\\2' | dd of=luks.qcow2 bs=1 seek=32 "
     "conv=notrunc 2>/dev/null && cp luks.qcow2 aes.qcow2 && printf '\\1' | dd of=aes.qcow2 bs=1 seek=35 "
     "conv=notrunc 2>/dev/null && "
     "qemu-img create -q -f qcow2 -o compression_type=zstd zstd.qcow2 48M && "
     "qemu-img convert -O vdi before.img cut.vdi && truncate -s 1M cut.vdi && "
     "qemu-img convert -O vdi after.img orphan-base.vdi && "
     "qemu-img convert -O vhdx before.img whole.vhdx && head -c 200000 whole.vhdx > cut.vhdx && "
     // A delta over a base since made again (another CID), and one over none.
     "qemu-img convert -O vmdk before.img remade.vmdk && "
     "qemu-img create -q -f vmdk -b remade.vmdk -F vmdk stale.vmdk && rm remade.vmdk && "
     "qemu-img convert -O vmdk after.img remade.vmdk && cp stale.vmdk orphan.vmdk && "
     "sed -i 's/remade.vmdk/absent.vmdk/' orphan.vmdk && "
     // A snapshot table claiming a billion entries, and one past the file's end.
     "qemu-img create -q -f qcow2 many.qcow2 48M && qemu-img snapshot -c s many.qcow2 && cp many.qcow2 past.qcow2 && "
     "printf '\\073\\232\\312\\0' | dd of=many.qcow2 bs=1 seek=60 conv=notrunc 2>/dev/null && "
     "printf '\\1\\0\\0\\0' | dd of=past.qcow2 bs=1 seek=68 conv=notrunc 2>/dev/null && "
     // A backing file cut short after its tables, before its data.
     "qemu-img convert -O qcow2 before.img cutbase.qcow2 && "
     "qemu-img create -q -f qcow2 -b cutbase.qcow2 -F qcow2 overcut.qcow2 && truncate -s 400000 cutbase.qcow2 && "
     // A VHD block table claiming a billion entries (u32 at 28 of the header at 512).
     "qemu-img convert -O vpc before.img huge.vhd && "
     "printf '\\073\\232\\312\\0' | dd of=huge.vhd bs=1 seek=540 conv=notrunc 2>/dev/null");
  testing_support::WriteFile(Path("orphan.vdi"), vm_images::DifferencingVdi(testing_support::ReadFile(Path("orphan-base.vdi")),
                                                                            testing_support::ReadFile(Path("before.img")), 7));
  std::filesystem::remove(Path("orphan-base.vdi"));
  // A compressed cluster whose bytes no longer inflate: the first one, of
  // the boot sector, found in qemu-img's bytes as the stream that inflates
  // to the disk's first 64 KiB, whatever the tables say of it.
  Sh("cd '" + dir + "' && qemu-img convert -c -O qcow2 before.img badzip.qcow2");
  std::string zipped = testing_support::ReadFile(Path("badzip.qcow2"));
  *zipAt = DeflatedAt(zipped, testing_support::ReadFile(Path("before.img")).substr(0, 65536));
  ASSERT_NE(*zipAt, zipped.size()) << "no stream in the image inflates to the boot cluster";
  zipped.replace(*zipAt, 16, 16, '\xFF');
  testing_support::WriteFile(Path("badzip.qcow2"), zipped);
  // A differencing VHD over a parent since made again: another identifier.
  Sh("cd '" + dir + "' && qemu-img convert -O vpc before.img again.vhd");
  testing_support::WriteFile(Path("stale.vhd"), vm_images::DifferencingVhd(testing_support::ReadFile(Path("again.vhd")),
                                                                            testing_support::ReadFile(Path("before.img")),
                                                                            testing_support::ReadFile(Path("after.img")),
                                                                            "again.vhd", 9));
  Sh("cd '" + dir + "' && qemu-img convert -O vpc after.img again.vhd");
}

TEST_F(VmDisks, UnreadableContainersAreRefusedByName) {
  std::uint64_t zipAt = 0;
  MakeUnreadable(dir_, &zipAt);
  if (HasFatalFailure()) return;
  struct Case {
    std::string image;
    std::string err;  // after "kormald: "
  } cases[] = {
      {"gone.qcow2", Path("gone.qcow2") + ": its backing file base.qcow2 is missing (looked for at " + Path("base.qcow2") + ")"},
      {"loop.qcow2", Path("loop.qcow2") + ": its chain of parents loops back to " + Path("loop.qcow2")},
      {"luks.qcow2", Path("luks.qcow2") + ": encrypted (LUKS); encrypted images are not read"},
      {"aes.qcow2", Path("aes.qcow2") + ": encrypted (AES); encrypted images are not read"},
      {"zstd.qcow2", Path("zstd.qcow2") + ": its clusters are compressed with zstd, which is not read here (zlib is)"},
      {"cut.vdi", Path("cut.vdi") + ": VDI block "},
      {"orphan.vdi", Path("orphan.vdi") + ": a differencing VDI whose parent {"},
      {"cut.vhdx", Path("cut.vhdx") + ": cannot be read as a VHDX image: "},
      {"stale.vmdk", Path("stale.vmdk") + ": its parent " + Path("remade.vmdk") + " is not the parent it was made from (its CID is "},
      {"orphan.vmdk", Path("orphan.vmdk") + ": its parent absent.vmdk is missing (looked for at " + Path("absent.vmdk") + ")"},
      {"stale.vhd", Path("stale.vhd") + ": its parent " + Path("again.vhd") + " is not the parent it was made from (its identifier differs)"},
      {"overcut.qcow2", Path("overcut.qcow2") + ": no FAT volume in the image's partitions (" + Path("cutbase.qcow2") +
       ": a data cluster at byte "},
      {"badzip.qcow2", Path("badzip.qcow2") + ": cannot be read: " + Path("badzip.qcow2") +
       ": the compressed cluster at byte " + std::to_string(zipAt) + " does not inflate to one cluster"},
      {"huge.vhd", Path("huge.vhd") + ": its VHD block table (1000000000 entries at byte 1536) runs past the file's end"},
      {"many.qcow2#snapshot=s", Path("many.qcow2") + ": its snapshot table claims 1000000000 snapshots (QEMU writes 65536 at most)"},
      {"past.qcow2#snapshot=s", Path("past.qcow2") + ": its snapshot table (at byte 16777216) runs past the file's end in entry 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    auto result = Kormald(Path(c.image));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, 9 + c.err.size()), "kormald: " + c.err) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    // A listing says what it cannot read as a read does.
    if (c.image.ends_with("#snapshot=s")) {
      auto listed = RunProgram(REGWALK_BINARY, {"--list-images", Path(c.image.substr(0, c.image.find('#')))});
      EXPECT_EQ(listed.status, 1);
      EXPECT_EQ(listed.err.substr(0, 9 + c.err.size()), "regwalk: " + c.err) << listed.err;
    }
  }
}

}  // namespace
