// The disk image reader, a module loaded only when a source is an image:
// its disk is read as its container says (formats.h, chain.h: raw, VHD,
// VDI, qcow and qcow2 by readers of ours, VHDX and VMDK through the libyal
// libraries, E01 through libewf: library_disks.h); our reader of MBRs reads its partition table
// (image.h) and ours of FAT its volumes (volumes.h, fat.h); libmspack
// opens the cabinets in which Windows 98 and Me keep the registry of their
// last boots (cabinet.h). Nothing is written: the image is opened
// read-only, and cabinets are unpacked in memory. Only the clusters of the
// files it reads are read. This file finds the registry in what they open.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "imagemodule/cabinet.h"
#include "imagemodule/choice.h"
#include "imagemodule/fat_files.h"
#include "diskimage/chain.h"
#include "diskimage/formats.h"
#include "diskimage/host_file.h"
#include "diskimage/messages.h"
#include "diskimage/image.h"
#include "imagemodule/image_module.h"
#include "imagemodule/machine_files.h"
#include "imagemodule/volumes.h"
#include "imagemodule/windows_search.h"

namespace {

using diskimage::Image;
using diskimage::Label;
using diskimage::Unread;
using diskimage::Volume;
using Candidate = diskimage::WindowsCandidate;
using diskimage::WindowsPath;

KormaldHiveRoot RootOf(const std::string& name) {
  switch (diskimage::HiveNameOf(name)) {
    case diskimage::HiveName::kSystem: return KORMALD_ROOT_LOCAL_MACHINE;
    case diskimage::HiveName::kUser: return KORMALD_ROOT_USERS;
    case diskimage::HiveName::kNone: break;
  }
  return KORMALD_ROOT_BY_CONTENTS;
}

// One read of an image: what it hands the caller, and what it says when it
// fails, every message beginning with the image's name.
class Finder {
 public:
  Finder(const char* image, std::uint64_t maxFileBytes, KormaldHiveFound found, KormaldImageNote note,
         KormaldImageFailed failed, void* context)
      : image_(image), prefix_(std::string(image) + ": "), maxFileBytes_(maxFileBytes), found_(found), note_(note),
        failed_(failed), context_(context) {}

  int Read(const KormaldImageChoice& choice) {
    diskimage::SourceKind kind;
    if (std::string error; !diskimage::DetectFile(image_, &kind, &error)) return FailWith(error);
    // The tools hand over only images: a disk whose first sector says
    // nothing (a blank one, or a device) is raw.
    if (kind.type == diskimage::SourceType::kNone) kind = diskimage::DiskIn(diskimage::Container::kRaw);
    if (kind.type == diskimage::SourceType::kCabinet) {
      if (!diskimage::WantedState(choice).current() || choice.disk >= 0) {
        return FailWith("a cabinet, which holds no snapshots or disks: name a file in it with #cab=");
      }
      return ReadCabinet(choice.partition, choice.path, choice.cab);
    }
    if (choice.cab[0] != '\0' && choice.path[0] == '\0') {
      return FailWith("cab= names a file inside the cabinet that path= names");
    }
    snapshot_ = diskimage::WantedState(choice);
    disk_.oemCodepage = diskimage::OemCodepageOf(choice);
    room_ = diskimage::RoomOf(choice);
    roomPages_ = diskimage::RoomPagesOf(choice);
    if (int failed = OpenDisks(kind, snapshot_, choice.disk); failed != 0) return failed;
    if (choice.partition >= 0 || choice.path[0] != '\0' || choice.disk >= 0) {
      return ReadChosen(choice.disk, choice.partition, choice.path, choice.cab);
    }
    if (std::optional<int> done = ReadAsMsdosSysSays()) return *done;
    return ReadTheOneCandidate();
  }

 private:
  int Fail(const std::string& message) {
    failed_(context_, diskimage::ForTerminal(message).c_str());
    return 1;
  }
  // A message about the image, after its name.
  int FailWith(const std::string& what) { return Fail(prefix_ + what); }

