// An image opened by the image module: its disk (disk.h), read as the kind
// the caller detected, and its volumes (the partitions of its MBR, in the
// order DOS and Linux give them, or the image itself as one bare volume),
// each with its FAT file system, which The Sleuth Kit opens over the disk
// when it is first needed.
#pragma once

#include <tsk/libtsk.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diskimage/disk.h"
#include "diskimage/image.h"

namespace diskimage {

// A partition, or the whole image when it is a bare volume. Its file
// system is opened the first time it is needed: a disk of many partitions
// costs what the selector or the search looks at.
struct Volume {
  FatVolume where = {};
  std::uint64_t offset = 0;  // in bytes
  bool dosFat = true;        // a type DOS gives a letter to
  std::string outside = {};  // it ends past the image's end: what lies there cannot be read
  char letter = 0;
  TSK_FS_INFO* fs = nullptr;
  bool tried = false;
};

// Everything opened on one image, closed on every way out.
struct Image {
  std::unique_ptr<Disk> disk;
  TSK_IMG_INFO* img = nullptr;  // the library's view of disk
  std::vector<Volume> volumes;
  std::vector<std::string> problems;  // of the partition table, one line each

  Image() = default;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  ~Image();
};

// Opens the image at path as kind and finds its volumes. False with a
// message naming the image and what is wrong.
bool OpenVolumes(Image& image, const std::string& path, ImageKind kind, std::string* error);

// A volume's FAT file system, opened now if it was not; null when it does
// not hold one.
TSK_FS_INFO* FileSystem(const Image& image, Volume& v);

// "partition 1 (C:)", or "the volume" for a bare one.
std::string Label(const Volume& v);

// What the partition table could not give, for a message that ends a
// search: " (...)", or nothing.
std::string Unread(const Image& image);

}  // namespace diskimage
