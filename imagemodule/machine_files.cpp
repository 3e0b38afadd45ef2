#include "imagemodule/machine_files.h"

#include <filesystem>

#include "diskimage/host_file.h"
#include "diskimage/host_path.h"
#include "imagemodule/library_disks.h"
#include "imagemodule/vbox.h"

namespace diskimage {

namespace {

constexpr std::string_view kMachineFile = "a machine's file";

// A file a machine names, from this host: a relative one lies under the
// machine's folder, and a Windows path's separators are this host's. A
// path of the machine that wrote it ("C:\VMs\Win98\Win98.vdi") that is not
// here is looked for in the machine's folder, as a machine's folder moves
// whole; where neither is, the path as named is what is missing.
std::string OnHost(const std::string& machine, const std::string& named) {
  std::filesystem::path folder = HostPath(machine).parent_path();
  std::string path = named;
#if !defined(_WIN32)
  for (char& c : path) c = c == '\\' ? '/' : c;
#endif
  bool elsewhere = HostRooted(path) || (path.size() > 1 && path[1] == ':');
  if (!elsewhere) return HostString(folder / HostPath(path));
  if (HostExists(path)) return path;
  // Its last two names ("Snapshots\{...}.vdi"), then its last.
  std::size_t last = path.find_last_of("\\/");
  std::size_t before = last == std::string::npos || last == 0 ? std::string::npos : path.find_last_of("\\/", last - 1);
  for (std::size_t cut : {before, last}) {
    if (cut == std::string::npos) continue;
    std::string beside = HostString(folder / HostPath(path.substr(cut + 1)));
    if (HostExists(beside)) return beside;
  }
  return path;
}

}  // namespace

bool ReadMachine(const std::string& path, MachineFormat format, Machine* machine, std::string* error) {
  std::string text;
  if (!ReadHostFile(path, kMaxMachineFileBytes, kMachineFile, &text, error)) {
    *error = path + ": " + *error;
    return false;
  }
  if (format == MachineFormat::kVirtualBox) {
    if (!ParseVbox(text, machine, error)) {
      *error = path + ": " + *error;
      return false;
    }
  } else {
    *machine = Machine{};
    machine->current = ParseVmxDisks(text);
    // VMware keeps the snapshot list beside the .vmx, under its name.
    std::string vmsd = HostString(HostPath(path).replace_extension(".vmsd"));
    if (HostExists(vmsd)) {
      if (!ReadHostFile(vmsd, kMaxMachineFileBytes, kMachineFile, &text, error)) {
        *error = vmsd + ": " + *error;
        return false;
      }
      machine->snapshots = ParseVmsd(text);
    }
  }
  for (std::string& disk : machine->current) disk = OnHost(path, disk);
  for (Snapshot& s : machine->snapshots) {
    for (std::string& disk : s.disks) disk = OnHost(path, disk);
  }
  for (auto& [uuid, file] : machine->media) file = OnHost(path, file);
  return true;
}

bool OpenSourceDisks(Image& image, const std::string& source, SourceKind kind, const StateWanted& snapshot, int disk,
                     Machine* machine, std::string* error) {
  *machine = Machine{};
  if (kind.type != SourceType::kMachine) {
    if (disk > 1) {
      *error = source + ": one disk, so disk= can only be 1";
      return false;
    }
    Chain chain(LibraryDisk);
    if (!AddDisk(image, source, kind.container, snapshot, chain, error)) return false;
    FinishDisks(image);
    return true;
  }
  std::vector<std::string> files;
  if (!ReadMachine(source, kind.machine, machine, error) || !ChooseState(*machine, snapshot, source, &files, error)) return false;
  if (files.size() > kMaxMachineDisks) {
    *error = source + ": " + std::to_string(files.size()) + " hard disks, more than any VM software attaches (" +
             std::to_string(kMaxMachineDisks) + ": VMware's 4 IDE, 120 SATA, 60 SCSI and 60 NVMe disks)";
    return false;
  }
  if (disk > static_cast<int>(files.size())) {
    *error = source + ": disk " + std::to_string(disk) + " is none of the " + std::to_string(files.size()) +
             " hard disks of this state";
    return false;
  }
  std::string passed;
  for (const std::string& file : files) {
    std::size_t opened = image.disks.size();
    Chain chain(LibraryDisk);  // each disk's chain of its own, over the files the machine registered
    chain.Know(machine->media);
    bool added = AddDisk(image, file, std::nullopt, {}, chain, error);
    // Another disk than the one chosen gives its partitions' letters, and
    // is read no further: what reading it holds is let go at once.
    if (image.disks.size() > opened && disk > 0 && static_cast<int>(opened) + 1 != disk) CloseDisk(image, opened);
    if (added) continue;
    // Opened, but no FAT volume found on it: a data disk, or a blank one.
    if (image.disks.size() == opened || files.size() == 1) return false;
    passed += (passed.empty() ? "" : "; ") + *error;
  }
  FinishDisks(image);
  if (image.volumes.empty()) *error = passed;
  return !image.volumes.empty();
}

}  // namespace diskimage
