// VM disks as sources: each container format qemu-img writes, and the
// chains a snapshot leaves (a qcow2 over its backing file, a differencing
// VDI over its base), give exactly what the raw disk gives; a damaged or
// unreadable container, a missing parent and a loop are refused by name.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "diskimage/chain.h"
#include "imagemodule/library_disks.h"
#include "diskimage/qcow.h"
#include "diskimage/vdi.h"
#include "testkit/hive_writer.h"
#include "testkit/image_fixture.h"
#include "testkit/test_support.h"
#include "testkit/vm_images.h"
#include "tools/registry_cli.h"

namespace {

using testing_support::RunProgram;

using image_fixture::Hash;
using image_fixture::Row;
using image_fixture::Sh;
using image_fixture::SmallHive;


// Where in the hive's first data block a damage is one of a key's record.
constexpr std::size_t kDamageAt = 64;

class VmDisks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image_fixture::HaveTools("sfdisk mkfs.fat mcopy qemu-img qemu-io")) {
      GTEST_SKIP() << "the image tools are not installed";
    }
    dir_ = testing_support::ScratchDir();
    std::string before = testing_support::WriteFile(dir_ + "/before.dat", SmallHive("Before the driver"));
    std::string after = testing_support::WriteFile(dir_ + "/after.dat", SmallHive("After the driver"));
    // The disk before a driver's install and after it: the same disk, but
    // for the clusters of the registry the install rewrote.
    Sh("cd '" + dir_ + "' && truncate -s 48M before.img && printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk -q "
       "before.img && mkfs.fat -F 32 --offset 2048 before.img 47104 >/dev/null 2>&1 && mmd -i before.img@@1M ::/WINDOWS"
       " && mcopy -i before.img@@1M before.dat ::/WINDOWS/SYSTEM.DAT && cp before.img after.img && "
       "mcopy -o -i after.img@@1M after.dat ::/WINDOWS/SYSTEM.DAT");
  }

  testing_support::RunResult Kormald(const std::string& source) {
    std::string image = source.substr(0, source.find('#'));
    std::string before = Hash(image);
    auto result = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, source}});
    EXPECT_EQ(Hash(image), before) << "the image changed";
    return result;
  }
  void ExpectListing(const std::string& source, const std::string& description) {
    auto result = Kormald(source);
    EXPECT_EQ(result.status, 0) << source << ": " << result.err;
    EXPECT_EQ(result.out, Row(description)) << source;
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // Writes what the install changed into image, whose disk reads as before.
  void Install(const std::string& image, const std::string& format) {
    std::vector<std::string> args = {"-f", format};
    for (std::string& c : vm_images::WriteChanges(testing_support::ReadFile(Path("before.img")),
                                                  testing_support::ReadFile(Path("after.img")), dir_)) {
      args.push_back(std::move(c));
    }
    args.push_back(Path(image));
    ASSERT_GT(args.size(), 3u);
    auto result = RunProgram("/usr/bin/qemu-io", args);
    ASSERT_EQ(result.status, 0) << result.err;
  }

  std::string dir_;
};

TEST_F(VmDisks, EachFormatIsReadDirectly) {
  for (const char* convert : {"-O vdi", "-O vdi -o static=on", "-O qcow2", "-O qcow2 -c", "-O qcow2 -o compat=0.10",
                              "-O qcow", "-O vpc", "-O vhdx",
                              "-O vpc -o subformat=fixed", "-O vmdk", "-O vmdk -o subformat=monolithicFlat",
                              "-O vmdk -o subformat=streamOptimized"}) {
    std::string image = Path("disk" + std::to_string(std::hash<std::string>{}(convert) % 1000));
    Sh("qemu-img convert " + std::string(convert) + " '" + Path("before.img") + "' '" + image + "'");
    SCOPED_TRACE(convert);
    ExpectListing(image, "Before the driver");
  }
  // A VDI of the header VirtualBox wrote before version 1.1.
  Sh("qemu-img convert -O vdi '" + Path("before.img") + "' '" + Path("new.vdi") + "'");
  std::string old = vm_images::VdiVersion1_0(testing_support::ReadFile(Path("new.vdi")));
  ASSERT_FALSE(old.empty());
  ExpectListing(testing_support::WriteFile(Path("old.vdi"), old), "Before the driver");
  // A qcow2 image over a raw disk, as qemu-img create -b makes one.
  Sh("cd '" + dir_ + "' && qemu-img create -q -f qcow2 -b before.img -F raw onraw.qcow2");
  ExpectListing(Path("onraw.qcow2"), "Before the driver");
}

