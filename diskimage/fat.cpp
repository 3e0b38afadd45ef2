#include "diskimage/fat.h"

#include <algorithm>
#include <functional>
#include <unordered_set>

#include "bytes/bytes.h"
#include "diskimage/host_file.h"
#include "diskimage/layout/fat.h"
#include "diskimage/mapped_read.h"
#include "diskimage/layout/mbr_fat.h"
#include "diskimage/messages.h"
#include "text/text.h"
#include "text/unicode.h"

namespace diskimage {

namespace {

namespace boot = layout::fat_boot;
namespace table = layout::fat_table;
namespace entry = layout::fat_entry;
namespace shortname = layout::fat_short;
namespace longname = layout::fat_long;
using bytes::LittleEndian;

// What the FAT reads in one go: a chain mostly runs through one stretch.
constexpr std::uint64_t kFatStretch = 4096;

bool PowerOfTwo(std::uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

// A code point in the case DOS compares it in: upper case, for the
// letters of the scripts Windows 9x shipped codepages for. Other scripts
// compare as they stand.
std::uint32_t Folded(std::uint32_t c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;           // Latin-1
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17E && c != 0x130 && c != 0x131 && (c & 1) && c != 0x138 && c != 0x149) {
    // Latin Extended-A pairs its letters upper, lower, but for a shift
    // between U+0139 and U+0148 and after U+0178.
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return c;
    return c - 1;
  }
  if (((c >= 0x13A && c <= 0x148) || (c >= 0x17A && c <= 0x17E)) && (c & 1) == 0) return c - 1;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;         // Greek
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;                       // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

// The next code point of UTF-8 text; a byte that begins no valid sequence
// stands for itself, apart from every code point.
std::uint32_t NextCodePoint(std::string_view s, std::size_t& at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char lead = byte(at);
  std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
  if (length > 1 && at + length <= s.size()) {
    std::uint32_t c = lead & (0x7F >> length);
    bool valid = true;
    for (std::size_t i = 1; i < length; ++i) {
      valid = valid && (byte(at + i) & 0xC0) == 0x80;
      c = c << 6 | (byte(at + i) & 0x3F);
    }
    if (valid) {
      at += length;
      return c;
    }
  }
  ++at;
  return lead < 0x80 ? lead : 0x110000 + lead;
}

// The short name's 11 bytes as DOS shows them: "SYSTEM.DAT", "WINDOWS".
std::string ShortName(std::string_view raw) {
  auto trimmed = [](std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
  };
  std::string name = trimmed(raw.substr(0, entry::kBaseLength));
  if (!name.empty() && static_cast<unsigned char>(name[0]) == shortname::kKanjiE5) name[0] = '\xE5';
  std::string extension = trimmed(raw.substr(entry::kBaseLength, entry::kNameLength - entry::kBaseLength));
  if (!extension.empty()) name += "." + extension;
  return name;
}

std::uint8_t ShortNameChecksum(std::string_view raw) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < entry::kNameLength; ++i) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<unsigned char>(raw[i]));
  }
  return sum;
}

bool IsLongNamePart(LittleEndian e) { return (e.U8(entry::kAttributes) & 0x3F) == entry::kLongName; }

