#include "diskimage/image.h"

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
