// An image opened by the image module: its disk (disk.h), read as the
// container format it is in, and its volumes (the partitions of its MBR, in the
// order DOS and Linux give them, or the image itself as one bare volume),
// each with its FAT file system (fat.h), opened over the disk when it is
// first needed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "diskimage/chain.h"
#include "diskimage/disk.h"
#include "diskimage/fat.h"
#include "diskimage/formats.h"
#include "diskimage/image.h"

namespace diskimage {

// A partition, or the whole image when it is a bare volume. Its file
// system is opened the first time it is needed: a disk of many partitions
// costs what the selector or the search looks at.
struct Volume {
  FatVolume where = {};
  std::size_t disk = 0;      // its disk among the image's
  int shownDisk = 0;         // the disk's number in labels and selectors; 0 where the image has one
  std::uint64_t offset = 0;  // in bytes
  bool dosFat = true;        // a type DOS gives a letter to
  std::uint8_t type = 0;     // the partition table's type byte; 0 for a bare volume
  std::uint64_t bytes = 0;   // its size as the table gives it (a bare volume: the disk's)
  std::string outside = {};  // it ends past the image's end: what lies there cannot be read
  char letter = 0;
  std::unique_ptr<FatFileSystem> fs = {};
  bool tried = false;
};

// Everything opened on one image, or on the hard disks of a machine's
// state, closed on every way out.
struct Image {
  std::vector<std::unique_ptr<Disk>> disks;
  std::vector<std::vector<std::string>> chains;  // each disk's files, child first
  std::vector<Volume> volumes;      // disk by disk
  std::vector<std::string> problems;  // of the partition table, one line each
  std::string readFailure;            // what the first read of a volume's boot sector that failed said
  std::vector<std::string> notes;     // what the disks' readers found wrong but read all the same
  int oemCodepage = kDefaultOemCodepage;  // of the volumes' short names

  Image() = default;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
};

// Opens the disk at path in format (none: as its first bytes say) and adds
// it and its volumes to image; snapshot names an internal snapshot of a
// qcow2 image (empty: its current state), and chain holds what the disk's
// machine says of its files. False with a message naming the disk and
// what is wrong.
bool AddDisk(Image& image, const std::string& path, std::optional<Container> format, const StateWanted& snapshot,
             Chain& chain, std::string* error);

// Lets go of what reading disk (an index into image.disks) holds: its
// container and its volumes' file systems. Its
// volumes stay, for their letters and labels, and read as holding none.
void CloseDisk(Image& image, std::size_t disk);

// Numbers the disks in labels, where there are several, and gives the
// volumes of all of them their DOS letters.
void FinishDisks(Image& image);

// A volume's FAT file system, opened now if it was not; null when it does
// not hold one.
FatFileSystem* FileSystem(Image& image, Volume& v);

// "partition 1 (C:)", or "the volume" for a bare one.
std::string Label(const Volume& v);

// What the partition table could not give, for a message that ends a
// search: " (...)", or nothing.
std::string Unread(const Image& image);

}  // namespace diskimage
