// What diskimage/ parses of outside bytes, as tables: selectors,
// MSDOS.SYS, DOS drive letters, EWF segment names and FAT directory
// entries. Built and run on every platform, image module or not.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "diskimage/ewf.h"
#include "diskimage/formats.h"
#include "diskimage/image.h"
#include "diskimage/machine.h"
#include "diskimage/qcow.h"

#include "diskimage/layout/vhd.h"
#include "diskimage/vdi.h"
#include "diskimage/vhd.h"

namespace {

using diskimage::ImageSelector;

TEST(ImageSelector, Table) {
  struct Row {
    const char* entry;
    const char* image;
    int partition;
    const char* path;
    const char* cab;
    const char* error;  // after "ENTRY: "; null where it parses
    const char* snapshot = "";
    int disk = -1;
    const char* snapshotId = "";
  } rows[] = {
      {"disk.img", "disk.img", -1, "", "", nullptr},
      {"disk.img#", "disk.img", -1, "", "", nullptr},
      {"disk.img#part=2", "disk.img", 2, "", "", nullptr},
      {"disk.img#PART=2&Path=\\WIN98", "disk.img", 2, "\\WIN98", "", nullptr},  // keys in any letter case
      {"disk.img#part=0&path=\\WIN98", "disk.img", 0, "\\WIN98", "", nullptr},
      {"d.img#path=\\W\\SYSBCKUP\\RB000.CAB&cab=SYSTEM.DAT", "d.img", -1, "\\W\\SYSBCKUP\\RB000.CAB", "SYSTEM.DAT",
       nullptr},
      {"a#b.img#part=1", "a#b.img", 1, "", "", nullptr},  // the first '#' that begins a selector
      {"d.img#path=\\WIN#98\\SYSTEM.DAT", "d.img", -1, "\\WIN#98\\SYSTEM.DAT", "", nullptr},
      {"a#b.img#path=\\W#1&part=2", "a#b.img", 2, "\\W#1", "", nullptr},
      {"disk.img#part=x", nullptr, 0, nullptr, nullptr, "part= takes a partition number, found 'x'"},
      {"disk.img#part=1234", nullptr, 0, nullptr, nullptr, "part= takes a partition number, found '1234'"},
      {"disk.img#part=1&part=2", nullptr, 0, nullptr, nullptr, "part= is given twice"},
      {"disk.img#size=3", nullptr, 0, nullptr, nullptr, "unknown selector 'size' (part, path, cab, snapshot, snapshot-id or disk)"},
      {"disk.img#part", nullptr, 0, nullptr, nullptr, "expected part=N, path=..., cab=..., snapshot=..., snapshot-id=... or disk=N after '#', found 'part'"},
      {"disk.img#path=", nullptr, 0, nullptr, nullptr, "expected part=N, path=..., cab=..., snapshot=..., snapshot-id=... or disk=N after '#', found 'path='"},
      {"RB000.CAB#cab=SYSTEM.DAT", "RB000.CAB", -1, "", "SYSTEM.DAT", nullptr},  // a cabinet of its own
      // A saved state by a name with spaces and '=', then a disk of several.
      {"W.vbox#snapshot=Before driver=1&disk=2&part=1", "W.vbox", 1, "", "", nullptr, "Before driver=1", 2},
      {"w.qcow2#Snapshot=1", "w.qcow2", -1, "", "", nullptr, "1"},
      {"W.vmx#disk=0", nullptr, 0, nullptr, nullptr, "disk= takes a disk number, found '0'"},
      {"W.vmx#disk=2&DISK=3", nullptr, 0, nullptr, nullptr, "DISK= is given twice"},
      {"W.vmx#snapshot=a&snapshot=b", nullptr, 0, nullptr, nullptr, "snapshot= is given twice"},
      // %XX is the byte XX; a '%' before anything else is itself.
      {"w.qcow2#snapshot=driver %26 reboot", "w.qcow2", -1, "", "", nullptr, "driver & reboot"},
      {"d.img#path=\\A%3dB%23C%25%41&cab=x%0A", "d.img", -1, "\\A=B#C%A", "x\n", nullptr},
      {"d.img#path=\\100%&cab=%zz%4", "d.img", -1, "\\100%", "%zz%4", nullptr},
      {"d.img#part=%31", "d.img", 1, "", "", nullptr},
      {"w.qcow2#snapshot-id=2", "w.qcow2", -1, "", "", nullptr, "", -1, "2"},
      {"w.qcow2#SNAPSHOT-ID=2&snapshot-id=3", nullptr, 0, nullptr, nullptr, "snapshot-id= is given twice"},
      {"w.qcow2#snapshot=a&snapshot-id=2", nullptr, 0, nullptr, nullptr,
       "snapshot= and snapshot-id= both choose the state: give one"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.entry);
    ImageSelector selector;
    std::string error;
    bool parsed = diskimage::ParseImageSelector(row.entry, &selector, &error);
    ASSERT_EQ(parsed, row.error == nullptr) << error;
    if (!parsed) {
      EXPECT_EQ(error, std::string(row.entry) + ": " + row.error);
      continue;
    }
    EXPECT_EQ(selector.image, row.image);
    EXPECT_EQ(selector.partition, row.partition);
    EXPECT_EQ(selector.path, row.path);
    EXPECT_EQ(selector.cab, row.cab);
    EXPECT_EQ(selector.snapshot, row.snapshot);
    EXPECT_EQ(selector.snapshotId, row.snapshotId);
    EXPECT_EQ(selector.disk, row.disk);
  }
}

// Whatever a value holds, the selector written for it reads back as the
// same choice, in printable ASCII alone.
TEST(ImageSelector, WrittenAndReadBack) {
  std::string everyByte;
  for (int c = 1; c < 256; ++c) everyByte += static_cast<char>(c);
  const ImageSelector selectors[] = {
      {.image = "disk.img"},
      {.image = "disk.img", .partition = 0},
      {.image = "a#b.img", .partition = 1, .path = "\\WIN#98"},
      {.image = "w.qcow2", .snapshot = "driver & reboot"},
      {.image = "w.qcow2", .snapshot = "100% = #1"},
      {.image = "w.qcow2", .snapshotId = "2"},
      {.image = "W.vbox", .partition = 5, .path = "\\WINDOWS\\SYSTEM.DAT", .snapshot = "x&y", .disk = 2},
      {.image = "d.img", .path = "\\W\\SYSBCKUP\\RB000.CAB", .cab = "SYS&TEM.DAT"},
      {.image = "RB000.CAB", .cab = "a%41b"},
      {.image = "w.qcow2", .path = everyByte, .snapshot = everyByte},
  };
  for (const ImageSelector& selector : selectors) {
    std::string written = diskimage::FormatImageSelector(selector);
    SCOPED_TRACE(written);
    for (char c : written.substr(selector.image.size())) {
      EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << static_cast<int>(static_cast<unsigned char>(c));
    }
    ImageSelector read;
    std::string error;
    ASSERT_TRUE(diskimage::ParseImageSelector(written, &read, &error)) << error;
    EXPECT_EQ(read, selector);
  }
}

TEST(MsdosSys, WindowsDirectoryTable) {
  struct Row {
    const char* text;
    char drive;  // 0: none named
    const char* path;
  } rows[] = {
      {"[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\n", 'C', "\\WINDOWS"},
      {"[paths]\nwindir = d:\\win98  \n", 'D', "\\win98"},
      {"[Options]\nBootGUI=1\n[Paths]\nWinBootDir=C:\\W\nWinDir=E:/WIN\n", 'E', "/WIN"},
      {"[Options]\nWinDir=C:\\X\n", 0, nullptr},   // not under [Paths]
      {"[Paths]\nWinDir=WINDOWS\n", 0, nullptr},   // no drive
      {"[Paths]\nWinDir=1:\\X\n", 0, nullptr},     // no letter
      {"[Paths]\nWinDir=C:WIN\n", 0, nullptr},     // not from the root
      {"", 0, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::optional<diskimage::WindowsDirectory> found = diskimage::ParseMsdosSys(row.text);
    ASSERT_EQ(found.has_value(), row.drive != 0);
    if (!found) continue;
    EXPECT_EQ(found->drive, row.drive);
    EXPECT_EQ(found->path, row.path);
  }
}

TEST(DriveLetters, AsDosGivesThem) {
  using diskimage::FatVolume;
  // C: the first primary, then the logical drives in order, then the
  // other primaries.
  EXPECT_EQ(diskimage::DriveLetters({{1, false}, {2, false}, {5, true}, {6, true}}),
            (std::vector<char>{'C', 'F', 'D', 'E'}));
  EXPECT_EQ(diskimage::DriveLetters({{5, true}, {6, true}}), (std::vector<char>{'C', 'D'}));
  EXPECT_EQ(diskimage::DriveLetters({}), std::vector<char>{});
  // Two disks: the first primary of each, then the logicals disk by disk.
  EXPECT_EQ(diskimage::DriveLetters({{1, false, 0}, {2, false, 0}, {5, true, 0}, {1, false, 1}, {5, true, 1}}),
            (std::vector<char>{'C', 'G', 'E', 'D', 'F'}));
  // Past Z: a volume gets none.
  std::vector<FatVolume> many(26, FatVolume{5, true});
  std::vector<char> letters = diskimage::DriveLetters(many);
  EXPECT_EQ(letters[0], 'C');
  EXPECT_EQ(letters[23], 'Z');
  EXPECT_EQ(letters[24], 0);
  EXPECT_EQ(letters[25], 0);
}

TEST(EwfSegmentName, Table) {
  struct Row {
    const char* first;
    int n;
    const char* name;
  } rows[] = {
      {"image.E01", 1, "image.E01"},   {"image.E01", 2, "image.E02"},   {"image.E01", 99, "image.E99"},
      {"image.E01", 100, "image.EAA"}, {"image.E01", 101, "image.EAB"}, {"image.E01", 126, "image.EBA"},
      {"image.E01", 776, "image.FAA"}, {"x.e01", 100, "x.eaa"},         {"image.E01", 99 + 22 * 676, "image.ZZZ"},
      {"image.E01", 100 + 22 * 676, ""},  // past the last name EWF has
      {"image.E01", 0, ""},            {"noextension", 2, ""},          {"image.E001", 2, ""},
  };
  for (const Row& row : rows) EXPECT_EQ(diskimage::EwfSegmentName(row.first, row.n), row.name) << row.first << " " << row.n;
}

// A FAT directory entry: name, attributes, size.
std::string Entry(std::string_view name11, unsigned char attributes, std::uint32_t size) {
  std::string entry(32, '\0');
  entry.replace(0, 11, name11);
  entry[11] = static_cast<char>(attributes);
  for (int i = 0; i < 4; ++i) entry[28 + static_cast<std::size_t>(i)] = static_cast<char>(size >> (8 * i));
  return entry;
}

TEST(FatEntrySize, Table) {
  std::string deleted = Entry("USER    DAT", 0x20, 7);
  deleted[0] = '\xE5';
  std::string directory = Entry("VOLUME  LBL", 0x08, 1) + Entry("SYSTEM  DAT", 0x0F, 2) +  // a label, a long-name part
                          deleted + Entry("SYSTEM  DAT", 0x20, 0xFFFFFFFF) + Entry("NOEXT      ", 0x20, 5) +
                          std::string(32, '\0') + Entry("AFTER   END", 0x20, 9);
  struct Row {
    const char* name;
    std::optional<std::uint32_t> size;
  } rows[] = {
      {"SYSTEM.DAT", 0xFFFFFFFF}, {"system.dat", 0xFFFFFFFF}, {"NOEXT", 5},
      {"USER.DAT", std::nullopt},      // deleted
      {"VOLUME.LBL", std::nullopt},    // a volume label is no file
      {"AFTER.END", std::nullopt},     // past the end marker
      {"TOOLONGNAME.DAT", std::nullopt}, {"SYSTEM.DATA", std::nullopt}, {".DAT", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(diskimage::FatEntrySize(directory, row.name), row.size) << row.name;
  // A directory cut inside an entry reads the whole entries only.
  EXPECT_EQ(diskimage::FatEntrySize(directory.substr(0, 3 * 32 + 31), "SYSTEM.DAT"), std::nullopt);
}

}  // namespace

// Each container's first sector as its own tools write it, and the cases
// where two signatures meet: the table's order decides them.
TEST(ContainerFormats, EachFileIsTheFormatItsBytesSay) {
  using diskimage::Container;
  auto sector = [](std::string_view at0, std::size_t offset = 0) {
    std::string s(512, '\0');
    s.replace(offset, at0.size(), at0);
    return s;
  };
  auto booted = [](std::string s) {
    s[510] = '\x55';
    s[511] = '\xAA';
    return s;
  };
  const std::string qcow = std::string("QFI\xFB", 4);
  const std::string none;
  struct Row {
    const char* what;
    std::string head, tail;
    std::optional<Container> format;  // none: no disk
    std::string_view name;
  } rows[] = {
      {"qcow version 1", sector(qcow + std::string("\0\0\0\x01", 4)), none, Container::kQcow, "qcow"},
      {"qcow2 version 2", sector(qcow + std::string("\0\0\0\x02", 4)), none, Container::kQcow2, "qcow2"},
      {"qcow2 version 3", sector(qcow + std::string("\0\0\0\x03", 4)), none, Container::kQcow2, "qcow2"},
      // Refused by number by qcow2's reader, never read as raw.
      {"qcow version 4", booted(sector(qcow + std::string("\0\0\0\x04", 4))), none, Container::kQcow2, "qcow2"},
      {"qcow version 0x101", sector(qcow + std::string("\0\0\x01\x01", 4)), none, Container::kQcow2, "qcow2"},
      {"VDI", sector("\x7F\x10\xDA\xBE", 0x40), none, Container::kVdi, "VDI"},
      {"E01", sector(std::string("EVF\x09\x0D\x0A\xFF\x00", 8)), none, Container::kE01, "E01"},
      {"VMDK sparse", sector("KDMV"), none, Container::kVmdk, "VMDK"},
      {"VMDK descriptor", "# Disk DescriptorFile\nversion=1\n", none, Container::kVmdk, "VMDK"},
      {"VHDX", sector("vhdxfile"), none, Container::kVhdx, "VHDX"},
      {"dynamic VHD", sector("conectix"), sector("conectix"), Container::kVhd, "VHD"},
      {"fixed VHD: its footer alone", booted(sector("")), sector("conectix"), Container::kVhd, "VHD"},
      // A guest's data that ends with a VHD's footer is not what the file is.
      {"qcow2 ending in a VHD footer", sector(qcow + std::string("\0\0\0\x03", 4)), sector("conectix"),
       Container::kQcow2, "qcow2"},
      {"raw: a boot sector", booted(sector("\xEB\x3C\x90MSWIN4.1")), none, Container::kRaw, "raw"},
      {"a cabinet with 55 AA at 510", booted(sector("MSCF")), none, std::nullopt, "cabinet"},
      {"a signature cut short", "QFI", none, std::nullopt, "none"},
      // qcow2's reader says the header is cut short.
      {"a qcow header cut short", qcow + std::string("\0\0", 2), none, Container::kQcow2, "qcow2"},
      {"nothing", sector(""), sector(""), std::nullopt, "none"},
  };
  for (const Row& row : rows) {
    diskimage::SourceKind kind = diskimage::DetectSource(row.head, row.tail);
    EXPECT_EQ(kind.type == diskimage::SourceType::kDisk ? std::optional(kind.container) : std::nullopt, row.format)
        << row.what;
    EXPECT_EQ(kind.Name(), row.name) << row.what;
  }
  // One row a container, each found by the container it names.
  for (const diskimage::ContainerFormat& row : diskimage::ContainerFormats()) {
    EXPECT_EQ(&diskimage::FormatOf(row.id), &row) << row.name;
    EXPECT_EQ(row.internalSnapshots, row.id == Container::kQcow2) << row.name;
  }
}

TEST(Machines, WhatTheirFilesSay) {
  // A machine's description is told by its first lines, not its name.
  const diskimage::SourceKind kVirtualBox{diskimage::SourceType::kMachine, {}, diskimage::MachineFormat::kVirtualBox};
  const diskimage::SourceKind kVmware{diskimage::SourceType::kMachine, {}, diskimage::MachineFormat::kVmware};
  struct Kind {
    std::string head;
    diskimage::SourceKind kind;
  } kinds[] = {
      {"<?xml version=\"1.0\"?>\n<!-- x -->\n<VirtualBox xmlns=\"http://www.virtualbox.org/\">", kVirtualBox},
      {"\xEF\xBB\xBF<?xml version=\"1.0\"?><VirtualBox>", kVirtualBox},
      {"<?xml version=\"1.0\"?><VirtualBoxes>", diskimage::SourceKind{}},
      {"<?xml version=\"1.0\"?><VirtualBox", diskimage::SourceKind{}},  // cut before the root's end
      {"#!/usr/bin/vmware\n.encoding = \"UTF-8\"\nconfig.version = \"8\"\n", kVmware},
      {"  virtualHW.version=\"4\"", kVmware},
      {"config.versions = \"8\"\n", diskimage::SourceKind{}},
      {"displayName = \"config.version = 8\"\n", diskimage::SourceKind{}},
  };
  for (const Kind& k : kinds) EXPECT_EQ(diskimage::DetectSource(k.head, ""), k.kind) << k.head;

  // Present hard disks in the BIOS's order, CD-ROMs and removed devices
  // left out, VMware's escapes undone, names in any letter case.
  EXPECT_EQ(diskimage::ParseVmxDisks("scsi0:0.present = \"TRUE\"\nscsi0:0.fileName = \"data.vmdk\"\n"
                                     "ide1:0.present = \"TRUE\"\nide1:0.deviceType = \"cdrom-image\"\n"
                                     "ide1:0.fileName = \"w98.iso\"\nide0:1.present = \"FALSE\"\n"
                                     "ide0:1.fileName = \"old.vmdk\"\nIDE0:0.Present = \"true\"\n"
                                     "ide0:0.deviceType = \"ata-hardDisk\"\nide0:0.fileName = \"My |22Win|22 98.vmdk\"\n"
                                     "ide10:0.present = \"TRUE\"\nide10:0.fileName = \"ten.vmdk\"\n"
                                     "ide2:0.present = \"TRUE\"\nide2:0.fileName = \"\"\nbroken line\n"),
            (std::vector<std::string>{"My \"Win\" 98.vmdk", "ten.vmdk", "data.vmdk"}));

  std::vector<diskimage::Snapshot> snapshots =
      diskimage::ParseVmsd("snapshot.lastUID = \"7\"\nsnapshot1.uid = \"7\"\nsnapshot1.displayName = \"After\"\n"
                           "snapshot1.disk0.fileName = \"W-000001.vmdk\"\nsnapshot1.disk0.node = \"ide0:0\"\n"
                           "snapshot0.uid = \"3\"\nsnapshot0.displayName = \"Before\"\nsnapshot0.numDisks = \"2\"\n"
                           "snapshot0.disk1.fileName = \"W.vmdk\"\nsnapshot0.disk1.node = \"ide0:0\"\n"
                           "snapshot0.disk0.fileName = \"D.vmdk\"\nsnapshot0.disk0.node = \"scsi0:0\"\n"
                           "snapshotX.uid = \"9\"\n");
  ASSERT_EQ(snapshots.size(), 2u);
  EXPECT_EQ(snapshots[0].id, "3");
  EXPECT_EQ(snapshots[0].name, "Before");
  EXPECT_EQ(snapshots[0].disks, (std::vector<std::string>{"W.vmdk", "D.vmdk"}));
  EXPECT_EQ(snapshots[1].disks, (std::vector<std::string>{"W-000001.vmdk"}));

  // A name given to two snapshots is chosen between by ID.
  std::vector<diskimage::Snapshot> twins = {{"1", "x", {}}, {"2", "x", {}}, {"{AB-CD}", "y&z", {}}};
  std::string error;
  EXPECT_EQ(diskimage::FindSnapshot(twins, {"x"}, "M", &error), nullptr);
  EXPECT_EQ(error, "M: 2 snapshots are named 'x'; choose one by its ID:\n  x   (ID 1; choose it with M#snapshot-id=1)\n"
                   "  x   (ID 2; choose it with M#snapshot-id=2)");
  EXPECT_EQ(diskimage::FindSnapshot(twins, {"2"}, "M", &error), &twins[1]);
  EXPECT_EQ(diskimage::FindSnapshot(twins, {"ab-cd"}, "M", &error), &twins[2]);
  EXPECT_EQ(diskimage::SnapshotChoices(twins, "M", &twins[2].name),
            "\n  y&z   (ID {AB-CD}; choose it with M#snapshot=y%26z)");
  std::vector<diskimage::Snapshot> sameId = {{"1", "a", {}}, {"1", "b", {}}};
  EXPECT_EQ(diskimage::FindSnapshot(sameId, {"1", true}, "M", &error), nullptr);
  EXPECT_EQ(error, "M: 2 snapshots have the ID '1': the snapshot table is damaged, and neither is read");
}

// The selector each snapshot is offered with reads that snapshot back and
// no other: where its name is another's ID, where two share a name, where
// it has none, where it holds what a selector escapes.
TEST(Machines, EachSnapshotsSelectorReadsItBack) {
  const std::vector<diskimage::Snapshot> states = {
      {"1", "2", {}}, {"2", "x&y", {}}, {"3", "twin", {}}, {"4", "twin", {}}, {"{AB-CD}", "", {}}, {"6", "100%", {}}};
  const char* offered[] = {"M#snapshot=2", "M#snapshot=x%26y", "M#snapshot-id=3", "M#snapshot-id=4",
                           "M#snapshot-id={AB-CD}", "M#snapshot=100%25"};
  for (std::size_t i = 0; i < states.size(); ++i) {
    diskimage::StateWanted chosen = diskimage::ChoiceOf(states, states[i]);
    ImageSelector written{.image = "M"};
    (chosen.byId ? written.snapshotId : written.snapshot) = chosen.text;
    EXPECT_EQ(diskimage::FormatImageSelector(written), offered[i]);
    ImageSelector read;
    std::string error;
    ASSERT_TRUE(diskimage::ParseImageSelector(offered[i], &read, &error)) << error;
    diskimage::StateWanted asked = read.snapshotId.empty() ? diskimage::StateWanted{read.snapshot, false}
                                                           : diskimage::StateWanted{read.snapshotId, true};
    EXPECT_EQ(diskimage::FindSnapshot(states, asked, "M", &error), &states[i]) << offered[i] << ": " << error;
  }
}

// Each form of a qcow and qcow2 L2 entry, as QEMU's qcow2.txt and
// block/qcow.c lay them out, written here bit by bit.
TEST(DecodeL2Entry, EachForm) {
  using Kind = diskimage::QcowCluster::Kind;
  const std::uint64_t copied = std::uint64_t{1} << 63, compressed = std::uint64_t{1} << 62;
  struct Row {
    const char* what;
    std::uint64_t entry;
    std::uint32_t version, clusterBits;
    Kind kind;
    std::uint64_t at, bytes;
  } rows[] = {
      {"nothing", 0, 2, 16, Kind::kUnallocated, 0, 0},
      {"nothing, the copied flag alone", copied, 3, 16, Kind::kUnallocated, 0, 0},
      {"data at 0x50000", copied | 0x50000, 2, 16, Kind::kData, 0x50000, 0},
      {"data, with bits the mask drops", 0x50000 | 0x1FF, 2, 16, Kind::kData, 0x50000, 0},
      {"zeros (version 3)", 1, 3, 16, Kind::kZero, 0, 0},
      {"zeros over data (version 3)", 0x50000 | 1, 3, 16, Kind::kZero, 0, 0},
      {"bit 0 in version 2 is no zero flag", 0x50000 | 1, 2, 16, Kind::kData, 0x50000, 0},
      // 64 KiB clusters: the offset in bits 0 to 53, the sectors after the
      // first in bits 54 to 61.
      {"compressed, one sector", compressed | 0x70000, 2, 16, Kind::kCompressed, 0x70000, 512},
      {"compressed, three sectors, mid-sector", compressed | std::uint64_t{2} << 54 | 0x70100, 3, 16,
       Kind::kCompressed, 0x70100, 3 * 512 - 0x100},
      // 512-byte clusters: the offset in bits 0 to 60, one bit of sectors.
      {"compressed, small clusters", compressed | std::uint64_t{1} << 61 | 0x1200, 2, 9, Kind::kCompressed, 0x1200, 1024},
      // Version 1: bit 63, the offset in the low 63 - clusterBits bits, the
      // size in bytes above.
      {"version 1, compressed", copied | std::uint64_t{700} << 47 | 0x3000, 1, 16, Kind::kCompressed, 0x3000, 700},
      {"version 1, data", 0x3000, 1, 16, Kind::kData, 0x3000, 0},
      {"version 1, bit 62 is no flag", compressed | 0x3000, 1, 16, Kind::kData, 0x3000, 0},
  };
  for (const Row& row : rows) {
    diskimage::QcowCluster c = diskimage::DecodeL2Entry(row.entry, row.version, row.clusterBits);
    EXPECT_EQ(c.kind, row.kind) << row.what;
    EXPECT_EQ(c.at, row.at) << row.what;
    EXPECT_EQ(c.bytes, row.bytes) << row.what;
  }
}

// A qcow2 header written field by field as QEMU's qcow2.txt lays it out,
// and each thing this reader refuses to read, by name.
TEST(ParseQcowHeader, WhatIsNotReadIsRefusedByName) {
  auto put = [](std::string& h, std::size_t at, std::uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i, value >>= 8) h[at + static_cast<std::size_t>(i)] = static_cast<char>(value);
  };
  // Version 3: 64 KiB clusters, a 48 MiB disk, a header of 104 bytes and
  // the end of its extensions after it.
  std::string base(4096, '\0');
  base.replace(0, 4, "QFI\xFB");
  put(base, 4, 3, 4);
  put(base, 20, 16, 4);
  put(base, 24, 48 << 20, 8);
  put(base, 36, 1, 4);
  put(base, 40, 0x30000, 8);
  put(base, 100, 104, 4);
  struct Row {
    const char* what;
    std::function<void(std::string&)> change;
    std::string error;  // empty: read
  } rows[] = {
      {"as written", [](std::string&) {}, ""},
      {"version 4", [&](std::string& h) { put(h, 4, 4, 4); }, "qcow version 4, which is none QEMU writes (1, 2 or 3)"},
      {"cut short", [](std::string& h) { h.resize(40); }, "the qcow header is cut short"},
      {"AES", [&](std::string& h) { put(h, 32, 1, 4); }, "encrypted (AES); encrypted images are not read"},
      {"LUKS", [&](std::string& h) { put(h, 32, 2, 4); }, "encrypted (LUKS); encrypted images are not read"},
      {"method 7", [&](std::string& h) { put(h, 32, 7, 4); }, "encrypted (method 7); encrypted images are not read"},
      {"clusters of 256 bytes", [&](std::string& h) { put(h, 20, 8, 4); },
       "qcow cluster size 2^8, which is none QEMU writes"},
      {"an external data file", [&](std::string& h) { put(h, 72, 4, 8); },
       "its data lies in an external data file, which is not read here"},
      {"extended L2 entries", [&](std::string& h) { put(h, 72, 16, 8); },
       "it has extended L2 entries (subclusters), which are not read here"},
      {"zstd", [&](std::string& h) {
         put(h, 72, 8, 8);
         put(h, 100, 112, 4);
         h[104] = 1;
       }, "its clusters are compressed with zstd, which is not read here (zlib is)"},
      {"an unknown feature", [&](std::string& h) { put(h, 72, std::uint64_t{1} << 40, 8); },
       "it asks for incompatible features this reader does not know (0x10000000000)"},
      {"a dirty image is read", [&](std::string& h) { put(h, 72, 1, 8); }, ""},
      {"an extension past the head", [&](std::string& h) {
         put(h, 104, 0xE2792ACA, 4);
         put(h, 108, 8192, 4);
       }, "a header extension runs past the first cluster"},
      {"extensions with no end", [&](std::string& h) {
         for (std::size_t at = 104; at + 8 <= h.size(); at += 8) put(h, at, 0x12345678, 4);
       }, "its header extensions run past the first cluster"},
      {"a backing name of 2000 bytes", [&](std::string& h) {
         put(h, 8, 512, 8);
         put(h, 16, 2000, 4);
       }, "its backing file's name is 2000 bytes long"},
      {"a backing name past the head", [&](std::string& h) {
         put(h, 8, 4090, 8);
         put(h, 16, 100, 4);
       }, "its backing file's name lies past the first cluster"},
  };
  for (const Row& row : rows) {
    std::string head = base;
    row.change(head);
    diskimage::QcowHeader header;
    std::string error;
    EXPECT_EQ(diskimage::ParseQcowHeader(head, &header, &error), row.error.empty()) << row.what << ": " << error;
    EXPECT_EQ(error, row.error) << row.what;
  }
}

// A VDI 1.1 header written field by field as VirtualBox's VDICore.h lays
// it out, and each claim a read could not keep refused by name.
TEST(ParseVdiHeader, WhatCannotBeIsRefusedByName) {
  auto put = [](std::string& h, std::size_t at, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i, value >>= 8) h[at + static_cast<std::size_t>(i)] = static_cast<char>(value);
  };
  // A dynamic 48 MiB disk of 1 MiB blocks: the map at 512, the blocks at 1 MiB.
  std::string base(512, '\0');
  put(base, 0x40, 0xBEDA107F, 4);
  put(base, 0x44, 0x00010001, 4);
  put(base, 0x4C, 1, 4);
  put(base, 0x154, 512, 4);
  put(base, 0x158, 1 << 20, 4);
  put(base, 0x170, 48 << 20, 8);
  put(base, 0x178, 1 << 20, 4);
  put(base, 0x180, 48, 4);
  const std::uint64_t file = (1 << 20) + 48 * (1 << 20);
  struct Row {
    const char* what;
    std::function<void(std::string&)> change;
    std::uint64_t fileSize;
    std::string error;  // empty: read
  } rows[] = {
      {"as written", [](std::string&) {}, file, ""},
      {"version 2.0", [&](std::string& h) { put(h, 0x44, 0x00020000, 4); }, file,
       "VDI header version 2.0, which is none VirtualBox wrote (1.0 or 1.1)"},
      {"cut short", [](std::string& h) { h.resize(0x160); }, file, "the VDI header is cut short"},
      {"type 9", [&](std::string& h) { put(h, 0x4C, 9, 4); }, file, "unknown VDI image type 9"},
      {"blocks of 1000 bytes", [&](std::string& h) { put(h, 0x178, 1000, 4); }, file,
       "VDI block size 1000 is none VirtualBox writes"},
      {"extra data larger than a block", [&](std::string& h) { put(h, 0x17C, 2 << 20, 4); }, file,
       "VDI block extra data larger than a block"},
      {"a map short of the disk", [&](std::string& h) { put(h, 0x180, 47, 4); }, file,
       "the VDI block map covers less than the disk's 50331648 bytes"},
      {"a map past the file", [&](std::string& h) { put(h, 0x154, file, 4); }, file,
       "the VDI block map (48 blocks at byte 51380224) runs past the file's end"},
      // 2^26 blocks claimed in a file that holds them: 48 are read.
      {"a map claiming more than the disk needs", [&](std::string& h) { put(h, 0x180, 1u << 26, 4); },
       512 + (std::uint64_t{1} << 28), ""},
      // A 1 TiB disk in 512-byte blocks needs more of the map than is read.
      {"a disk whose map is too large to hold", [&](std::string& h) {
         put(h, 0x170, std::uint64_t{1} << 40, 8);
         put(h, 0x178, 512, 4);
         put(h, 0x180, 0xFFFFFFFF, 4);
       }, std::uint64_t{1} << 41,
       "the VDI block map needs 8589934592 bytes for a disk of 1099511627776 bytes in blocks of 512 (at most "
       "134217728 are read)"},
  };
  for (const Row& row : rows) {
    std::string head = base;
    row.change(head);
    diskimage::VdiHeader header;
    std::string error;
    EXPECT_EQ(diskimage::ParseVdiHeader(head, row.fileSize, &header, &error), row.error.empty()) << row.what << ": "
                                                                                                 << error;
    EXPECT_EQ(error, row.error) << row.what;
    if (row.error.empty()) {
      EXPECT_EQ(header.used, 48u) << row.what;
    }
  }
}

TEST(VhdSectorIsOwn, TheBitmapFromItsFirstBytesHighBit) {
  const std::string bitmap("\x80\x01\xFF", 3);
  struct Row {
    std::uint64_t sector;
    bool own;
  } rows[] = {{0, true}, {1, false}, {7, false}, {8, false}, {15, true}, {16, true}, {23, true}, {24, false}, {1000, false}};
  for (const Row& row : rows) EXPECT_EQ(diskimage::VhdSectorIsOwn(bitmap, row.sector), row.own) << row.sector;
}

TEST(Utf16ToUtf8, Table) {
  struct Row {
    std::string bytes;
    bool bigEndian;
    std::string utf8;
  } rows[] = {
      {std::string("\0b\0a\0s\0e\0.\0v\0h\0d\0\0\0x", 20), true, "base.vhd"},  // stops at NUL
      {std::string("b\0\xe4\0", 4), false, "b\xc3\xa4"},
      {std::string("\x30\x42", 2), true, "\xe3\x81\x82"},
      {std::string("\xd8\x3d\xde\x00", 4), true, "\xf0\x9f\x98\x80"},  // a surrogate pair
      // Unpaired: marked as the product's one codec marks it, the three
      // bytes UTF-8 would give its number.
      {std::string("\xd8\x3d\0a", 4), true, "\xed\xa0\xbd" "a"},
      {std::string("\0a\0", 3), true, "a"},                          // an odd byte left over
  };
  for (const Row& row : rows) EXPECT_EQ(diskimage::Utf16ToUtf8(row.bytes, row.bigEndian), row.utf8) << row.utf8;
}

namespace {

// A fixed VHD is the file less its 512-byte footer: a footer that claims
// the footer's own sector, or more, is refused, never read as the disk.
TEST(VhdFooter, AFixedDiskIsTheFileLessItsFooter) {
  namespace vhd = diskimage::layout::vhd;
  auto Footer = [](std::uint32_t type, std::uint64_t size) {
    std::string bytes(vhd::kFooterBytes, '\0');
    bytes.replace(0, 8, "conectix");
    for (int i = 0; i < 8; ++i) bytes[vhd::footer::kCurrentSize + i] = static_cast<char>(size >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) bytes[vhd::footer::kDiskType + i] = static_cast<char>(type >> (24 - 8 * i));
    bytes[vhd::footer::kDataOffset + 7] = static_cast<char>(type == 2 ? 0xFF : 0);  // a dynamic header at 0
    return bytes;
  };
  struct Row {
    std::uint32_t type;
    std::uint64_t diskSize, fileSize;
    bool read;
  } rows[] = {
      {2, 1 << 20, (1 << 20) + 512, true},
      {2, (1 << 20) + 512, (1 << 20) + 512, false},  // the footer's own sector
      {2, 2 << 20, (1 << 20) + 512, false},
      {2, 0, 100, false},                            // no room for the footer
      {2, 0, 512, true},                             // an empty disk
      {3, 64 << 20, 4096, true},                     // a dynamic disk's size is not the file's
  };
  for (const Row& row : rows) {
    diskimage::VhdFooter footer;
    std::string error;
    bool read = diskimage::ParseVhdFooter(Footer(row.type, row.diskSize), row.fileSize, &footer, &error);
    EXPECT_EQ(read, row.read) << row.type << " " << row.diskSize << " in " << row.fileSize << ": " << error;
    if (!read && row.type == 2) {
      EXPECT_NE(error.find("bytes of disk before its footer"), std::string::npos) << error;
    }
  }
}

}  // namespace