  int OpenDisks(diskimage::SourceKind kind, const diskimage::StateWanted& snapshot, int disk) {
    std::string message;
    diskimage::Machine described;
    bool opened = diskimage::OpenSourceDisks(disk_, image_, kind, snapshot, disk, &described, &message);
    for (const std::string& note : disk_.notes) note_(context_, diskimage::ForTerminal(note).c_str());
    return opened ? 0 : Fail(message);
  }

  // Chosen by the user: a disk, a partition, a path in it, or any of
  // them. Only the chosen partition is opened; a path alone must name one
  // volume.
  int ReadChosen(int disk, int partition, const std::string& path, const std::string& cab) {
    std::vector<std::pair<Volume*, diskimage::FatFileSystem*>> volumes;
    for (Volume& v : disk_.volumes) {
      if (partition >= 0 && v.where.number != partition) continue;
      if (disk > 0 && static_cast<int>(v.disk) + 1 != disk) continue;
      if (diskimage::FatFileSystem* fs = diskimage::FileSystem(disk_, v)) volumes.emplace_back(&v, fs);
    }
    if (volumes.empty()) {
      std::string what = partition >= 0 ? "no FAT volume is partition " + std::to_string(partition)
                                        : "no FAT volume in the image";
      if (disk > 0 && disk_.disks.size() > 1) what += " of disk " + std::to_string(disk);
      return FailWith(what + Unread(disk_));
    }
    if (volumes.size() > 1 && !path.empty()) {
      return FailWith(path + " names no partition: add " + (disk_.disks.size() > 1 && disk < 0 ? "disk=N&" : "") + "part=N");
    }
    auto [v, fs] = volumes.front();
    if (path.empty()) {
      std::vector<Candidate> candidates;
      for (std::string& dir : diskimage::WindowsDirectories(*fs)) candidates.push_back({v, fs, std::move(dir)});
      // None: said of \WINDOWS, where Windows is looked for first.
      if (candidates.empty()) return GiveDirectory(*v, fs, "/WINDOWS");
      return GiveTheOne(candidates, " on " + Label(*v) + ", to choose between");
    }
    const std::string& where = path;
    bool directory = diskimage::IsDirectory(*fs, where);
    if (!cab.empty() && directory) {
      return FailWith(Label(*v) + ": cab= names a file in a cabinet, and " + WindowsPath(where) + " is a directory");
    }
    return !directory ? Give(*v, fs, where, cab, RootOf(where)) : GiveDirectory(*v, fs, where);
  }

  // MSDOS.SYS on the boot volume (C:) names the Windows directory, which
  // may lie on another volume. nullopt where it names none.
  std::optional<int> ReadAsMsdosSysSays() {
    diskimage::MsdosSysSays says = diskimage::ReadMsdosSys(disk_);
    // Not there: the search goes on. There but unreadable: said.
    if (!says.unreadable.empty()) return FailWith(Label(*says.boot) + ": " + says.unreadable);
    if (!says.named) return std::nullopt;
    std::string named = "MSDOS.SYS names " + std::string(1, says.named->drive) + ":" + WindowsPath(says.named->path);
    if (says.volume == nullptr) return FailWith(named + ", and no FAT volume of the image is " + says.named->drive + ":");
    if (says.fs == nullptr) return FailWith(named + ", and " + Label(*says.volume) + " holds no FAT volume" + Unread(disk_));
    return GiveDirectory(*says.volume, says.fs, says.named->path);
  }

  // Without MSDOS.SYS, every top-level folder holding a registry on each
  // volume DOS gives a letter is a candidate; more than one is not guessed
  // at. Volumes past Z: are none.
  int ReadTheOneCandidate() {
    bool anyFat = false;
    std::vector<Candidate> candidates = diskimage::TopLevelFolders(disk_, true, &anyFat);
    if (!anyFat) return FailWith("no FAT volume in the image's partitions" + Unread(disk_));
    if (candidates.empty()) return FailWith("no Windows directory with a registry in the image" + Unread(disk_));
    return GiveTheOne(candidates, ", and no MSDOS.SYS to choose between them");
  }