// The names on a path, '\' or '/' between them, empty ones dropped.
std::vector<std::string_view> Names(std::string_view path) {
  std::vector<std::string_view> names;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find_first_of("/\\", at);
    if (end == std::string_view::npos) end = path.size();
    if (end > at) names.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

// The live entries of a directory's bytes, each with the long name its
// run of long-name entries gives where the run is whole.
std::vector<FatEntry> ParseDirectory(std::string_view bytes, int bits, const std::function<std::string(std::string_view)>& oem) {
  std::vector<FatEntry> entries;
  std::vector<std::string_view> run;
  for (std::size_t at = 0; at + entry::kBytes <= bytes.size(); at += entry::kBytes) {
    std::string_view raw = bytes.substr(at, entry::kBytes);
    LittleEndian e(raw);
    auto first = e.U8(entry::kName);
    if (first == entry::kEnd) break;
    if (first == entry::kDeleted) {
      run.clear();
      continue;
    }
    if (IsLongNamePart(e)) {
      if ((first & longname::kLastPart) != 0) run.clear();
      run.push_back(raw);
      continue;
    }
    std::optional<std::string> longName = run.empty() ? std::nullopt : LongNameOf(run, raw);
    run.clear();
    auto attributes = e.U8(entry::kAttributes);
    if ((attributes & entry::kVolumeLabel) != 0) continue;
    FatEntry found;
    found.shortName = ShortName(raw.substr(entry::kName, entry::kNameLength));
    if (found.shortName == "." || found.shortName == "..") continue;
    found.oemName = text::IsAscii(found.shortName) ? found.shortName : oem(found.shortName);
    found.name = longName ? *longName : found.oemName;
    found.directory = (attributes & shortname::kDirectory) != 0;
    std::uint32_t high = bits == 32 ? e.U16(shortname::kClusterHigh) : 0;
    found.cluster = high << 16 | e.U16(shortname::kClusterLow);
    found.size = found.directory ? 0 : e.U32(entry::kSize);
    entries.push_back(std::move(found));
  }
  return entries;
}

}  // namespace

bool SameFatName(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (Folded(NextCodePoint(a, i)) != Folded(NextCodePoint(b, j))) return false;
  }
  return i == a.size() && j == b.size();
}

std::optional<std::string> LongNameOf(const std::vector<std::string_view>& run, std::string_view shortEntry) {
  if (run.empty() || run.size() > longname::kMaxParts) return std::nullopt;
  const std::uint8_t checksum = ShortNameChecksum(shortEntry.substr(entry::kName, entry::kNameLength));
  std::string units;
  // The run stands last part first: its ordinals count down to 1.
  for (std::size_t i = 0; i < run.size(); ++i) {
    LittleEndian e(run[i]);
    auto ordinal = e.U8(longname::kOrdinal);
    bool last = (ordinal & longname::kLastPart) != 0;
    if (last != (i == 0) || (ordinal & longname::kOrdinalMask) != run.size() - i ||
        e.U8(longname::kChecksum) != checksum) {
      return std::nullopt;
    }
  }
  for (std::size_t i = run.size(); i-- > 0;) {
    for (const auto& piece : longname::kPieces) units.append(run[i].substr(piece[0], piece[1] * 2));
  }
  for (std::size_t at = 0; at + 1 < units.size(); at += 2) {
    if (units[at] == '\0' && units[at + 1] == '\0') {
      units.resize(at);
      break;
    }
  }
  std::string name;
  if (units.empty() || !text::Utf16ToUtf8(units, name, true)) return std::nullopt;
  return name;
}

FatFileSystem::~FatFileSystem() = default;

std::unique_ptr<FatFileSystem> FatFileSystem::Open(Disk& disk, std::uint64_t offset, std::string* error,
                                                   bool* unreadable, int oemCodepage) {
  std::string sector(layout::kSectorBytes, '\0');
  std::string why;
  std::int64_t got = disk.Read(offset, sector.data(), sector.size(), &why);
  if (got != static_cast<std::int64_t>(sector.size())) {
    *error = got < 0 ? why : "its boot sector lies past the disk's end";
    if (unreadable != nullptr) *unreadable = got < 0;
    return nullptr;
  }
  std::unique_ptr<FatFileSystem> fs(new FatFileSystem(disk, offset));
  if (!fs->Parse(sector, error)) return nullptr;
  fs->oemCodepage_ = oemCodepage;
  return fs;
}

