#include "diskimage/image.h"

#include <algorithm>
#include <cstring>

namespace diskimage {

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

ImageKind DetectImage(std::string_view head, std::string_view tail) {
  if (head.starts_with("CREG") || head.starts_with("REGEDIT4") || head.starts_with("\xFF\xFE") ||
      head.starts_with("\xEF\xBB\xBF") || head.starts_with("Windows Registry Editor")) {
    return ImageKind::kNone;
  }
  if (head.starts_with("QFI\xFB")) return ImageKind::kQcow2;
  if (head.size() >= 0x44 && std::memcmp(head.data() + 0x40, "\x7F\x10\xDA\xBE", 4) == 0) return ImageKind::kVdi;
  if (head.starts_with("EVF\x09\x0D\x0A\xFF\x00")) return ImageKind::kE01;
  if (head.starts_with("KDMV") || head.starts_with("# Disk DescriptorFile")) return ImageKind::kVmdk;
  if (head.starts_with("conectix") || tail.starts_with("conectix")) return ImageKind::kVhd;
  // A master boot record or a FAT boot sector: the same signature at 510.
  if (head.size() >= 512 && head[510] == '\x55' && head[511] == '\xAA') return ImageKind::kDisk;
  return ImageKind::kNone;
}

bool ParseImageSelector(std::string_view entry, ImageSelector* out, std::string* error) {
  std::size_t hash = entry.rfind('#');
  *out = ImageSelector{};
  out->image = std::string(entry.substr(0, hash));
  if (hash == std::string_view::npos) return true;
  std::string_view rest = entry.substr(hash + 1);
  while (!rest.empty()) {
    std::size_t amp = rest.find('&');
    std::string_view item = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
    std::size_t eq = item.find('=');
    std::string_view key = item.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
    if (eq == std::string_view::npos || value.empty()) {
      *error = std::string(entry) + ": expected part=N, path=... or cab=... after '#', found '" + std::string(item) + "'";
      return false;
    }
    bool given = key == "part" ? out->partition >= 0 : key == "path" ? !out->path.empty()
                 : key == "cab"    ? !out->cab.empty()
                                   : false;
    if (given) {
      *error = std::string(entry) + ": " + std::string(key) + "= is given twice";
      return false;
    }
    if (key == "part") {
      if (value.size() > 3 || value.find_first_not_of("0123456789") != std::string_view::npos) {
        *error = std::string(entry) + ": part= takes a partition number, found '" + std::string(value) + "'";
        return false;
      }
      out->partition = std::stoi(std::string(value));
    } else if (key == "path") {
      out->path = std::string(value);
    } else if (key == "cab") {
      out->cab = std::string(value);
    } else {
      *error = std::string(entry) + ": unknown selector '" + std::string(key) + "' (part, path or cab)";
      return false;
    }
  }
  if (!out->cab.empty() && out->path.empty()) {
    *error = std::string(entry) + ": cab= names a file inside the cabinet that path= names";
    return false;
  }
  return true;
}

std::optional<WindowsDirectory> ParseMsdosSys(std::string_view text) {
  bool inPaths = false;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.starts_with('[')) {
      std::string section;
      for (char c : line) section += Upper(c);
      inPaths = section == "[PATHS]";
      continue;
    }
    std::size_t eq = line.find('=');
    if (!inPaths || eq == std::string_view::npos) continue;
    std::string key;
    for (char c : Trim(line.substr(0, eq))) key += Upper(c);
    if (key != "WINDIR") continue;
    std::string_view value = Trim(line.substr(eq + 1));
    // A drive letter, a colon and a path from the root.
    if (value.size() < 3 || value[1] != ':' || (value[2] != '\\' && value[2] != '/')) return std::nullopt;
    char drive = Upper(value[0]);
    if (drive < 'A' || drive > 'Z') return std::nullopt;
    return WindowsDirectory{drive, std::string(value.substr(2))};
  }
  return std::nullopt;
}

namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kTableAt = 446;  // the four entries of an MBR or an EBR
constexpr std::size_t kEntryBytes = 16;

std::uint32_t Le32(std::string_view b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
  return v;
}

bool Signed(std::string_view sector) {
  return sector.size() >= kSectorBytes && sector[510] == '\x55' && sector[511] == '\xAA';
}

struct Entry {
  std::uint8_t type;
  std::uint32_t start;
  std::uint32_t sectors;
  bool empty() const { return type == 0 || sectors == 0; }
};

Entry EntryOf(std::string_view sector, int slot) {
  std::size_t at = kTableAt + kEntryBytes * static_cast<std::size_t>(slot);
  return Entry{static_cast<std::uint8_t>(sector[at + 4]), Le32(sector, at + 8), Le32(sector, at + 12)};
}

bool IsExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

}  // namespace

bool IsDosFatType(std::uint8_t type) {
  return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E;
}

