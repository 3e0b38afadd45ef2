// What a path names, through the C runtime's stat and readdir: POSIX
// systems have them, and MinGW-w64's runtime gives the same calls over
// Windows' own, with errno and strerror speaking as they do on POSIX. One
// implementation for both, but that the 64-bit Windows build asks the
// wide forms, as its paths are UTF-8.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

#include "sources/source_files.h"
#include "text/wide.h"

namespace sources {

#if defined(_WIN64)
// The 64-bit Windows build holds paths as UTF-8 and asks the wide calls,
// as the 32-bit one, which runs on Windows 9x too, cannot.
PathIs Inspect(const std::string& path, int* error) {
  struct _stat64 st {};
  if (::_wstat64(text::WideOf(path).c_str(), &st) != 0) {
    *error = errno;
    return PathIs::kNothing;
  }
  return (st.st_mode & _S_IFDIR) != 0 ? PathIs::kDirectory : PathIs::kFile;
}

bool DirectoryNames(const std::string& path, std::vector<std::string>* names, int* error) {
  _WDIR* dir = ::_wopendir(text::WideOf(path).c_str());
  if (dir == nullptr) {
    *error = errno;
    return false;
  }
  while (const _wdirent* entry = ::_wreaddir(dir)) names->push_back(text::Utf8Of(entry->d_name));
  ::_wclosedir(dir);
  return true;
}
#else
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
#endif

}  // namespace sources
