#include "imagemodule/fat_files.h"

#include <algorithm>
#include <cstring>

#include "bytes/bytes.h"
#include "diskimage/image.h"
#include "diskimage/layout/mbr_fat.h"

namespace diskimage {

TskFile::TskFile(TSK_FS_INFO* fs, const std::string& path)
    : file_(tsk_fs_file_open(fs, nullptr, TskPath(path).c_str())) {
  if (file_ == nullptr) tsk_error_reset();
}

TskFile::~TskFile() {
  if (file_ != nullptr) tsk_fs_file_close(file_);
}

std::string TskError() {
  const char* text = tsk_error_get();
  std::string error = text != nullptr ? text : "unknown error";
  tsk_error_reset();
  while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
  return error;
}

std::string TskPath(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
  return path;
}

namespace {

// What the entry of a file the library would not open claims of its size:
// it drops an entry whose size cannot be. nullopt when there is none.
std::optional<std::uint32_t> HiddenEntrySize(TSK_FS_INFO* fs, const std::string& path) {
  std::string tsk = TskPath(path);
  std::size_t slash = tsk.rfind('/');
  TskFile dir(fs, slash == 0 ? "/" : tsk.substr(0, slash));
  const TSK_FS_META* meta = dir.meta();
  if (meta == nullptr || meta->type != TSK_FS_META_TYPE_DIR || meta->size <= 0) return std::nullopt;
  constexpr auto kMaxDirectoryBytes =
      static_cast<TSK_OFF_T>(layout::fat_entry::kMaxEntries * layout::fat_entry::kBytes);
  std::string bytes(static_cast<std::size_t>(std::min(meta->size, kMaxDirectoryBytes)), '\0');
  ssize_t got = tsk_fs_file_read(dir.get(), 0, bytes.data(), bytes.size(), TSK_FS_FILE_READ_FLAG_NONE);
  tsk_error_reset();
  if (got <= 0) return std::nullopt;
  return FatEntrySize(std::string_view(bytes.data(), static_cast<std::size_t>(got)), tsk.substr(slash + 1));
}

// What a path names: a file, a directory, ...; nullopt when nothing.
std::optional<TSK_FS_META_TYPE_ENUM> TypeOf(TSK_FS_INFO* fs, const std::string& path) {
  TskFile file(fs, path);
  if (file.meta() == nullptr) return std::nullopt;
  return file.meta()->type;
}

}  // namespace

bool ReadFile(TSK_FS_INFO* fs, const std::string& path, std::uint64_t maxBytes, std::string* bytes,
              std::string* error, std::string_view kind) {
  TskFile file(fs, path);
  if (file.get() == nullptr) {
    if (std::optional<std::uint32_t> claimed = HiddenEntrySize(fs, path)) {
      *error = WindowsPath(path) + ": its directory entry claims " + std::to_string(*claimed) +
               " bytes, impossible for a registry file on this volume";
    }
    return false;
  }
  const TSK_FS_META* meta = file.meta();
  if (meta == nullptr || meta->type != TSK_FS_META_TYPE_REG) return false;
  if (meta->size < 0 || static_cast<std::uint64_t>(meta->size) > maxBytes) {
    *error = WindowsPath(path) + " " + TooLarge(static_cast<std::uint64_t>(meta->size), maxBytes, kind);
    return false;
  }
  auto size = static_cast<std::size_t>(meta->size);
  bytes->resize(size);
  ssize_t got = size == 0 ? 0 : tsk_fs_file_read(file.get(), 0, bytes->data(), size, TSK_FS_FILE_READ_FLAG_NONE);
  if (got < 0 || static_cast<std::size_t>(got) != size) {
    *error = "cannot read " + WindowsPath(path) + ": " + (got < 0 ? TskError() : "the file is cut short");
    return false;
  }
  return true;
}

bool IsDirectory(TSK_FS_INFO* fs, const std::string& path) { return TypeOf(fs, path) == TSK_FS_META_TYPE_DIR; }

bool Exists(TSK_FS_INFO* fs, const std::string& path) {
  return TypeOf(fs, path).has_value() || HiddenEntrySize(fs, path).has_value();
}

bool HoldsRegistry(TSK_FS_INFO* fs, const std::string& dir) {
  return Exists(fs, dir + "/SYSTEM.DAT") || Exists(fs, dir + "/USER.DAT");
}

std::vector<std::string> WindowsDirectories(TSK_FS_INFO* fs) {
  std::vector<std::string> found;
  TSK_FS_DIR* root = tsk_fs_dir_open(fs, "/");
  if (root == nullptr) {
    tsk_error_reset();
    return found;
  }
  // A root directory holds at most as many entries as any FAT directory.
  std::size_t count = std::min<std::size_t>(tsk_fs_dir_getsize(root), layout::fat_entry::kMaxEntries);
  for (std::size_t i = 0; i < count; ++i) {
    TSK_FS_FILE* entry = tsk_fs_dir_get(root, i);
    if (entry == nullptr) {
      tsk_error_reset();
      continue;
    }
    const TSK_FS_NAME* name = entry->name;
    bool folder = name != nullptr && name->name != nullptr && name->type == TSK_FS_NAME_TYPE_DIR &&
                  (name->flags & TSK_FS_NAME_FLAG_ALLOC) != 0 && std::strcmp(name->name, ".") != 0 &&
                  std::strcmp(name->name, "..") != 0 &&
                  // The library's own folder of files no directory names.
                  std::strcmp(name->name, "$OrphanFiles") != 0;
    std::string path;
    if (folder) path.append(1, '/').append(name->name);
    tsk_fs_file_close(entry);
    if (folder && HoldsRegistry(fs, path)) found.push_back(path);
  }
  tsk_fs_dir_close(root);
  return found;
}

}  // namespace diskimage