bool FatFileSystem::Parse(std::string_view boot, std::string* error) {
  LittleEndian b(boot);
  auto nonsense = [&](const std::string& what) {
    *error = "its boot sector is no FAT boot sector: " + what;
    return false;
  };
  auto jump = b.U8(boot::kJump);
  if (jump != 0xEB && jump != 0xE9) return nonsense("it begins with no jump");
  sectorBytes_ = b.U16(boot::kBytesPerSector);
  if (sectorBytes_ < 512 || sectorBytes_ > 4096 || !PowerOfTwo(sectorBytes_)) {
    return nonsense(std::to_string(sectorBytes_) + " bytes a sector");
  }
  std::uint32_t perCluster = b.U8(boot::kSectorsPerCluster);
  if (!PowerOfTwo(perCluster) || perCluster * sectorBytes_ > 65536) {
    return nonsense(std::to_string(perCluster) + " sectors a cluster");
  }
  clusterBytes_ = perCluster * sectorBytes_;
  std::uint64_t reserved = b.U16(boot::kReservedSectors);
  std::uint64_t fats = b.U8(boot::kFats);
  auto media = b.U8(boot::kMedia);
  if (reserved == 0 || fats == 0 || (media != 0xF0 && media < 0xF8)) {
    return nonsense("reserved sectors " + std::to_string(reserved) + ", FATs " + std::to_string(fats) + ", media " +
                    std::to_string(media));
  }
  std::uint64_t sectors = b.U16(boot::kSectors16) != 0 ? b.U16(boot::kSectors16) : b.U32(boot::kSectors32);
  std::uint64_t fatSectors = b.U16(boot::kFatSectors16) != 0 ? b.U16(boot::kFatSectors16) : b.U32(boot::kFatSectors32);
  rootEntries_ = b.U16(boot::kRootEntries);
  std::uint64_t rootSectors = (std::uint64_t{rootEntries_} * entry::kBytes + sectorBytes_ - 1) / sectorBytes_;
  std::uint64_t dataSector = reserved + fats * fatSectors + rootSectors;
  if (fatSectors == 0 || dataSector >= sectors) {
    return nonsense("its FATs and root (" + std::to_string(dataSector) + " sectors) leave no room for data in its " +
                    std::to_string(sectors));
  }
  clusters_ = (sectors - dataSector) / perCluster;
  bits_ = clusters_ <= table::kMaxFat12Clusters ? 12 : clusters_ <= table::kMaxFat16Clusters ? 16 : 32;
  if (clusters_ == 0) return nonsense("no whole cluster");
  std::uint64_t activeFat = 0;
  if (bits_ == 32) {
    if (rootEntries_ != 0 || b.U16(boot::kFatSectors16) != 0) return nonsense("a FAT32 volume with a fixed root");
    std::uint16_t flags = b.U16(boot::kExtendedFlags);
    // Mirroring off: only the one FAT the flags name is kept up to date.
    if ((flags & boot::kMirroringOff) != 0) activeFat = flags & boot::kActiveFatMask;
    if (activeFat >= fats) return nonsense("its live FAT is number " + std::to_string(activeFat) + " of " + std::to_string(fats));
    rootCluster_ = b.U32(boot::kRootCluster);
    if (!IsCluster(rootCluster_)) return nonsense("its root directory at cluster " + std::to_string(rootCluster_));
  } else if (rootEntries_ == 0) {
    return nonsense("a FAT" + std::to_string(bits_) + " volume without a root directory");
  }
  fatBytes_ = fatSectors * sectorBytes_;
  // Every cluster needs its entry, and two entries come before the first.
  if ((clusters_ + 2) * static_cast<std::uint64_t>(bits_) > fatBytes_ * 8) {
    return nonsense("a FAT of " + std::to_string(fatBytes_) + " bytes for " + std::to_string(clusters_) + " clusters");
  }
  fatAt_ = (reserved + activeFat * fatSectors) * sectorBytes_;
  rootAt_ = (reserved + fats * fatSectors) * sectorBytes_;
  dataAt_ = dataSector * sectorBytes_;
  return true;
}

