// The image module's access to the files of a FAT volume, through The
// Sleuth Kit: reading a file whole, asking what a path names, and the
// library's messages.
#pragma once

#include <tsk/libtsk.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "diskimage/messages.h"

namespace diskimage {

// A file the library opened, closed on every way out.
class TskFile {
 public:
  TskFile(TSK_FS_INFO* fs, const std::string& path);
  TskFile(const TskFile&) = delete;
  TskFile& operator=(const TskFile&) = delete;
  ~TskFile();
  // Null when the path names nothing (the library's error is cleared).
  TSK_FS_FILE* get() const { return file_; }
  const TSK_FS_META* meta() const { return file_ != nullptr ? file_->meta : nullptr; }

 private:
  TSK_FS_FILE* file_;
};

// What the library said last, as one line; its error is cleared.
std::string TskError();

// The Sleuth Kit takes paths with '/'; Windows users write '\'.
std::string TskPath(std::string path);

// The whole of a file of kind (for a message) of at most maxBytes. False
// when it is not there (error left empty) or cannot be read (error says
// why).
bool ReadFile(TSK_FS_INFO* fs, const std::string& path, std::uint64_t maxBytes, std::string* bytes,
              std::string* error, std::string_view kind = kRegistryFile);

bool IsDirectory(TSK_FS_INFO* fs, const std::string& path);
// Whether a file is there, even one whose entry claims a size it cannot
// have: reading it then says so.
bool Exists(TSK_FS_INFO* fs, const std::string& path);
// Whether a directory holds SYSTEM.DAT or USER.DAT.
bool HoldsRegistry(TSK_FS_INFO* fs, const std::string& dir);
// The folders at the top of a volume that hold SYSTEM.DAT or USER.DAT, in
// the root directory's order ("/WINDOWS", "/WIN98"): Windows' setup takes
// any name for its directory, and a dual-boot disk often has D:\WIN98.
std::vector<std::string> WindowsDirectories(TSK_FS_INFO* fs);

}  // namespace diskimage
