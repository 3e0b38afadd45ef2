// A host path as the image code holds it: a std::string of UTF-8 on
// Windows, where std::filesystem would otherwise take a narrow string in
// the ANSI codepage and lose every character outside it (a machine folder
// named in Cyrillic on a Western machine); the bytes as they are on POSIX.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace diskimage {

inline std::filesystem::path HostPath(std::string_view path) {
#if defined(_WIN32)
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
#else
  return std::filesystem::path(path);
#endif
}

inline std::string HostString(const std::filesystem::path& path) {
#if defined(_WIN32)
  std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
#else
  return path.string();
#endif
}

// Whether a path stands on its own rather than below a folder it is
// named from: absolute, or on Windows rooted on the current drive ("\VMs"
// or "/tmp/x"), which std::filesystem does not count as absolute there.
inline bool HostRooted(std::string_view path) {
  std::filesystem::path p = HostPath(path);
  return p.is_absolute() || p.has_root_directory();
}

// Whether a file or folder is there; an error counts as not.
inline bool HostExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(HostPath(path), ec);
}

}  // namespace diskimage
