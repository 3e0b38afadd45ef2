#include "diskimage/image.h"

#include <algorithm>

#include "bytes/bytes.h"
#include "diskimage/layout/mbr_fat.h"
#include "diskimage/layout/sector.h"

namespace diskimage {

using bytes::LittleEndian;

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A number of up to three digits, as part= and disk= take.
bool SmallNumber(std::string_view value, int* out) {
  if (value.size() > 3 || value.find_first_not_of("0123456789") != std::string_view::npos) return false;
  *out = std::stoi(std::string(value));
  return true;
}

std::string Escaped(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '&' || c == '#' || c == '=' || c == '%' || byte < 0x20 || byte > 0x7E) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

// Sets the part key names; false with error when it is given twice or
// its value cannot be.
bool SetPart(std::string_view entry, std::string_view key, std::string_view typed, std::string_view value,
             ImageSelector* out, std::string* error) {
  std::string* text = key == "path"          ? &out->path
                      : key == "cab"         ? &out->cab
                      : key == "snapshot"    ? &out->snapshot
                      : key == "snapshot-id" ? &out->snapshotId
                                             : nullptr;
  int* number = key == "part" ? &out->partition : key == "disk" ? &out->disk : nullptr;
  if (text == nullptr && number == nullptr) {
    *error = std::string(entry) + ": unknown selector '" + std::string(typed) +
             "' (part, path, cab, snapshot, snapshot-id or disk)";
    return false;
  }
  if (text != nullptr ? !text->empty() : *number >= 0) {
    *error = std::string(entry) + ": " + std::string(typed) + "= is given twice";
    return false;
  }
  std::string decoded = UndoHexEscapes(value, '%');
  if (text != nullptr) {
    *text = std::move(decoded);
    if (out->snapshot.empty() || out->snapshotId.empty()) return true;
    *error = std::string(entry) + ": snapshot= and snapshot-id= both choose the state: give one";
    return false;
  }
  if (SmallNumber(decoded, number) && (key == "part" || *number > 0)) return true;
  *error = std::string(entry) + ": " + std::string(key) + "= takes a " + (key == "part" ? "partition" : "disk") +
           " number, found '" + std::string(value) + "'";
  return false;
}

// The selector after the '#' at hash.
bool ParseSelectorAt(std::string_view entry, std::size_t hash, ImageSelector* out, std::string* error) {
  *out = ImageSelector{};
  out->image = std::string(entry.substr(0, hash));
  if (hash == std::string_view::npos) return true;
  std::string_view rest = entry.substr(hash + 1);
  while (!rest.empty()) {
    std::size_t amp = rest.find('&');
    std::string_view item = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
    std::size_t eq = item.find('=');
    std::string_view typed = item.substr(0, eq);
    // Any letter case, as path= takes its value: #PART=1 is #part=1.
    std::string lower(typed);
    for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
    std::string_view value = eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
    if (eq == std::string_view::npos || value.empty()) {
      *error = std::string(entry) +
               ": expected part=N, path=..., cab=..., snapshot=..., snapshot-id=... or disk=N after '#', found '" +
               std::string(item) + "'";
      return false;
    }
    if (!SetPart(entry, lower, typed, value, out, error)) return false;
  }
  return true;
}

}  // namespace

bool ParseImageSelector(std::string_view entry, ImageSelector* out, std::string* error) {
  // The first '#' whose rest is a selector starts it: an image's name may
  // hold '#', and so may a path in it (FAT allows \WIN#98).
  for (std::size_t hash = entry.find('#'); hash != std::string_view::npos; hash = entry.find('#', hash + 1)) {
    std::string said;
    if (ParseSelectorAt(entry, hash, out, &said)) return true;
    // Where none is, the last one's complaint is the one to hear.
    if (entry.find('#', hash + 1) == std::string_view::npos) {
      *error = said;
      return false;
    }
  }
  return ParseSelectorAt(entry, std::string_view::npos, out, error);
}

