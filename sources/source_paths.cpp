// What a path names, through the C runtime's stat and readdir: POSIX
// systems have them, and MinGW-w64's runtime gives the same calls over
// Windows' own, with errno and strerror speaking as they do on POSIX. One
// implementation of the platform interface, then, for both.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

#include "sources/source_files.h"

namespace sources {

PathIs Inspect(const std::string& path, int* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *error = errno;
    return PathIs::kNothing;
  }
  return S_ISDIR(st.st_mode) ? PathIs::kDirectory : PathIs::kFile;
}

bool DirectoryNames(const std::string& path, std::vector<std::string>* names, int* error) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    *error = errno;
    return false;
  }
  while (const dirent* entry = ::readdir(dir)) names->emplace_back(entry->d_name);
  ::closedir(dir);
  return true;
}

}  // namespace sources
