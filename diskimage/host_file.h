// A file of the host's, as the image module reads it: opened read-only,
// read where asked and nowhere else, closed on every way out. Its path is
// UTF-8 on Windows (host_path.h). Each host's calls are in
// host_file_posix.cpp and host_file_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "diskimage/disk.h"

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
  // Puts the file's length bytes at offset in place of the memory at at,
  // privately (a write stays in memory): at, offset and length whole pages
  // (PageBytes), the bytes within the file, and the memory at at whole
  // pages of a mapping its owner has said may be replaced. False where the
  // host cannot (Windows maps no file over memory it holds); the memory is
  // then as it was.
  bool MapAt(std::uint64_t offset, char* at, std::size_t length) const;
  // The unit MapAt maps in; 0 where it maps nothing.
  static std::size_t PageBytes();

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;  // a HANDLE, opened by its UTF-8 path's wide form
#else
  int fd_ = -1;
#endif
  std::uint64_t size_ = 0;
};

// Asks the system for the pages of memory about to be read into, all at
// once: on a virtual machine each fault of a fresh page, one at a time,
// costs more than copying the page. A hint: nothing where the host (or a
// Linux before 5.14) has no such call.
void FaultInPages(char* at, std::size_t length);

// The run of file's bytes at offset, at most length of them: cut at the
// file's end, none past it.
HostRun RunOf(const HostFile& file, std::uint64_t offset, std::uint64_t length);

// The whole of a host file of kind ("a registry file", "a machine's file")
// of at most maxBytes. False with error saying why.
bool ReadHostFile(const std::string& path, std::uint64_t maxBytes, std::string_view kind, std::string* bytes,
                  std::string* error);

}  // namespace diskimage