FatEntry FatFileSystem::Root() const {
  FatEntry root;
  root.directory = true;
  root.root = true;
  root.cluster = bits_ == 32 ? rootCluster_ : 0;
  return root;
}

bool FatFileSystem::IsEnd(std::uint32_t value) const {
  return value >= (bits_ == 12 ? table::kEnd12 : bits_ == 16 ? table::kEnd16 : table::kEnd32);
}

bool FatFileSystem::IsBad(std::uint32_t value) const {
  return value == (bits_ == 12 ? table::kBad12 : bits_ == 16 ? table::kBad16 : table::kBad32);
}

// Why a value of the FAT is no next cluster of a chain.
std::string FatFileSystem::Why(std::uint32_t value) const {
  if (value == table::kFree) return "reaches a free cluster";
  if (IsBad(value)) return "reaches a cluster marked bad";
  return "leaves the volume (cluster " + std::to_string(value) + "; its clusters are 2 to " +
         std::to_string(clusters_ + 1) + ")";
}

bool FatFileSystem::ReadFatBytes(std::uint64_t at, unsigned char* out, std::size_t count, std::string* error) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t stretch = (at + i) / kFatStretch * kFatStretch;
    if (stretch != cachedAt_) {
      std::uint64_t length = std::min(kFatStretch, fatBytes_ - stretch);
      cached_.assign(length, '\0');
      std::string why;
      std::int64_t got = disk_.Read(offset_ + fatAt_ + stretch, cached_.data(), cached_.size(), &why);
      if (got != static_cast<std::int64_t>(length)) {
        cachedAt_ = UINT64_MAX;
        *error = "its FAT cannot be read at byte " + std::to_string(offset_ + fatAt_ + stretch) + ": " +
                 (got < 0 ? why : "the disk ends there");
        return false;
      }
      cachedAt_ = stretch;
    }
    out[i] = static_cast<unsigned char>(cached_[at + i - stretch]);
  }
  return true;
}

bool FatFileSystem::Next(std::uint32_t cluster, std::uint32_t* next, std::string* error) {
  unsigned char b[4] = {};
  if (bits_ == 12) {
    std::uint64_t at = std::uint64_t{cluster} * 3 / 2;
    if (!ReadFatBytes(at, b, 2, error)) return false;
    std::uint32_t pair = b[0] | std::uint32_t{b[1]} << 8;
    *next = (cluster & 1) != 0 ? pair >> 4 : pair & 0xFFF;
    return true;
  }
  std::size_t width = bits_ / 8;
  if (!ReadFatBytes(std::uint64_t{cluster} * width, b, width, error)) return false;
  LittleEndian e(b, width);
  *next = bits_ == 16 ? e.U16(0) : e.U32(0) & table::kFat32Mask;
  return true;
}

