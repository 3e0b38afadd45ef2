// A file of the host's, as the image module reads it: opened read-only,
// read where asked and nowhere else, closed on every way out. Its path is
// UTF-8 on Windows (host_path.h). Each host's calls are in
// host_file_posix.cpp and host_file_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace diskimage {

class HostFile {
 public:
  HostFile() = default;
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;
  ~HostFile();

  // False with error ("cannot be opened: ...", "is a FIFO, not a file or a
  // disk") saying why: only regular files and block devices are opened, and
  // opening never blocks.
  bool Open(const std::string& path, std::string* error);
  std::uint64_t Size() const { return size_; }
  // Reads up to length bytes at offset into out: the count read, short
  // only where the file ends; -1 on a failed read, with error saying why.
  std::int64_t ReadAt(std::uint64_t offset, char* out, std::size_t length, std::string* error) const;

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;  // a HANDLE, opened by its UTF-8 path's wide form
#else
  int fd_ = -1;
#endif
  std::uint64_t size_ = 0;
};

// The whole of a host file of kind ("a registry file", "a machine's file")
// of at most maxBytes. False with error saying why.
bool ReadHostFile(const std::string& path, std::uint64_t maxBytes, std::string_view kind, std::string* bytes,
                  std::string* error);

}  // namespace diskimage
