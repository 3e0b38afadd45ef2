// What an image holds, listed so that a user handed one need not guess
// selectors: the files its disks stand on, its snapshots, its partitions
// and the Windows directories on them, each with the selector that reads
// it. Part of the image module; the tools lay the records out.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "diskimage/chain.h"
#include "diskimage/formats.h"
#include "imagemodule/choice.h"
#include "imagemodule/fat_files.h"
#include "diskimage/host_file.h"
#include "diskimage/messages.h"
#include "imagemodule/image_module.h"
#include "imagemodule/machine_files.h"
#include "imagemodule/windows_search.h"

namespace diskimage {

namespace {

// What a file is, by its first bytes, as a listing names its format.
std::string FormatName(const std::string& path) {
  SourceKind kind;
  std::string error;
  if (!DetectFile(path, &kind, &error)) return "unreadable";
  // What no format claims is read as raw, and listed so.
  return std::string(kind.type == SourceType::kNone ? FormatOf(Container::kRaw).name : kind.Name());
}

class Lister {
 public:
  Lister(const std::string& image, const KormaldImageChoice& choice, KormaldImageItem item, KormaldImageNote note,
         void* context)
      : image_(image), choice_(choice), item_(item), note_(note), context_(context) {}

  bool Run(std::string* error) {
    SourceKind kind;
    if (!DetectFile(image_, &kind, error)) {
      *error = image_ + ": " + *error;
      return false;
    }
    if (kind.type == SourceType::kNone) kind = DiskIn(Container::kRaw);
    if (kind.type == SourceType::kCabinet) {
      *error = image_ + ": a cabinet, which holds files, not disks: kormald or regwalk given it alone lists them";
      return false;
    }
    disks_.oemCodepage = OemCodepageOf(choice_);
    Machine machine;
    bool isMachine = kind.type == SourceType::kMachine;
    bool opened = OpenSourceDisks(disks_, image_, kind, WantedState(choice_), -1, &machine, error);
    for (const std::string& note : disks_.notes) note_(context_, ForTerminal(note).c_str());
    if (isMachine) Item(kFileRecord, {"0", image_, FormatName(image_)});
    for (std::size_t d = 0; d < disks_.chains.size(); ++d) {
      for (const std::string& file : disks_.chains[d]) Item(kFileRecord, {std::to_string(d + 1), file, FormatName(file)});
    }
    // A machine's snapshots are listed even when its state's disks cannot
    // be read: they are how another state is chosen.
    std::vector<Snapshot> snapshots = machine.snapshots;
    // A snapshot table that cannot be read is said as #snapshot= says it,
    // never left out of the listing as if there were none.
    if (kind.type == SourceType::kDisk && FormatOf(kind.container).internalSnapshots &&
        !QcowSnapshots(image_, &snapshots, error)) {
      return false;
    }
    for (const Snapshot& s : snapshots) {
      Item(kSnapshotRecord, {s.id, s.name, FormatImageSelector(InState(image_, ChoiceOf(snapshots, s)))});
    }
    if (!opened) return false;
    for (Volume& v : disks_.volumes) {
      char type[8];
      std::snprintf(type, sizeof type, "0x%02x", v.type);
      Item(kPartitionRecord, {std::to_string(v.disk + 1), std::to_string(v.where.number), type, std::to_string(v.bytes),
                         v.letter == 0 ? "-" : std::string(1, v.letter) + ":"});
    }
    ListWindows();
    return true;
  }

 private:
  void Item(const KormaldRecordKind& record, const std::vector<std::string>& fields) {
    std::vector<const char*> lent;
    for (const std::string& f : fields) lent.push_back(f.c_str());
    // The tools read count fields of each record: never fewer.
    lent.resize(record.count, "");
    item_(context_, record.kind, lent.data(), lent.size());
  }

  // The directory MSDOS.SYS names, and each top-level folder of each
  // volume, where each holds a registry: the search a read makes, on every
  // volume.
  void ListWindows() {
    std::vector<std::pair<Volume*, std::string>> found;
    MsdosSysSays says = ReadMsdosSys(disks_);
    if (says.named && says.volume != nullptr) found.emplace_back(says.volume, says.named->path);
    std::vector<WindowsCandidate> folders = TopLevelFolders(disks_, false);
    for (const WindowsCandidate& c : folders) found.emplace_back(c.volume, c.dir);
    std::vector<std::pair<const Volume*, std::string>> listed;
    for (auto& [v, dir] : found) {
      FatFileSystem* fs = FileSystem(disks_, *v);
      std::string path = VolumePath(dir);
      if (fs == nullptr || !IsDirectory(*fs, path) || !HoldsRegistry(*fs, path)) continue;
      bool again = false;
      for (const auto& [seen, seenDir] : listed) again = again || (seen == v && VolumePath(seenDir) == path);
      if (again) continue;
      listed.emplace_back(v, dir);
      ImageSelector selector = InState(image_, WantedState(choice_));
      selector.disk = v->shownDisk == 0 ? -1 : v->shownDisk;
      selector.partition = v->where.number;
      // part= alone reads a volume's one Windows directory, as a read's
      // search finds it: beside another, \WINDOWS too is named by its path.
      const Volume* on = v;  // a structured binding, which clang 14 captures in no lambda
      auto onVolume = std::count_if(folders.begin(), folders.end(), [on](const auto& c) { return c.volume == on; });
      if (DosPath(path) != "\\WINDOWS" || onVolume > 1) selector.path = DosPath(path);
      std::string where = DosPath(path);
      if (v->letter != 0) where.insert(0, {v->letter, ':'});
      Item(kWindowsRecord,
           {std::to_string(v->disk + 1), std::to_string(v->where.number), where, FormatImageSelector(selector)});
    }
  }

  std::string image_;
  const KormaldImageChoice& choice_;
  KormaldImageItem item_;
  KormaldImageNote note_;
  void* context_;
  Image disks_;
};

}  // namespace

}  // namespace diskimage

extern "C" KORMALD_MODULE_EXPORT int kormald_image_list(const char* image,
                                                                          const KormaldImageChoice* choice,
                                                                          KormaldImageItem item, KormaldImageNote note,
                                                                          KormaldImageFailed failed, void* context) {
  std::string error;
  if (diskimage::Lister(image, *choice, item, note, context).Run(&error)) return 0;
  failed(context, diskimage::ForTerminal(error).c_str());
  return 1;
}