bool FatFileSystem::Follow(std::uint32_t first, std::optional<std::uint64_t> wanted, std::uint64_t most,
                           std::string_view shown, std::vector<std::uint32_t>* out, std::string* error) {
  const std::string name = WindowsPath(std::string(shown));
  auto fail = [&](const std::string& why) {
    *error = name + ": " + why;
    return false;
  };
  out->clear();
  if (!IsCluster(first)) {
    return fail("its first cluster, " + std::to_string(first) + ", is none of the volume's (2 to " +
                std::to_string(clusters_ + 1) + ")");
  }
  // A file's chain is as long as its size says, and so bounded before a
  // cluster is read; a directory's is bounded by what FAT lets one hold.
  std::uint64_t limit = wanted ? *wanted : most;
  std::unordered_set<std::uint32_t> seen;
  std::uint32_t cluster = first;
  for (;;) {
    if (!wanted && !seen.insert(cluster).second) return fail("its chain loops back to cluster " + std::to_string(cluster));
    out->push_back(cluster);
    std::uint32_t next = 0;
    if (!Next(cluster, &next, error)) return fail(*error);
    if (IsEnd(next)) break;
    if (!IsCluster(next)) return fail("its chain " + Why(next) + " after cluster " + std::to_string(cluster));
    if (out->size() == limit) {
      if (!wanted) return fail("it holds more than " + std::to_string(entry::kMaxEntries) + " entries");
      // One cluster more than the size needs: a loop, or a chain too long.
      if (std::find(out->begin(), out->end(), next) != out->end()) {
        return fail("its chain loops back to cluster " + std::to_string(next) + " from cluster " + std::to_string(cluster));
      }
      return fail("its chain runs on past cluster " + std::to_string(cluster) + ", the last its size of " +
                  std::to_string(*wanted * clusterBytes_) + " bytes or less needs");
    }
    cluster = next;
  }
  if (wanted && out->size() < *wanted) {
    return fail("its chain ends at cluster " + std::to_string(cluster) + " after " + std::to_string(out->size()) +
                " clusters, short of the " + std::to_string(*wanted) + " its size needs");
  }
  if (wanted) {
    // A file's clusters taken in turn may still meet one twice.
    std::vector<std::uint32_t> sorted = *out;
    std::sort(sorted.begin(), sorted.end());
    auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end()) return fail("its chain loops back to cluster " + std::to_string(*twice));
  }
  return true;
}

bool FatFileSystem::ReadSpan(std::uint64_t at, char* out, std::size_t length, std::string_view shown,
                             std::string* error) {
  std::string why;
  std::int64_t got = disk_.Read(offset_ + at, out, length, &why);
  if (got == static_cast<std::int64_t>(length)) return true;
  *error = "cannot read " + WindowsPath(std::string(shown)) + ": " +
           (got < 0 ? why : "the disk ends at byte " + std::to_string(offset_ + at + static_cast<std::uint64_t>(got)));
  return false;
}

// The file's bytes a disk cannot place in a host file are read 64 KiB at
// a time (a qcow2 cluster's or a VMDK grain's), or a cluster where that is
// more: a disk that keeps its bytes compressed, or a library's, is read in
// a few large pieces, not page by page.
bool FatFileSystem::MapOrReadSpan(std::uint64_t at, char* out, std::size_t length, std::string_view shown,
                                  std::string* error) {
  constexpr std::size_t kUnplacedPiece = 64 << 10;
  return MapOrRead(disk_, offset_ + at, out, length, std::max<std::size_t>(kUnplacedPiece, clusterBytes_),
                   [&](std::uint64_t from, char* to, std::size_t n) { return ReadSpan(from - offset_, to, n, shown, error); });
}

bool FatFileSystem::ReadClusters(const std::vector<std::uint32_t>& chain, std::uint64_t length, std::string_view shown,
                                 char* out, std::string* error, bool pages) {
  std::uint64_t done = 0;
  // Clusters in a row on the disk are read in one go.
  for (std::size_t i = 0; i < chain.size() && done < length;) {
    std::size_t run = 1;
    while (i + run < chain.size() && chain[i + run] == chain[i] + run) ++run;
    std::uint64_t piece = std::min<std::uint64_t>(length - done, std::uint64_t{run} * clusterBytes_);
    std::uint64_t at = dataAt_ + std::uint64_t{chain[i] - table::kFirstDataCluster} * clusterBytes_;
    bool read = pages ? MapOrReadSpan(at, out + done, static_cast<std::size_t>(piece), shown, error)
                      : ReadSpan(at, out + done, static_cast<std::size_t>(piece), shown, error);
    if (!read) return false;
    done += piece;
    i += run;
  }
  return true;
}

bool FatFileSystem::Read(const FatEntry& file, std::string_view shown, std::string* bytes, std::string* error) {
  bytes->clear();
  std::string_view placed;
  return Read(file, shown, [bytes](std::size_t size) {
    bytes->assign(size, '\0');
    return RoomBlock{bytes->data()};
  }, &placed, error);
}