// The state after the install, held as a snapshot's child over the state
// before: the child alone reads as the raw disk after, its base as the
// disk before, and a diff of the two is the diff of the two hives.
TEST_F(VmDisks, ChainsAreReadToTheirBase) {
  Sh("cd '" + dir_ + "' && qemu-img convert -O qcow2 before.img base.qcow2 && "
     "qemu-img convert -O qcow2 -B base.qcow2 -F qcow2 after.img child.qcow2");
  Sh("cd '" + dir_ + "' && qemu-img convert -O vdi before.img base.vdi && mkdir Snapshots && "
     "qemu-img convert -O vmdk before.img base.vmdk && qemu-img create -q -f vmdk -b base.vmdk -F vmdk child.vmdk");
  Install("child.vmdk", "vmdk");
  Sh("cd '" + dir_ + "' && qemu-img convert -O vpc before.img base.vhd");
  std::string vhdChild = vm_images::DifferencingVhd(testing_support::ReadFile(Path("base.vhd")),
                                                    testing_support::ReadFile(Path("before.img")),
                                                    testing_support::ReadFile(Path("after.img")), "base.vhd", 0x42);
  ASSERT_FALSE(vhdChild.empty());
  testing_support::WriteFile(Path("child.vhd"), vhdChild);
  std::string vdiChild = vm_images::DifferencingVdi(testing_support::ReadFile(Path("base.vdi")),
                                                    testing_support::ReadFile(Path("after.img")), 0x42);
  ASSERT_FALSE(vdiChild.empty());
  testing_support::WriteFile(Path("Snapshots/child.vdi"), vdiChild);
  // The children hold only what changed.
  EXPECT_LT(std::filesystem::file_size(Path("child.qcow2")), 4u << 20);
  EXPECT_LT(vdiChild.size(), 4u << 20);
  EXPECT_LT(std::filesystem::file_size(Path("child.vmdk")), 4u << 20);
  EXPECT_LT(vhdChild.size(), 8u << 20);
  auto hives = RunProgram(REGWALK_BINARY, {"--diff", Path("before.dat"), Path("after.dat"), "HKLM\\**"});
  ASSERT_EQ(hives.status, 4) << hives.err;
  for (const auto& [base, child] : {std::pair{Path("base.qcow2"), Path("child.qcow2")},
                                    std::pair{Path("base.vdi"), Path("Snapshots/child.vdi")},
                                    std::pair{Path("base.vmdk"), Path("child.vmdk")},
                                    std::pair{Path("base.vhd"), Path("child.vhd")}}) {
    SCOPED_TRACE(child);
    ExpectListing(child, "After the driver");
    ExpectListing(base, "Before the driver");
    auto disks = RunProgram(REGWALK_BINARY, {"--diff", base, child, "HKLM\\**"});
    EXPECT_EQ(disks.status, 4) << disks.err;
    EXPECT_EQ(disks.out, hives.out);
  }
}

// The UUID a VDI's header gives itself, as a .vbox writes it.
std::string VdiUuid(const std::string& bytes) {
  diskimage::VdiHeader header;
  std::string error;
  EXPECT_TRUE(diskimage::ParseVdiHeader(bytes, bytes.size(), &header, &error)) << error;
  return "{" + diskimage::UuidText(header.uuid) + "}";
}

// A .vbox as VirtualBox 6 writes one: the base in the machine's folder,
// the differencing image the machine runs on in Snapshots, and the
// snapshot taken before the install attaching the base.
std::string Vbox(const std::string& base, const std::string& child, const std::string& hardware) {
  std::string attach = "<StorageControllers><StorageController name=\"IDE\" type=\"PIIX4\">"
                       "<AttachedDevice type=\"DVD\" port=\"1\" device=\"0\"/>"
                       "<AttachedDevice type=\"HardDisk\" port=\"0\" device=\"0\"><Image uuid=\"@\"/></AttachedDevice>"
                       "</StorageController></StorageControllers>";
  auto state = [&](const std::string& uuid) {
    std::string text = attach;
    text.replace(text.find('@'), 1, uuid);
    return hardware.empty() ? text : "<Hardware>" + text + "</Hardware>";
  };
  return "<?xml version=\"1.0\"?>\n<!--\n** DO NOT EDIT THIS FILE.\n-->\n"
         "<VirtualBox xmlns=\"http://www.virtualbox.org/\" version=\"1.16-linux\">\n"
         "<Machine uuid=\"{5f4c0d4e-0000-4000-8000-000000000001}\" name=\"Win98\" currentSnapshot=\"{0aa1}\">"
         "<MediaRegistry><HardDisks><HardDisk uuid=\"" + base + "\" location=\"Win98.vdi\" format=\"VDI\">"
         "<HardDisk uuid=\"" + child + "\" location=\"Snapshots/" + child + ".vdi\" format=\"VDI\"/>"
         "</HardDisk></HardDisks></MediaRegistry>" +
         state(child) + "<Snapshot uuid=\"{0aa1e0a8-3c1d-4c55-9d7e-6a3b7f00c0de}\" name=\"Before driver\">" + state(base) +
         "</Snapshot></Machine>\n</VirtualBox>\n";
}