  // The Windows directory where there is one candidate; the choices, with
  // the selector of each, where there are more.
  int GiveTheOne(const std::vector<Candidate>& candidates, const std::string& why) {
    if (candidates.size() == 1) {
      const Candidate& c = candidates.front();
      return GiveDirectory(*c.volume, c.fs, c.dir);
    }
    std::string list = std::to_string(candidates.size()) + " Windows directories" + why + ":";
    for (const Candidate& c : candidates) {
      std::string shown = WindowsPath(c.dir);
      // part= alone reads a volume's one Windows directory: beside another,
      // \WINDOWS too is named by its path.
      auto onVolume = std::count_if(candidates.begin(), candidates.end(),
                                    [&](const Candidate& other) { return other.volume == c.volume; });
      bool alone = shown == "\\WINDOWS" && onVolume == 1;
      std::string selector = SelectorOf(OriginOf(*c.volume, alone ? "" : diskimage::DosPath(c.dir)), "");
      list += "\n  " + Label(*c.volume) + ": " + shown + "   (choose it with " + selector + ")";
    }
    return FailWith(list);
  }

  // Hands over one file of a volume, unpacked from a cabinet where asked.
  int Give(const Volume& v, diskimage::FatFileSystem* fs, const std::string& path, const std::string& cab, KormaldHiveRoot root) {
    std::string owned;
    std::string_view bytes;
    std::string error;
    // A saved state's file is labelled with the selector of the state, so
    // that a diff of two states of one image says which one is damaged.
    std::string source =
        snapshot_.current() ? image_ : diskimage::FormatImageSelector(diskimage::InState(image_, snapshot_));
    std::string label = source + ": " + Label(v) + ": " + WindowsPath(path);
    // A file handed over as it is goes into the tools' memory, where they
    // give some, and is read once; one unpacked from goes into ours.
    // Pages of the tools' are asked for with a page more, for the file to
    // start in step with the image's pages, mapped and not copied.
    diskimage::FatFileSystem::Room room = [&](std::size_t size) {
      std::size_t slack = roomPages_ ? diskimage::HostFile::PageBytes() : 0;
      char* block = cab.empty() && room_ != nullptr ? room_(context_, size + slack) : nullptr;
      if (block != nullptr) return diskimage::FatFileSystem::RoomBlock{block, slack};
      owned.assign(size, '\0');
      return diskimage::FatFileSystem::RoomBlock{owned.data()};
    };
    if (!diskimage::ReadFile(*fs, path, maxFileBytes_, room, &bytes, &error)) {
      // In a partition the image's end cuts, a file that cannot be read
      // lies past the cut, where every read fails.
      if (!error.empty() && !v.outside.empty()) {
        error = "cannot read " + WindowsPath(path) + ": it lies, at least in part, past the image's end (" + v.outside + ")";
      }
      return FailWith(Label(v) + ": " + (error.empty() ? "no " + WindowsPath(path) : error));
    }
    if (cab.empty() && bytes.starts_with(diskimage::kCabinetSignature)) {
      diskimage::ImageSelector inside = Selector(OriginOf(v, diskimage::DosPath(path)));
      return Fail(label + ": " + diskimage::CabinetChoices(std::string(bytes), inside));
    }
    return GiveFile(std::move(label), OriginOf(v, diskimage::DosPath(path)), bytes, cab, root);
  }

  // A cabinet copied out of a Windows directory: it holds files, and one of
  // them is read, as cab= names it.
  int ReadCabinet(int partition, const std::string& path, const std::string& cab) {
    if (partition >= 0 || !path.empty()) {
      return FailWith("a cabinet, which holds no partitions or directories: name a file in it with #cab=");
    }
    std::string bytes;
    std::string error;
    if (!diskimage::ReadHostFile(image_, maxFileBytes_, "a cabinet", &bytes, &error)) return FailWith(error);
    if (cab.empty()) return FailWith(diskimage::CabinetChoices(bytes, diskimage::ImageSelector{.image = image_}));
    return GiveFile(image_, Origin{-1, -1, {}}, bytes, cab, RootOf(image_));
  }