bool FatFileSystem::Read(const FatEntry& file, std::string_view shown, const Room& room, std::string_view* placed,
                         std::string* error) {
  if (file.size == 0) {
    *placed = std::string_view(room(0).bytes, 0);
    return true;
  }
  std::uint64_t wanted = (std::uint64_t{file.size} + clusterBytes_ - 1) / clusterBytes_;
  if (wanted > clusters_) {
    *error = WindowsPath(std::string(shown)) + ": its entry claims " + std::to_string(file.size) +
             " bytes, more than the volume's " + std::to_string(dataBytes());
    return false;
  }
  std::vector<std::uint32_t> chain;
  if (!Follow(file.cluster, wanted, wanted, shown, &chain, error)) return false;
  RoomBlock block = room(file.size);
  // In step with the host file's pages where the first byte lies in one.
  std::size_t lead = 0;
  if (block.slack != 0) {
    HostRun first = disk_.Locate(offset_ + dataAt_ + std::uint64_t{chain.front() - table::kFirstDataCluster} * clusterBytes_, 1);
    if (first.file != nullptr) lead = static_cast<std::size_t>(first.offset % block.slack);
  }
  *placed = std::string_view(block.bytes + lead, file.size);
  return ReadClusters(chain, file.size, shown, block.bytes + lead, error, block.slack != 0);
}

bool FatFileSystem::DirectoryBytes(const FatEntry& directory, std::string_view shown, std::string* bytes,
                                   std::string* error) {
  constexpr std::uint64_t kMaxBytes = entry::kMaxEntries * entry::kBytes;
  if (directory.root && bits_ != 32) {
    // FAT12 and FAT16's root: a fixed stretch after the FATs.
    bytes->assign(std::uint64_t{rootEntries_} * entry::kBytes, '\0');
    return ReadSpan(rootAt_, bytes->data(), bytes->size(), shown, error);
  }
  std::vector<std::uint32_t> chain;
  std::uint64_t most = (kMaxBytes + clusterBytes_ - 1) / clusterBytes_;
  if (!Follow(directory.cluster, std::nullopt, most, shown, &chain, error)) return false;
  bytes->assign(chain.size() * std::uint64_t{clusterBytes_}, '\0');
  return ReadClusters(chain, bytes->size(), shown, bytes->data(), error);
}

bool FatFileSystem::List(const FatEntry& directory, std::string_view shown, std::vector<FatEntry>* out,
                         std::string* error) {
  std::string bytes;
  if (!DirectoryBytes(directory, shown.empty() ? "\\" : shown, &bytes, error)) return false;
  // The codepage's converter only for a name that needs one: most
  // volumes hold ASCII names alone.
  *out = ParseDirectory(bytes, bits_, [this](std::string_view name) {
    if (oem_ == nullptr) oem_ = text::TextConverter::Open(text::CodepageCharset(oemCodepage_), "UTF-8");
    return oem_ != nullptr ? oem_->Convert(name) : std::string(name);
  });
  return true;
}

std::optional<FatEntry> FatFileSystem::Find(std::string_view path, std::string* error) {
  error->clear();
  std::vector<std::string_view> names = Names(path);
  if (names.size() > kMaxFatDepth) {
    *error = WindowsPath(std::string(path)) + ": deeper than the " + std::to_string(kMaxFatDepth) + " levels DOS follows";
    return std::nullopt;
  }
  FatEntry at = Root();
  std::string shown;
  std::vector<FatEntry> entries;
  for (std::string_view name : names) {
    if (!at.directory) return std::nullopt;
    if (!List(at, shown, &entries, error)) return std::nullopt;
    auto match = std::find_if(entries.begin(), entries.end(), [&](const FatEntry& e) {
      return SameFatName(e.name, name) || SameFatName(e.shortName, name) || SameFatName(e.oemName, name);
    });
    if (match == entries.end()) return std::nullopt;
    at = std::move(*match);
    shown.append("\\").append(at.name);
  }
  return at;
}

}  // namespace diskimage