// A driver's install between two saved states of one machine, as each VM
// keeps them: a qcow2 image's internal snapshot, a VirtualBox machine's
// snapshot over a differencing VDI, a VMware machine's over a delta VMDK.
// Each state reads as its raw disk would, by the state's name or its ID,
// and the diff of the two is the diff of the two hives.
TEST_F(VmDisks, SavedStatesAreReadByName) {
  Sh("cd '" + dir_ + "' && qemu-img convert -O qcow2 before.img win98.qcow2 && "
     "qemu-img snapshot -c before win98.qcow2 && mkdir vbox vmware vbox/Snapshots && "
     "qemu-img convert -O vdi before.img vbox/Win98.vdi && qemu-img convert -O vmdk before.img vmware/Win98.vmdk && "
     "qemu-img create -q -f vmdk -b Win98.vmdk -F vmdk vmware/Win98-000001.vmdk");
  Install("win98.qcow2", "qcow2");
  Install("vmware/Win98-000001.vmdk", "vmdk");
  std::string base = testing_support::ReadFile(Path("vbox/Win98.vdi"));
  std::string child = vm_images::DifferencingVdi(base, testing_support::ReadFile(Path("after.img")), 0x51);
  std::string childUuid = VdiUuid(child);
  testing_support::WriteFile(Path("vbox/Snapshots/" + childUuid + ".vdi"), child);
  testing_support::WriteFile(Path("vbox/Win98.vbox"), Vbox(VdiUuid(base), childUuid, ""));
  testing_support::WriteFile(Path("vbox/Old.vbox"), Vbox(VdiUuid(base), childUuid, "in Hardware"));
  // A machine copied from Windows, its media where that machine kept them.
  std::string moved = Vbox(VdiUuid(base), childUuid, "");
  for (std::string at : {"\"Win98.vdi\"", "\"Snapshots/"}) {
    moved.replace(moved.find(at), 1, "\"C:\\Users\\me\\VirtualBox VMs\\Win98\\");
  }
  testing_support::WriteFile(Path("vbox/Moved.vbox"), moved);
  testing_support::WriteFile(Path("vmware/Win98.vmx"), ".encoding = \"UTF-8\"\nconfig.version = \"8\"\n"
                             "virtualHW.version = \"4\"\nide0:0.present = \"TRUE\"\nide0:0.fileName = \"Win98-000001.vmdk\"\n"
                             "ide1:0.present = \"TRUE\"\nide1:0.deviceType = \"cdrom-image\"\nide1:0.fileName = \"w98.iso\"\n");
  testing_support::WriteFile(Path("vmware/Win98.vmsd"), ".encoding = \"UTF-8\"\nsnapshot.lastUID = \"1\"\n"
                             "snapshot0.uid = \"1\"\nsnapshot0.displayName = \"Before driver\"\nsnapshot0.numDisks = \"1\"\n"
                             "snapshot0.disk0.fileName = \"Win98.vmdk\"\nsnapshot0.disk0.node = \"ide0:0\"\n");
  auto hives = RunProgram(REGWALK_BINARY, {"--diff", Path("before.dat"), Path("after.dat"), "HKLM\\**"});
  ASSERT_EQ(hives.status, 4) << hives.err;
  struct Case {
    std::string machine;
    std::string before;  // the selector of the state before
  } cases[] = {
      {Path("win98.qcow2"), "#snapshot=before"},
      {Path("win98.qcow2"), "#snapshot=1"},
      {Path("vbox/Win98.vbox"), "#snapshot=Before driver"},
      {Path("vbox/Old.vbox"), "#SNAPSHOT={0AA1E0A8-3C1D-4C55-9D7E-6A3B7F00C0DE}&part=1"},
      {Path("vbox/Moved.vbox"), "#snapshot=Before driver"},
      {Path("vmware/Win98.vmx"), "#snapshot=Before driver&disk=1"},
      {Path("vmware/Win98.vmx"), "#snapshot=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine + c.before);
    ExpectListing(c.machine, "After the driver");
    ExpectListing(c.machine + c.before, "Before the driver");
    auto states = RunProgram(REGWALK_BINARY, {"--diff", c.machine + c.before, c.machine, "HKLM\\**"});
    EXPECT_EQ(states.status, 4) << states.err;
    EXPECT_EQ(states.out, hives.out);
  }

  // A machine's listing: its file, the chain of its current disk, its
  // snapshots; a snapshot's, the chain of that state's disk.
  std::string machine = Path("vbox/Win98.vbox");
  std::string tail = "partition\t1\t1\t0x0c\t49283072\tC:\nwindows\t1\t1\tC:\\\\WINDOWS\t" + machine;
  std::string snapshotLine = "snapshot\t{0aa1e0a8-3c1d-4c55-9d7e-6a3b7f00c0de}\tBefore driver\t" + machine +
                             "#snapshot=Before driver\n";
  auto now = RunProgram(REGWALK_BINARY, {"--list-images", machine});
  EXPECT_EQ(now.out, "file\t0\t" + machine + "\tVirtualBox machine\nfile\t1\t" + Path("vbox/Snapshots/" + childUuid + ".vdi") +
                         "\tVDI\nfile\t1\t" + Path("vbox/Win98.vdi") + "\tVDI\n" + snapshotLine + tail + "#part=1\n");
  auto then = RunProgram(REGWALK_BINARY, {"--list-images", machine + "#snapshot=Before driver"});
  EXPECT_EQ(then.out, "file\t0\t" + machine + "\tVirtualBox machine\nfile\t1\t" + Path("vbox/Win98.vdi") + "\tVDI\n" +
                          snapshotLine + tail + "#snapshot=Before driver&part=1\n");

  // What cannot be chosen, or read, is said with the choices there are.
  std::string vbox = testing_support::ReadFile(Path("vbox/Win98.vbox"));
  testing_support::WriteFile(Path("vbox/Dtd.vbox"), "<?xml version=\"1.0\"?>\n<!DOCTYPE v [<!ENTITY a \"aaaa\">]>\n" +
                                                        vbox.substr(vbox.find("<VirtualBox")));
  testing_support::WriteFile(Path("vbox/Cut.vbox"), vbox.substr(0, vbox.find("</Machine>")));
  std::string stray = vbox;
  stray.replace(stray.find(childUuid, stray.find("</MediaRegistry>")), childUuid.size(), "{1234}");
  testing_support::WriteFile(Path("vbox/Stray.vbox"), stray);
  Sh("cd '" + dir_ + "' && qemu-img convert -O vdi after.img vbox/Other.vdi");
  std::string swapped = vbox;
  swapped.replace(swapped.find("\"Win98.vdi\""), 11, "\"Other.vdi\"");
  testing_support::WriteFile(Path("vbox/Swapped.vbox"), swapped);
  testing_support::WriteFile(Path("vmware/Empty.vmx"), "config.version = \"8\"\nide0:0.present = \"FALSE\"\n"
                                                       "ide0:0.fileName = \"Win98.vmdk\"\n");
  std::string vdiParent = Path("vbox/Snapshots/" + childUuid + ".vdi");
  struct Refusal {
    std::string source;
    std::string err;  // after "kormald: "
  } refusals[] = {
      {Path("vbox/Win98.vbox") + "#snapshot=After", Path("vbox/Win98.vbox") + ": no snapshot is named 'After' or has that ID; its "
       "snapshots:\n  Before driver   (ID {0aa1e0a8-3c1d-4c55-9d7e-6a3b7f00c0de}; choose it with " + Path("vbox/Win98.vbox") +
       "#snapshot=Before driver)"},
      {Path("vmware/Win98.vmx") + "#snapshot=2", Path("vmware/Win98.vmx") + ": no snapshot is named '2' or has that ID; its "
       "snapshots:\n  Before driver   (ID 1; choose it with " + Path("vmware/Win98.vmx") + "#snapshot=Before driver)"},
      {Path("vbox/Win98.vdi") + "#snapshot=1", Path("vbox/Win98.vdi") + ": snapshot= chooses a saved state of a machine (its "
       ".vbox or .vmx) or of a qcow2 image, and this image holds none of its own"},
      {Path("vmware/Win98.vmx") + "#disk=2", Path("vmware/Win98.vmx") + ": disk 2 is none of the 1 hard disks of this state"},
      {Path("win98.qcow2") + "#disk=2", Path("win98.qcow2") + ": one disk, so disk= can only be 1"},
      {Path("vbox/Dtd.vbox"), Path("vbox/Dtd.vbox") + ": holds a document type declaration, which no VirtualBox machine file holds"},
      {Path("vbox/Cut.vbox"), Path("vbox/Cut.vbox") + ": is no XML that can be read: line "},
      {Path("vbox/Stray.vbox"), Path("vbox/Stray.vbox") + ": it attaches hard disk {1234}, which its MediaRegistry does not list"},
      {Path("vmware/Empty.vmx"), Path("vmware/Empty.vmx") + ": its current state has no hard disk"},
      {Path("vbox/Swapped.vbox"), Path("vbox/Snapshots/" + childUuid + ".vdi") + ": its parent " + VdiUuid(base) +
       ", which the machine places at " + Path("vbox/Other.vdi") + ", holds another image"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.source);
    auto result = Kormald(r.source);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, 9 + r.err.size()), "kormald: " + r.err) << result.err;
  }
  // The other commands take a machine's state wherever they take a source.
  for (std::vector<std::string> args : {std::vector<std::string>{"-f", machine + "#snapshot=Before driver", "HKLM\\System"},
                                        std::vector<std::string>{"-f", machine, "--deleted"}}) {
    auto other = RunProgram(REGWALK_BINARY, args);
    EXPECT_EQ(other.status, 0) << args[1] << ": " << other.err;
  }
  // A machine's disk that is gone is named, after its machine has moved.
  std::filesystem::rename(vdiParent, vdiParent + ".moved");
  auto gone = Kormald(Path("vbox/Win98.vbox"));
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "kormald: " + vdiParent + ": cannot be opened: No such file or directory\n");
}