std::string UndoHexEscapes(std::string_view text, char marker) {
  auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == marker && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string FormatImageSelector(const ImageSelector& selector) {
  std::string parts;
  auto add = [&](std::string_view key, std::string_view value) {
    if (!parts.empty()) parts += '&';
    parts.append(key).append(1, '=').append(Escaped(value));
  };
  if (!selector.snapshot.empty()) add("snapshot", selector.snapshot);
  if (!selector.snapshotId.empty()) add("snapshot-id", selector.snapshotId);
  if (selector.disk > 0) add("disk", std::to_string(selector.disk));
  if (selector.partition >= 0) add("part", std::to_string(selector.partition));
  if (!selector.path.empty()) add("path", selector.path);
  if (!selector.cab.empty()) add("cab", selector.cab);
  return parts.empty() ? selector.image : selector.image + "#" + parts;
}

HiveName HiveNameOf(std::string_view name) {
  std::size_t last = name.find_last_of("\\/");
  if (last != std::string_view::npos) name.remove_prefix(last + 1);
  std::string upper;
  for (char c : name) upper += Upper(c);
  if (upper.starts_with("SYSTEM.")) return HiveName::kSystem;
  if (upper.starts_with("USER.")) return HiveName::kUser;
  return HiveName::kNone;
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
      inPaths = section == layout::msdos_sys::kPathsSection;
      continue;
    }
    std::size_t eq = line.find('=');
    if (!inPaths || eq == std::string_view::npos) continue;
    std::string key;
    for (char c : Trim(line.substr(0, eq))) key += Upper(c);
    if (key != layout::msdos_sys::kWinDir) continue;
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

bool Signed(std::string_view sector) {
  return sector.size() >= layout::kSectorBytes &&
         LittleEndian(sector).Holds(layout::mbr::kSignature, layout::mbr::kSignatureBytes);
}

struct Entry {
  std::uint8_t type;
  std::uint32_t start;
  std::uint32_t sectors;
  bool empty() const { return type == 0 || sectors == 0; }
};

Entry EntryOf(std::string_view sector, int slot) {
  LittleEndian e(sector.substr(layout::mbr::kTable + layout::mbr::kEntryBytes * static_cast<std::size_t>(slot)));
  return Entry{e.U8(layout::partition::kType), e.U32(layout::partition::kStart), e.U32(layout::partition::kSectors)};
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
  for (int slot = 0; slot < layout::mbr::kSlots; ++slot) {
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

std::vector<char> DriveLetters(const std::vector<FatVolume>& volumes) {
  std::vector<char> letters(volumes.size(), 0);
  char next = 'C';
  auto give = [&](std::size_t i) {
    if (letters[i] == 0 && next <= 'Z') letters[i] = next++;
  };
  std::vector<int> started;  // the disks whose first primary has its letter
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    if (volumes[i].logical || std::find(started.begin(), started.end(), volumes[i].disk) != started.end()) continue;
    started.push_back(volumes[i].disk);
    give(i);
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
  namespace fat = layout::fat_entry;
  if (base.empty() || base.size() > fat::kBaseLength || extension.size() > fat::kNameLength - fat::kBaseLength) {
    return std::nullopt;
  }
  std::string wanted(fat::kNameLength, ' ');
  for (std::size_t i = 0; i < base.size(); ++i) wanted[i] = Upper(base[i]);
  for (std::size_t i = 0; i < extension.size(); ++i) wanted[fat::kBaseLength + i] = Upper(extension[i]);
  for (std::size_t at = 0; at + fat::kBytes <= directory.size(); at += fat::kBytes) {
    std::string_view entry = directory.substr(at, fat::kBytes);
    LittleEndian e(entry);
    std::uint8_t first = e.U8(fat::kName);
    std::uint8_t attributes = e.U8(fat::kAttributes);
    if (first == fat::kEnd) break;
    if (first == fat::kDeleted || attributes == fat::kLongName || (attributes & fat::kVolumeLabel) != 0) continue;
    bool same = true;
    for (std::size_t i = 0; i < fat::kNameLength && same; ++i) same = Upper(entry[fat::kName + i]) == wanted[i];
    if (!same) continue;
    return e.U32(fat::kSize);
  }
  return std::nullopt;
}

}  // namespace diskimage
