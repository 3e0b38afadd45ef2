#include "imagemodule/volumes.h"

#include <memory>

#include "diskimage/chain.h"
#include "diskimage/layout/sector.h"

namespace diskimage {

namespace {

// The disk, opened as the container format it is (as its first bytes
// say, where format is none): should a reader fail, its reason is passed
// on, where a guess would read the file as raw.
std::unique_ptr<Disk> OpenDisk(const std::string& path, std::optional<Container> format, const StateWanted& snapshot,
                               Chain& chain, std::string* error) {
  if (!format) return OpenChainLink(path, chain, error);
  if (snapshot.current()) return OpenChain(path, *format, chain, error);
  // qcow2 is the one format whose file holds saved states.
  if (FormatOf(*format).internalSnapshots) return OpenQcowSnapshot(path, snapshot, chain, error);
  *error = path + ": snapshot= chooses a saved state of a machine (its .vbox or .vmx) or of a qcow2 image, and this "
                  "image holds none of its own";
  return nullptr;
}

// Letters as DOS gives them, by the partitions' types.
void GiveLetters(Image& image) {
  std::vector<std::size_t> lettered;
  std::vector<FatVolume> where;
  for (std::size_t i = 0; i < image.volumes.size(); ++i) {
    if (!image.volumes[i].dosFat) continue;
    lettered.push_back(i);
    where.push_back(image.volumes[i].where);
    where.back().disk = static_cast<int>(image.volumes[i].disk);
  }
  std::vector<char> letters = DriveLetters(where);
  for (std::size_t i = 0; i < letters.size(); ++i) image.volumes[lettered[i]].letter = letters[i];
}

}  // namespace

bool AddDisk(Image& image, const std::string& path, std::optional<Container> format, const StateWanted& snapshot,
             Chain& chain, std::string* error) {
  std::unique_ptr<Disk> opened = OpenDisk(path, format, snapshot, chain, error);
  image.notes.insert(image.notes.end(), chain.notes().begin(), chain.notes().end());
  if (opened == nullptr) return false;
  image.disks.push_back(std::move(opened));
  image.chains.push_back(chain.files().empty() ? std::vector<std::string>{path} : chain.files());
  const std::size_t index = image.disks.size() - 1;
  Disk& disk = *image.disks.back();
  constexpr std::uint64_t kSector = layout::kSectorBytes;
  std::uint64_t sectors = disk.Size() / kSector;
  std::string unreadable;  // what the first sector that could not be read said
  auto readSector = [&](std::uint64_t sector, std::string* bytes) {
    if (sector >= sectors) return false;
    bytes->assign(kSector, '\0');
    std::string why;
    std::int64_t got = disk.Read(sector * kSector, bytes->data(), kSector, &why);
    if (got != static_cast<std::int64_t>(kSector)) {
      if (unreadable.empty()) unreadable = got < 0 ? why : "it ends inside sector " + std::to_string(sector);
      return false;
    }
    return true;
  };
  // A bare volume first: a FAT boot sector carries the MBR's signature too.
  std::string notFat;
  if (std::unique_ptr<FatFileSystem> fs = FatFileSystem::Open(disk, 0, &notFat, nullptr, image.oemCodepage)) {
    image.volumes.push_back(
        Volume{.where = FatVolume{0, false, 0}, .disk = index, .bytes = disk.Size(), .fs = std::move(fs), .tried = true});
    return true;
  }
  PartitionTable table = ReadPartitionTable(readSector);
  if (!unreadable.empty() && !table.found) {
    *error = path + ": cannot be read: " + unreadable;
    return false;
  }
  image.problems.insert(image.problems.end(), table.problems.begin(), table.problems.end());
  for (const Partition& p : table.partitions) {
    Volume v{.where = FatVolume{p.number, p.logical, 0}, .disk = index, .offset = p.start * kSector,
             .dosFat = IsDosFatType(p.type), .type = p.type, .bytes = p.sectors * kSector};
    if (p.start + p.sectors > sectors) {
      v.outside = "partition " + std::to_string(p.number) + " ends at byte " + std::to_string((p.start + p.sectors) * kSector) +
                  ", past the image's end at byte " + std::to_string(disk.Size());
    }
    image.volumes.push_back(std::move(v));
  }
  if (!table.found || image.volumes.empty()) {
    *error = path + ": no FAT volume in the image" + (table.found ? "'s partitions" : "");
    if (!unreadable.empty()) *error += " (" + unreadable + ")";
    return false;
  }
  return true;
}

void CloseDisk(Image& image, std::size_t disk) {
  for (Volume& v : image.volumes) {
    if (v.disk != disk) continue;
    v.fs.reset();
    v.tried = true;
  }
  image.disks[disk].reset();
}

void FinishDisks(Image& image) {
  if (image.disks.size() > 1) {
    for (Volume& v : image.volumes) v.shownDisk = static_cast<int>(v.disk) + 1;
  }
  GiveLetters(image);
}

FatFileSystem* FileSystem(Image& image, Volume& v) {
  if (!v.tried) {
    v.tried = true;
    std::string why;
    bool unreadable = false;
    v.fs = FatFileSystem::Open(*image.disks[v.disk], v.offset, &why, &unreadable, image.oemCodepage);
    // A boot sector that could not be read is a cause worth naming when
    // the search finds nothing: say, a parent image cut short.
    if (unreadable && image.readFailure.empty()) image.readFailure = why;
  }
  return v.fs.get();
}

std::string Label(const Volume& v) {
  std::string label = v.where.number == 0 ? "the volume" : "partition " + std::to_string(v.where.number);
  if (v.shownDisk != 0) {
    label = "disk " + std::to_string(v.shownDisk) + (v.where.number == 0 ? "" : " partition " + std::to_string(v.where.number));
  }
  if (v.letter != 0) label += std::string(" (") + v.letter + ":)";
  return label;
}

std::string Unread(const Image& image) {
  std::string said;
  for (const Volume& v : image.volumes) {
    if (!v.outside.empty()) said += (said.empty() ? "" : "; ") + v.outside;
  }
  for (const std::string& problem : image.problems) said += (said.empty() ? "" : "; ") + problem;
  if (!image.readFailure.empty()) said += (said.empty() ? "" : "; ") + image.readFailure;
  return said.empty() ? "" : " (" + said + ")";
}

}  // namespace diskimage