// A machine's hard disks are searched as one disk's partitions are: a
// blank disk is passed over, and two Windows directories are offered to
// choose from, lettered as DOS letters them across disks.
TEST_F(VmDisks, AMachinesDisksAreSearchedTogether) {
  Sh("cd '" + dir_ + "' && truncate -s 8M blank.img");
  auto vmx = [&](const std::string& name, const std::string& first, const std::string& second) {
    return testing_support::WriteFile(Path(name), "config.version = \"8\"\nscsi0:0.present = \"TRUE\"\n"
                                      "scsi0:0.fileName = \"" + second + "\"\nide0:0.present = \"TRUE\"\n"
                                      "ide0:0.fileName = \"" + first + "\"\n");
  };
  std::string one = vmx("one.vmx", "blank.img", "before.img");
  std::string two = vmx("two.vmx", "before.img", "after.img");
  ExpectListing(one, "Before the driver");
  ExpectListing(two + "#disk=2", "After the driver");
  ExpectListing(two + "#disk=1&part=1", "Before the driver");
  auto both = Kormald(two);
  EXPECT_EQ(both.status, 1);
  EXPECT_EQ(both.err, "kormald: " + two + ": 2 Windows directories, and no MSDOS.SYS to choose between them:\n"
                      "  disk 1 partition 1 (C:): \\WINDOWS   (choose it with " + two + "#disk=1&part=1)\n"
                      "  disk 2 partition 1 (D:): \\WINDOWS   (choose it with " + two + "#disk=2&part=1)\n");
  // The listing names every disk and the selector of each Windows
  // directory, and each selector reads.
  auto listed = RunProgram(REGWALK_BINARY, {"--list-images", two});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, "file\t0\t" + two + "\tVMware machine\nfile\t1\t" + Path("before.img") + "\traw\nfile\t2\t" +
                            Path("after.img") + "\traw\npartition\t1\t1\t0x0c\t49283072\tC:\n"
                            "partition\t2\t1\t0x0c\t49283072\tD:\nwindows\t1\t1\tC:\\\\WINDOWS\t" + two +
                            "#disk=1&part=1\nwindows\t2\t1\tD:\\\\WINDOWS\t" + two + "#disk=2&part=1\n");
  for (std::size_t at = listed.out.find("windows\t"); at != std::string::npos; at = listed.out.find("windows\t", at + 1)) {
    std::string line = listed.out.substr(at, listed.out.find('\n', at) - at);
    EXPECT_EQ(Kormald(line.substr(line.rfind('\t') + 1)).status, 0) << line;
  }
  auto json = RunProgram(REGWALK_BINARY, {"--list-images", "--json", one});
  EXPECT_EQ(json.out.substr(json.out.find("{\"record\":\"partition\"")),
            "{\"record\":\"partition\",\"disk\":2,\"number\":1,\"type\":\"0x0c\",\"bytes\":49283072,\"letter\":\"C:\"}\n"
            "{\"record\":\"windows\",\"disk\":2,\"partition\":1,\"directory\":\"C:\\\\WINDOWS\",\"selector\":\"" + one +
            "#disk=2&part=1\"}\n");
  auto blank = Kormald(one + "#disk=1");
  EXPECT_EQ(blank.status, 1);
  EXPECT_EQ(blank.err.substr(0, 9 + one.size()), "kormald: " + one) << blank.err;
}

