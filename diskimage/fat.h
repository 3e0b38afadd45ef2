// A FAT12, FAT16 or FAT32 file system over a disk's bytes (disk.h), read
// only where the files asked for lie: the boot sector, the entries of the
// allocation table a chain passes through, the directories on a path, and
// the clusters of a file read. Nothing is trusted: a chain that loops,
// leaves the volume, or disagrees with its file's size, a directory that
// loops or grows past what FAT allows, and a path deeper than DOS goes are
// refused, naming the file, the cluster and the cause, in time bounded by
// what the file or directory can hold.
//
// Written here rather than taken from The Sleuth Kit: it is some 90,000
// lines for the part of one file system used, does not build for the
// Windows 9x toolchain, and reads a failed read of the disk as zeros.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diskimage/disk.h"
#include "text/text.h"

namespace diskimage {

// DOS follows a path no deeper, and neither does this reader.
inline constexpr std::size_t kMaxFatDepth = 64;

// The OEM codepage a short name is written in where nothing says which:
// the IBM PC's, which every DOS codepage agrees with on ASCII.
inline constexpr int kDefaultOemCodepage = 437;

// An entry of a directory, as the reader shows it.
struct FatEntry {
  std::string name;       // the long name (UTF-8) where a whole run of long-name entries gives one, else the short name
  std::string shortName;  // "SYSTEM.DAT": the short name's bytes as the volume holds them
  std::string oemName;    // the short name decoded from the OEM codepage (UTF-8)
  bool directory = false;
  bool root = false;          // the volume's root directory, which no entry names
  std::uint32_t cluster = 0;  // the first; 0: none (an empty file, or FAT12 and FAT16's root)
  std::uint32_t size = 0;     // as the entry claims it; 0 for a directory
};

class FatFileSystem {
 public:
  // The FAT file system whose boot sector lies at offset of disk, which
  // must outlive it. Null with error saying why where the sector is no FAT
  // boot sector or its numbers make no volume, or, with unreadable set,
  // where the sector could not be read.
  static std::unique_ptr<FatFileSystem> Open(Disk& disk, std::uint64_t offset, std::string* error,
                                             bool* unreadable = nullptr, int oemCodepage = kDefaultOemCodepage);
  ~FatFileSystem();
  FatFileSystem(const FatFileSystem&) = delete;
  FatFileSystem& operator=(const FatFileSystem&) = delete;

  int bits() const { return bits_; }  // 12, 16 or 32
  std::uint64_t clusters() const { return clusters_; }
  std::uint32_t clusterBytes() const { return clusterBytes_; }
  // What the volume's data area can hold: no file on it is larger.
  std::uint64_t dataBytes() const { return std::uint64_t{clusters_} * clusterBytes_; }

  // The root directory, as an entry.
  FatEntry Root() const;

  // What path ("/WINDOWS/SYSTEM.DAT" or "\WINDOWS\SYSTEM.DAT") names: each
  // name matched as DOS matches it, by its long or its short name in any
  // letter case. nullopt where nothing is there (error left empty), or
  // where damage on the way stands in the way (error says what).
  std::optional<FatEntry> Find(std::string_view path, std::string* error);

  // The live entries of a directory, in its order: deleted ones, volume
  // labels, "." and ".." left out. False with error where the directory
  // cannot be read whole.
  bool List(const FatEntry& directory, std::string_view shown, std::vector<FatEntry>* out, std::string* error);

  // The bytes of a file, whose entry claims at most maxBytes (the caller
  // checks). shown names it in messages. False with error where its chain
  // cannot be followed or a read of the disk fails.
  bool Read(const FatEntry& file, std::string_view shown, std::string* bytes, std::string* error);
  // The same into the memory room gives for the file's size, which is
  // read into and never cleared first: the caller's own block, where it
  // keeps the bytes (the tools' hive, read once, with no copy); placed
  // says where in it they lie. A block with slack is whole pages of a
  // mapping of its own, slack bytes longer than the file: the file then
  // starts where its first byte lies in its page of the host file, and
  // its pages that lie in a row in a host file as they read are mapped
  // there instead of copied, read only where the reader goes, as a hive on
  // the host is.
  struct RoomBlock {
    char* bytes = nullptr;
    std::size_t slack = 0;  // 0, or HostFile::PageBytes()
  };
  using Room = std::function<RoomBlock(std::size_t size)>;
  bool Read(const FatEntry& file, std::string_view shown, const Room& room, std::string_view* placed,
            std::string* error);

 private:
  FatFileSystem(Disk& disk, std::uint64_t offset) : disk_(disk), offset_(offset) {}
  bool Parse(std::string_view boot, std::string* error);
  // The value of cluster's entry in the live FAT; false with error where it
  // cannot be read.
  bool Next(std::uint32_t cluster, std::uint32_t* next, std::string* error);
  bool ReadFatBytes(std::uint64_t at, unsigned char* out, std::size_t count, std::string* error);
  bool IsCluster(std::uint32_t value) const { return value >= 2 && value - 2 < clusters_; }
  bool IsEnd(std::uint32_t value) const;
  bool IsBad(std::uint32_t value) const;
  std::string Why(std::uint32_t value) const;
  // The clusters of a chain from first: as many as wanted (a file's, which
  // must end there), or up to its end mark and at most most (a
  // directory's). False with error naming shown.
  bool Follow(std::uint32_t first, std::optional<std::uint64_t> wanted, std::uint64_t most, std::string_view shown,
              std::vector<std::uint32_t>* out, std::string* error);
  // pages: out is whole pages that may be mapped over (RoomBlock).
  bool ReadClusters(const std::vector<std::uint32_t>& chain, std::uint64_t length, std::string_view shown, char* out,
                    std::string* error, bool pages = false);
  bool ReadSpan(std::uint64_t at, char* out, std::size_t length, std::string_view shown, std::string* error);
  bool MapOrReadSpan(std::uint64_t at, char* out, std::size_t length, std::string_view shown, std::string* error);
  bool DirectoryBytes(const FatEntry& directory, std::string_view shown, std::string* bytes, std::string* error);

  Disk& disk_;
  std::uint64_t offset_;
  int bits_ = 0;
  std::uint32_t sectorBytes_ = 0;
  std::uint32_t clusterBytes_ = 0;
  std::uint64_t clusters_ = 0;
  std::uint64_t fatAt_ = 0;   // the live FAT, in bytes from the volume's start
  std::uint64_t fatBytes_ = 0;
  std::uint64_t rootAt_ = 0;  // FAT12 and FAT16's fixed root
  std::uint32_t rootEntries_ = 0;
  std::uint32_t rootCluster_ = 0;  // FAT32's
  std::uint64_t dataAt_ = 0;
  // The last stretch of the FAT read: a chain is mostly read in order.
  std::uint64_t cachedAt_ = UINT64_MAX;
  std::string cached_;
  int oemCodepage_ = kDefaultOemCodepage;
  std::unique_ptr<text::TextConverter> oem_;
};

// Whether two names are one as DOS compares them: in any letter case (of
// ASCII, Latin-1, Greek and Cyrillic letters), as UTF-8.
bool SameFatName(std::string_view a, std::string_view b);

// The long name a run of long-name entries gives the short entry after
// them (32 bytes each, in the directory's order), or nullopt where the run
// is broken: parts missing or out of order, or a checksum that is not the
// short name's.
std::optional<std::string> LongNameOf(const std::vector<std::string_view>& run, std::string_view shortEntry);

}  // namespace diskimage
