#include "diskimage/volumes.h"

#include <cstdio>

#include "diskimage/fat_files.h"
#include "diskimage/layout.h"

namespace diskimage {

Image::~Image() {
  for (Volume& v : volumes) {
    if (v.fs != nullptr) tsk_fs_close(v.fs);
  }
  if (img != nullptr) tsk_img_close(img);
}

namespace {

// Reads length bytes of a file at offset; false where it ends.
bool ReadAt(std::FILE* file, std::uint64_t offset, std::size_t length, std::string* out) {
  out->assign(length, '\0');
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(out->data(), 1, length, file) == length;
}

// Every segment of an EWF image is there, from the first to the one that
// says it is the last: the library would read a missing one as zeros.
bool EwfSegmentsPresent(const std::string& path, std::string* error) {
  constexpr int kMaxSegments = 99 + 22 * 26 * 26;
  for (int n = 1; n <= kMaxSegments; ++n) {
    std::string name = n == 1 ? path : EwfSegmentName(path, n);
    std::FILE* file = name.empty() ? nullptr : std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
      *error = path + ": segment " + (name.empty() ? std::to_string(n) : name) + " missing";
      return false;
    }
    EwfSegment segment = ReadEwfSegment(
        [file](std::uint64_t offset, std::size_t length, std::string* out) { return ReadAt(file, offset, length, out); });
    std::fclose(file);
    if (!segment.valid) {
      *error = path + ": segment " + name + " is damaged: its sections cannot be followed to its end";
      return false;
    }
    if (segment.last) return true;
  }
  *error = path + ": more segments than EWF can name";
  return false;
}

// The library's image, opened as the container format it is: should the
// library fail, its reason is passed on, where a guess would read the file
// as raw.
bool OpenContainer(Image& image, const std::string& path, ImageKind kind, std::string* error) {
  TSK_IMG_TYPE_ENUM type = TSK_IMG_TYPE_DETECT;
  const char* format = nullptr;
  if (kind == ImageKind::kVmdk) type = TSK_IMG_TYPE_VMDK_VMDK, format = "a VMDK";
  if (kind == ImageKind::kVhd) type = TSK_IMG_TYPE_VHD_VHD, format = "a VHD";
  if (kind == ImageKind::kE01) type = TSK_IMG_TYPE_EWF_EWF, format = "an E01";
  if (kind == ImageKind::kE01 && !EwfSegmentsPresent(path, error)) return false;
  image.img = tsk_img_open_sing(path.c_str(), type, 0);
  if (image.img == nullptr) {
    *error = path + (format != nullptr ? std::string(": cannot be read as ") + format + " image: "
                                       : std::string(": cannot be read as a disk image: ")) +
             FirstLine(TskError());
    return false;
  }
  return true;
}

// Letters as DOS gives them, by the partitions' types.
void GiveLetters(Image& image) {
  std::vector<std::size_t> lettered;
  std::vector<FatVolume> where;
  for (std::size_t i = 0; i < image.volumes.size(); ++i) {
    if (!image.volumes[i].dosFat) continue;
    lettered.push_back(i);
    where.push_back(image.volumes[i].where);
  }
  std::vector<char> letters = DriveLetters(where);
  for (std::size_t i = 0; i < letters.size(); ++i) image.volumes[lettered[i]].letter = letters[i];
}

}  // namespace

bool OpenVolumes(Image& image, const std::string& path, ImageKind kind, std::string* error) {
  if (!OpenContainer(image, path, kind, error)) return false;
  constexpr std::uint64_t kSector = layout::kSectorBytes;
  auto sectors = static_cast<std::uint64_t>(image.img->size) / kSector;
  std::string unreadable;  // the library's word on a sector it could not read
  auto readSector = [&](std::uint64_t sector, std::string* bytes) {
    if (sector >= sectors) return false;
    bytes->assign(kSector, '\0');
    ssize_t got = tsk_img_read(image.img, static_cast<TSK_OFF_T>(sector * kSector), bytes->data(), kSector);
    if (got != static_cast<ssize_t>(kSector)) {
      if (unreadable.empty()) unreadable = got < 0 ? TskError() : "it ends inside sector " + std::to_string(sector);
      return false;
    }
    return true;
  };
  // A bare volume first: a FAT boot sector carries the MBR's signature too.
  if (TSK_FS_INFO* fs = tsk_fs_open_img(image.img, 0, TSK_FS_TYPE_FAT_DETECT)) {
    image.volumes.push_back(Volume{.where = FatVolume{0, false}, .fs = fs, .tried = true});
    return true;
  }
  tsk_error_reset();
  PartitionTable table = ReadPartitionTable(readSector);
  if (!unreadable.empty() && !table.found) {
    *error = path + ": cannot be read: " + unreadable;
    return false;
  }
  image.problems = table.problems;
  for (const Partition& p : table.partitions) {
    Volume v{.where = FatVolume{p.number, p.logical}, .offset = p.start * kSector, .dosFat = IsDosFatType(p.type)};
    if (p.start + p.sectors > sectors) v.outside = "partition " + std::to_string(p.number) + " ends past the image's end";
    image.volumes.push_back(std::move(v));
  }
  if (!table.found || image.volumes.empty()) {
    *error = path + ": no FAT volume in the image" + (table.found ? "'s partitions" : "");
    if (!unreadable.empty()) *error += " (" + unreadable + ")";
    return false;
  }
  GiveLetters(image);
  return true;
}

TSK_FS_INFO* FileSystem(const Image& image, Volume& v) {
  if (!v.tried && v.outside.empty()) {
    v.tried = true;
    v.fs = tsk_fs_open_img(image.img, static_cast<TSK_OFF_T>(v.offset), TSK_FS_TYPE_FAT_DETECT);
    if (v.fs == nullptr) tsk_error_reset();
  }
  return v.fs;
}

std::string Label(const Volume& v) {
  std::string label = v.where.number == 0 ? "the volume" : "partition " + std::to_string(v.where.number);
  if (v.letter != 0) label += std::string(" (") + v.letter + ":)";
  return label;
}

std::string Unread(const Image& image) {
  std::string said;
  for (const Volume& v : image.volumes) {
    if (!v.outside.empty()) said += (said.empty() ? "" : "; ") + v.outside;
  }
  for (const std::string& problem : image.problems) said += (said.empty() ? "" : "; ") + problem;
  return said.empty() ? "" : " (" + said + ")";
}

}  // namespace diskimage