// A damaged cluster inside the hive is damage of that hive, in a VM disk
// as in the raw disk: the same rows and the same complaint, status 3.
TEST_F(VmDisks, DamageInsideTheHiveIsTheHives) {
  std::string raw = testing_support::ReadFile(Path("before.img"));
  std::size_t rgdb = raw.find("RGDB");
  ASSERT_NE(rgdb, std::string::npos);
  raw.replace(rgdb + kDamageAt, 8, 8, '\xFF');
  testing_support::WriteFile(Path("damaged.img"), raw);
  auto expected = Kormald(Path("damaged.img"));
  ASSERT_EQ(expected.status, 3) << expected.err;
  for (const char* format : {"qcow2", "vdi", "vmdk", "vhdx"}) {
    std::string image = Path(std::string("damaged.") + format);
    Sh("qemu-img convert -O " + std::string(format) + " '" + Path("damaged.img") + "' '" + image + "'");
    auto result = Kormald(image);
    EXPECT_EQ(result.status, 3) << format;
    EXPECT_EQ(result.out, expected.out) << format;
    std::string err = expected.err;
    err.replace(err.find(Path("damaged.img")), Path("damaged.img").size(), image);
    EXPECT_EQ(result.err, err);
  }
}

// Long reads of a child over its backing file, every byte compared with
// the raw disk: what libqcow 20201213 gets wrong (a read of over 128 KiB
// that spans a cluster the child does not hold, the zero clusters qemu-img
// writes to mask the backing file, any read of a version 1 child that
// holds a cluster), and libvmdk's delta.
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