PartitionTable ReadPartitionTable(const std::function<bool(std::uint64_t sector, std::string* bytes)>& readSector) {
  PartitionTable table;
  std::string mbr;
  if (!readSector(0, &mbr) || !Signed(mbr)) return table;
  table.found = true;
  std::optional<std::uint64_t> extended;
  for (int slot = 0; slot < 4; ++slot) {
    Entry e = EntryOf(mbr, slot);
    if (e.empty()) continue;
    if (IsExtended(e.type)) {
      if (!extended) extended = e.start;
      continue;
    }
    table.partitions.push_back(Partition{slot + 1, false, e.type, e.start, e.sectors});
  }
  if (!extended) return table;
  // Each EBR holds one logical partition (its start counted from the EBR)
  // and the link to the next EBR (counted from the extended partition).
  std::uint64_t ebr = *extended;
  std::vector<std::uint64_t> visited;
  int number = 5;
  for (int followed = 0;; ++followed) {
    if (followed == kMaxLogicalPartitions) {
      table.problems.push_back("the chain of logical partitions goes on past " + std::to_string(kMaxLogicalPartitions) +
                               " links; the rest is not read");
      break;
    }
    if (std::find(visited.begin(), visited.end(), ebr) != visited.end()) {
      table.problems.push_back("the chain of logical partitions loops back to sector " + std::to_string(ebr));
      break;
    }
    visited.push_back(ebr);
    std::string sector;
    if (!readSector(ebr, &sector) || !Signed(sector)) {
      table.problems.push_back("the chain of logical partitions breaks at sector " + std::to_string(ebr));
      break;
    }
    Entry logical = EntryOf(sector, 0);
    if (!logical.empty()) table.partitions.push_back(Partition{number++, true, logical.type, ebr + logical.start, logical.sectors});
    Entry next = EntryOf(sector, 1);
    if (next.empty() || !IsExtended(next.type)) break;
    ebr = *extended + next.start;
  }
  return table;
}

EwfSegment ReadEwfSegment(const std::function<bool(std::uint64_t offset, std::size_t length, std::string* out)>& read) {
  // A 13-byte file header (the segment number at 9), then sections: a
  // 16-byte type, the offset of the next section and the section's size.
  constexpr std::size_t kFileHeader = 13, kSection = 76;
  constexpr int kMaxSections = 1 << 20;
  EwfSegment segment;
  std::string bytes;
  if (!read(0, kFileHeader, &bytes) || !bytes.starts_with(std::string_view("EVF\x09\x0D\x0A\xFF\x00", 8))) {
    return segment;
  }
  segment.number = static_cast<unsigned char>(bytes[9]) | static_cast<unsigned char>(bytes[10]) << 8;
  std::uint64_t at = kFileHeader;
  for (int i = 0; i < kMaxSections && read(at, kSection, &bytes); ++i) {
    std::string_view type(bytes.data(), std::min<std::size_t>(bytes.find('\0'), 16));
    if (type == "done" || type == "next") {
      segment.valid = true;
      segment.last = type == "done";
      return segment;
    }
    std::uint64_t next = 0;
    for (int b = 7; b >= 0; --b) next = next << 8 | static_cast<unsigned char>(bytes[16 + static_cast<std::size_t>(b)]);
    if (next <= at) return segment;  // sections only go forward: anything else is damage
    at = next;
  }
  return segment;
}

std::string EwfSegmentName(std::string_view first, int n) {
  std::size_t dot = first.rfind('.');
  if (dot == std::string_view::npos || first.size() - dot != 4 || n < 1) return {};
  bool lower = first[dot + 1] >= 'a' && first[dot + 1] <= 'z';
  std::string extension;
  if (n <= 99) {
    extension = std::string(1, 'E') + static_cast<char>('0' + n / 10) + static_cast<char>('0' + n % 10);
  } else {
    // EAA to EZZ, then FAA on, as far as ZZZ.
    int k = n - 100;
    if (k >= 22 * 26 * 26) return {};
    extension = std::string(1, static_cast<char>('E' + k / (26 * 26))) + static_cast<char>('A' + k / 26 % 26) +
                static_cast<char>('A' + k % 26);
  }
  if (lower) {
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
  }
  return std::string(first.substr(0, dot + 1)) + extension;
}

std::vector<char> DriveLetters(const std::vector<FatVolume>& volumes) {
  std::vector<char> letters(volumes.size(), 0);
  char next = 'C';
  auto give = [&](std::size_t i) {
    if (letters[i] == 0 && next <= 'Z') letters[i] = next++;
  };
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    if (!volumes[i].logical) {
      give(i);
      break;
    }
  }
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    if (volumes[i].logical) give(i);
  }
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    if (!volumes[i].logical) give(i);
  }
  return letters;
}

std::optional<std::uint32_t> FatEntrySize(std::string_view directory, std::string_view name) {
  // The name as an entry holds it: eight characters and three, blank-padded.
  std::size_t dot = name.rfind('.');
  std::string_view base = name.substr(0, dot);
  std::string_view extension = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3) return std::nullopt;
  std::string wanted(11, ' ');
  for (std::size_t i = 0; i < base.size(); ++i) wanted[i] = Upper(base[i]);
  for (std::size_t i = 0; i < extension.size(); ++i) wanted[8 + i] = Upper(extension[i]);
  constexpr std::size_t kEntry = 32;
  constexpr unsigned char kEnd = 0x00, kDeleted = 0xE5, kLongName = 0x0F, kVolumeLabel = 0x08;
  for (std::size_t at = 0; at + kEntry <= directory.size(); at += kEntry) {
    std::string_view entry = directory.substr(at, kEntry);
    auto first = static_cast<unsigned char>(entry[0]);
    auto attributes = static_cast<unsigned char>(entry[11]);
    if (first == kEnd) break;
    if (first == kDeleted || attributes == kLongName || (attributes & kVolumeLabel) != 0) continue;
    bool same = true;
    for (std::size_t i = 0; i < 11 && same; ++i) same = Upper(entry[i]) == wanted[i];
    if (!same) continue;
    std::uint32_t size = 0;
    for (int i = 3; i >= 0; --i) size = size << 8 | static_cast<unsigned char>(entry[28 + i]);
    return size;
  }
  return std::nullopt;
}

}  // namespace diskimage
