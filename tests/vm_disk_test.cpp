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
#include "testkit/vm_disks_fixture.h"
#include "testkit/test_support.h"
#include "testkit/vm_images.h"
#include "tools/registry_cli.h"

namespace {

using testing_support::RunProgram;

using image_fixture::Sh;
using image_fixture::VmDisks;

// Where in the hive's first data block a damage is one of a key's record.
constexpr std::size_t kDamageAt = 64;

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

// A differencing VHD as Virtual PC writes one, where the test kit's other
// children are simpler: its parent named by a relative Windows locator
// alone, and each block partly its own, partly the parent's, sector by
// sector as its bitmap says (the sectors it does not mark hold 'G').
TEST_F(VmDisks, ADifferencingVhdByItsLocatorSectorBySector) {
  Sh("cd '" + dir_ + "' && qemu-img convert -O vpc before.img base.vhd");
  std::string before = testing_support::ReadFile(Path("before.img")), after = testing_support::ReadFile(Path("after.img"));
  std::string child = vm_images::DifferencingVhd(testing_support::ReadFile(Path("base.vhd")), before, after, "", 0x43,
                                                 /*changedOnly=*/true, ".\\base.vhd");
  ASSERT_FALSE(child.empty());
  ASSERT_NE(child.find(std::string(512, 'G')), std::string::npos) << "no block is partly the parent's";
  testing_support::WriteFile(Path("sectors.vhd"), child);
  ExpectListing(Path("sectors.vhd"), "After the driver");
  diskimage::Chain chain;
  std::string error;
  std::unique_ptr<diskimage::Disk> disk = diskimage::OpenChain(Path("sectors.vhd"), diskimage::Container::kVhd, chain, &error);
  ASSERT_NE(disk, nullptr) << error;
  EXPECT_EQ(chain.files(), (std::vector<std::string>{Path("sectors.vhd"), Path("base.vhd")}));
  std::string read(after.size(), '\0');
  for (std::size_t at = 0; at < after.size(); at += 1 << 20) {
    ASSERT_EQ(disk->Read(at, read.data() + at, 1 << 20, &error), 1 << 20) << error;
  }
  EXPECT_TRUE(read == after) << "the disk differs from the raw disk after the install";
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
class SavedStates : public VmDisks {
 protected:
  void SetUp() override {
    VmDisks::SetUp();
    if (IsSkipped()) return;
    Sh("cd '" + dir_ + "' && qemu-img convert -O qcow2 before.img win98.qcow2 && "
       "qemu-img snapshot -c before win98.qcow2 && mkdir vbox vmware vbox/Snapshots && "
       "qemu-img convert -O vdi before.img vbox/Win98.vdi && qemu-img convert -O vmdk before.img vmware/Win98.vmdk && "
       "qemu-img create -q -f vmdk -b Win98.vmdk -F vmdk vmware/Win98-000001.vmdk");
    Install("win98.qcow2", "qcow2");
    Install("vmware/Win98-000001.vmdk", "vmdk");
    base_ = testing_support::ReadFile(Path("vbox/Win98.vdi"));
    std::string child = vm_images::DifferencingVdi(base_, testing_support::ReadFile(Path("after.img")), 0x51);
    childUuid_ = VdiUuid(child);
    testing_support::WriteFile(Path("vbox/Snapshots/" + childUuid_ + ".vdi"), child);
    testing_support::WriteFile(Path("vbox/Win98.vbox"), Vbox(VdiUuid(base_), childUuid_, ""));
    testing_support::WriteFile(Path("vbox/Old.vbox"), Vbox(VdiUuid(base_), childUuid_, "in Hardware"));
    // A machine copied from Windows, its media where that machine kept them.
    std::string moved = Vbox(VdiUuid(base_), childUuid_, "");
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
  }
  std::string base_;       // the base VDI's bytes
  std::string childUuid_;  // the differencing VDI's UUID
};

// Each state reads as its raw disk would, by the state's name or its ID,
// and the diff of the two is the diff of the two hives.
TEST_F(SavedStates, AreReadByNameOrId) {
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
}

// A machine's listing: its file, the chain of its current disk, its
// snapshots; a snapshot's, the chain of that state's disk.
TEST_F(SavedStates, AreListedWithTheirChains) {
  std::string machine = Path("vbox/Win98.vbox");
  std::string tail = "partition\t1\t1\t0x0c\t49283072\tC:\nwindows\t1\t1\tC:\\\\WINDOWS\t" + machine;
  std::string snapshotLine = "snapshot\t{0aa1e0a8-3c1d-4c55-9d7e-6a3b7f00c0de}\tBefore driver\t" + machine +
                             "#snapshot=Before driver\n";
  auto now = RunProgram(REGWALK_BINARY, {"--list-images", machine});
  EXPECT_EQ(now.out, "file\t0\t" + machine + "\tVirtualBox machine\nfile\t1\t" + Path("vbox/Snapshots/" + childUuid_ + ".vdi") +
                         "\tVDI\nfile\t1\t" + Path("vbox/Win98.vdi") + "\tVDI\n" + snapshotLine + tail + "#part=1\n");
  auto then = RunProgram(REGWALK_BINARY, {"--list-images", machine + "#snapshot=Before driver"});
  EXPECT_EQ(then.out, "file\t0\t" + machine + "\tVirtualBox machine\nfile\t1\t" + Path("vbox/Win98.vdi") + "\tVDI\n" +
                          snapshotLine + tail + "#snapshot=Before driver&part=1\n");
}

// What cannot be chosen, or read, is said with the choices there are.
TEST_F(SavedStates, WhatCannotBeChosenIsSaid) {
  const std::string machine = Path("vbox/Win98.vbox");
  std::string vbox = testing_support::ReadFile(Path("vbox/Win98.vbox"));
  testing_support::WriteFile(Path("vbox/Dtd.vbox"), "<?xml version=\"1.0\"?>\n<!DOCTYPE v [<!ENTITY a \"aaaa\">]>\n" +
                                                        vbox.substr(vbox.find("<VirtualBox")));
  testing_support::WriteFile(Path("vbox/Cut.vbox"), vbox.substr(0, vbox.find("</Machine>")));
  std::string stray = vbox;
  stray.replace(stray.find(childUuid_, stray.find("</MediaRegistry>")), childUuid_.size(), "{1234}");
  testing_support::WriteFile(Path("vbox/Stray.vbox"), stray);
  Sh("cd '" + dir_ + "' && qemu-img convert -O vdi after.img vbox/Other.vdi");
  std::string swapped = vbox;
  swapped.replace(swapped.find("\"Win98.vdi\""), 11, "\"Other.vdi\"");
  testing_support::WriteFile(Path("vbox/Swapped.vbox"), swapped);
  testing_support::WriteFile(Path("vmware/Empty.vmx"), "config.version = \"8\"\nide0:0.present = \"FALSE\"\n"
                                                       "ide0:0.fileName = \"Win98.vmdk\"\n");
  std::string vdiParent = Path("vbox/Snapshots/" + childUuid_ + ".vdi");
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
      {Path("vbox/Swapped.vbox"), Path("vbox/Snapshots/" + childUuid_ + ".vdi") + ": its parent " + VdiUuid(base_) +
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

}  // namespace
