#include "imagemodule/volumes.h"

#include <memory>

#include "diskimage/chain.h"
#include "imagemodule/fat_files.h"
#include "diskimage/layout/sector.h"

namespace diskimage {

Image::~Image() {
  for (Volume& v : volumes) {
    if (v.fs != nullptr) tsk_fs_close(v.fs);
  }
  for (TSK_IMG_INFO* img : imgs) {
    if (img != nullptr) tsk_img_close(img);
  }
}

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

// The library's image over a disk of ours. The library takes a structure
// that begins with its own and hands it back to each call.
struct External {
  TSK_IMG_INFO info;
  Disk* disk;
  std::string* firstFailure;  // the image's: what the first failed read said
};

ssize_t ExternalRead(TSK_IMG_INFO* img, TSK_OFF_T offset, char* out, size_t length) {
  std::string error;
  std::int64_t got = reinterpret_cast<External*>(img)->disk->Read(static_cast<std::uint64_t>(offset), out, length, &error);
  if (got < 0) {
    auto* external = reinterpret_cast<External*>(img);
    if (external->firstFailure->empty()) *external->firstFailure = error;
    tsk_error_reset();
    tsk_error_set_errno(TSK_ERR_IMG_READ);
    tsk_error_set_errstr("%s", error.c_str());
  }
  return static_cast<ssize_t>(got);
}
void ExternalClose(TSK_IMG_INFO* img) { delete reinterpret_cast<External*>(img); }
void ExternalStat(TSK_IMG_INFO*, FILE*) {}

TSK_IMG_INFO* OpenExternal(Disk& disk, std::string* firstFailure) {
  auto* external = new External{};
  external->disk = &disk;
  external->firstFailure = firstFailure;
  TSK_IMG_INFO* img = tsk_img_open_external(external, static_cast<TSK_OFF_T>(disk.Size()), layout::kSectorBytes,
                                            ExternalRead, ExternalClose, ExternalStat);
  if (img == nullptr) delete external;
  return img;
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
  TSK_IMG_INFO* img = OpenExternal(*opened, &image.readFailure);
  if (img == nullptr) {
    *error = path + ": cannot be read as a disk image: " + FirstLine(TskError());
    return false;
  }
  image.disks.push_back(std::move(opened));
  image.imgs.push_back(img);
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
  if (TSK_FS_INFO* fs = tsk_fs_open_img(img, 0, TSK_FS_TYPE_FAT_DETECT)) {
    image.volumes.push_back(Volume{.where = FatVolume{0, false, 0}, .disk = index, .bytes = disk.Size(), .fs = fs, .tried = true});
    return true;
  }
  tsk_error_reset();
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
    if (v.fs != nullptr) tsk_fs_close(v.fs);
    v.fs = nullptr;
    v.tried = true;
  }
  if (image.imgs[disk] != nullptr) tsk_img_close(image.imgs[disk]);
  image.imgs[disk] = nullptr;
  image.disks[disk].reset();
}

void FinishDisks(Image& image) {
  if (image.disks.size() > 1) {
    for (Volume& v : image.volumes) v.shownDisk = static_cast<int>(v.disk) + 1;
  }
  GiveLetters(image);
}

TSK_FS_INFO* FileSystem(const Image& image, Volume& v) {
  if (!v.tried) {
    v.tried = true;
    v.fs = tsk_fs_open_img(image.imgs[v.disk], static_cast<TSK_OFF_T>(v.offset), TSK_FS_TYPE_FAT_DETECT);
    if (v.fs == nullptr) tsk_error_reset();
  }
  return v.fs;
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
