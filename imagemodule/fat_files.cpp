#include "imagemodule/fat_files.h"

#include <algorithm>

namespace diskimage {

std::string VolumePath(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
  return path;
}

bool ReadFile(FatFileSystem& fs, const std::string& path, std::uint64_t maxBytes, std::string* bytes,
              std::string* error, std::string_view kind) {
  bytes->clear();
  std::string_view placed;
  return ReadFile(fs, path, maxBytes, [bytes](std::size_t size) {
    bytes->assign(size, '\0');
    return FatFileSystem::RoomBlock{bytes->data()};
  }, &placed, error, kind);
}

bool ReadFile(FatFileSystem& fs, const std::string& path, std::uint64_t maxBytes, const FatFileSystem::Room& room,
              std::string_view* placed, std::string* error, std::string_view kind) {
  std::optional<FatEntry> file = fs.Find(path, error);
  if (!file || file->directory) return false;
  if (file->size > fs.dataBytes()) {
    *error = WindowsPath(path) + ": its directory entry claims " + std::to_string(file->size) +
             " bytes, impossible for a registry file on this volume";
    return false;
  }
  if (file->size > maxBytes) {
    *error = WindowsPath(path) + " " + TooLarge(file->size, maxBytes, kind);
    return false;
  }
  return fs.Read(*file, path, room, placed, error);
}

bool IsDirectory(FatFileSystem& fs, const std::string& path) {
  std::string error;
  std::optional<FatEntry> found = fs.Find(path, &error);
  return found && found->directory;
}

bool Exists(FatFileSystem& fs, const std::string& path) {
  std::string error;
  return fs.Find(path, &error).has_value() || !error.empty();
}

bool HoldsRegistry(FatFileSystem& fs, const std::string& dir) {
  return Exists(fs, dir + "/SYSTEM.DAT") || Exists(fs, dir + "/USER.DAT");
}

namespace {

// The same, of a directory listed already: each folder of a root is read
// once, however many there are.
bool HoldsRegistry(FatFileSystem& fs, const FatEntry& dir, const std::string& path) {
  std::vector<FatEntry> entries;
  std::string error;
  // A damaged folder beside the Windows directory must not make the
  // search a choice of two.
  if (!fs.List(dir, path, &entries, &error)) return false;
  return std::any_of(entries.begin(), entries.end(), [](const FatEntry& e) {
    return SameFatName(e.name, "SYSTEM.DAT") || SameFatName(e.shortName, "SYSTEM.DAT") ||
           SameFatName(e.name, "USER.DAT") || SameFatName(e.shortName, "USER.DAT");
  });
}

}  // namespace

std::vector<std::string> WindowsDirectories(FatFileSystem& fs) {
  std::vector<std::string> found;
  std::vector<FatEntry> entries;
  std::string error;
  if (!fs.List(fs.Root(), "", &entries, &error)) return found;
  for (const FatEntry& entry : entries) {
    std::string path = "/" + entry.name;
    if (entry.directory && HoldsRegistry(fs, entry, path)) found.push_back(path);
  }
  return found;
}

}  // namespace diskimage