  // Where in the image a file lies: what the boundary's origin says
  // beside the image, the snapshot and the cabinet.
  struct Origin {
    int disk;
    int partition;
    std::string path;  // as DOS writes it, byte for byte
  };

  static Origin OriginOf(const Volume& v, std::string path) {
    return {v.shownDisk == 0 ? -1 : v.shownDisk, v.where.number, std::move(path)};
  }

  // The selector that reads a file, or a volume's Windows directory, again
  // in the state being read: every message and record that offers one
  // writes it here.
  diskimage::ImageSelector Selector(const Origin& where, const std::string& cab = "") const {
    diskimage::ImageSelector selector = diskimage::InState(image_, snapshot_);
    selector.disk = where.disk;
    selector.partition = where.partition;
    selector.path = where.path;
    selector.cab = cab;
    return selector;
  }
  std::string SelectorOf(const Origin& where, const std::string& cab) const {
    return diskimage::FormatImageSelector(Selector(where, cab));
  }

  // Hands over a file's bytes, or the file cab names in them.
  int GiveFile(std::string label, const Origin& where, std::string_view bytes, const std::string& cab,
               KormaldHiveRoot root) {
    std::string unpacked;
    if (!cab.empty()) {
      std::string error;
      if (!diskimage::Unpack(std::string(bytes), cab, maxFileBytes_, &unpacked, &error)) {
        return Fail(label + ": " + error);
      }
      bytes = unpacked;
      label += " (" + cab + ")";
      root = RootOf(cab);
    }
    std::string selector = SelectorOf(where, cab);
    KormaldFileOrigin origin{sizeof(KormaldFileOrigin), image_.c_str(), snapshot_.text.c_str(), where.disk,
                             where.partition, where.path.c_str(), cab.c_str(), selector.c_str()};
    // The caller stopped the read: it said why itself.
    if (found_(context_, label.c_str(), &origin, root, bytes.data(), bytes.size()) != 0) return Fail("stopped");
    return 0;
  }

  // SYSTEM.DAT and USER.DAT of a Windows directory, whichever are there.
  int GiveDirectory(const Volume& v, diskimage::FatFileSystem* fs, const std::string& dir) {
    bool any = false;
    for (const char* name : {"SYSTEM.DAT", "USER.DAT"}) {
      if (!diskimage::Exists(*fs, dir + "/" + name)) continue;
      if (int failed = Give(v, fs, dir + "/" + name, "", RootOf(name)); failed != 0) return failed;
      any = true;
    }
    return any ? 0 : FailWith(Label(v) + ": no SYSTEM.DAT or USER.DAT in " + WindowsPath(dir));
  }

  std::string image_;
  std::string prefix_;  // "IMAGE: ", before every message about it
  std::uint64_t maxFileBytes_;
  KormaldHiveFound found_;
  KormaldImageNote note_;
  KormaldImageFailed failed_;
  void* context_;
  diskimage::StateWanted snapshot_;  // as the selector chose it
  KormaldRoom room_ = nullptr;        // the tools' memory for a file read whole
  bool roomPages_ = false;            // and whether an image's pages may be mapped over it
  Image disk_;
};

}  // namespace

extern "C" {

KORMALD_MODULE_EXPORT extern const int kormald_image_abi_version = KORMALD_IMAGE_ABI_VERSION;

KORMALD_MODULE_EXPORT int kormald_image_read(const char* image, const KormaldImageChoice* choice,
                                                              std::uint64_t maxFileBytes, KormaldHiveFound found,
                                                              KormaldImageNote note, KormaldImageFailed failed,
                                                              void* context) {
  return Finder(image, maxFileBytes, found, note, failed, context).Read(*choice);
}
}