TEST_F(VmDisks, UnreadableContainersAreRefusedByName) {
  Sh("cd '" + dir_ + "' && qemu-img convert -O qcow2 before.img base.qcow2 && "
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
  // the boot sector, found as the header and tables give it.
  Sh("cd '" + dir_ + "' && qemu-img convert -c -O qcow2 before.img badzip.qcow2");
  std::string zipped = testing_support::ReadFile(Path("badzip.qcow2"));
  diskimage::QcowHeader header;
  std::string why;
  ASSERT_TRUE(diskimage::ParseQcowHeader(zipped.substr(0, diskimage::kQcowHeadBytes), &header, &why)) << why;
  auto u64 = [&](std::uint64_t at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = value << 8 | static_cast<unsigned char>(zipped[at + static_cast<std::size_t>(i)]);
    return value;
  };
  std::uint64_t entry = u64(u64(header.l1At) & 0x00FFFFFFFFFFFE00);
  ASSERT_NE(entry & std::uint64_t{1} << 62, 0u);
  std::uint64_t zipAt = entry & ((std::uint64_t{1} << (62 - (header.clusterBits - 8))) - 1);
  zipped.replace(zipAt, 16, 16, '\xFF');
  testing_support::WriteFile(Path("badzip.qcow2"), zipped);
  // A differencing VHD over a parent since made again: another identifier.
  Sh("cd '" + dir_ + "' && qemu-img convert -O vpc before.img again.vhd");
  testing_support::WriteFile(Path("stale.vhd"), vm_images::DifferencingVhd(testing_support::ReadFile(Path("again.vhd")),
                                                                            testing_support::ReadFile(Path("before.img")),
                                                                            testing_support::ReadFile(Path("after.img")),
                                                                            "again.vhd", 9));
  Sh("cd '" + dir_ + "' && qemu-img convert -O vpc after.img again.vhd");
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
