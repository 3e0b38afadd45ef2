#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diskimage/host_file.h"

namespace diskimage {

HostFile::~HostFile() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// What a path names that is neither a file nor a disk, for a refusal.
const char* NotAFile(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISSOCK(mode)) return "a socket";
  return S_ISREG(mode) || S_ISBLK(mode) ? nullptr : "not a file";
}

}  // namespace

bool HostFile::Open(const std::string& path, std::string* error) {
  // Without blocking: a FIFO that an image names as its parent, extent or
  // disk would otherwise hold the open until a writer came, for ever.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    *error = std::string("cannot be opened: ") + std::strerror(errno);
    return false;
  }
  if (const char* what = NotAFile(st.st_mode)) {
    *error = std::string("is ") + what + ", not a file or a disk";
    return false;
  }
  // A block device's size is where it ends, which stat does not tell.
  off_t end = S_ISBLK(st.st_mode) ? ::lseek(fd_, 0, SEEK_END) : st.st_size;
  size_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  return true;
}

std::int64_t HostFile::ReadAt(std::uint64_t offset, char* out, std::size_t length, std::string* error) const {
  std::size_t done = 0;
  while (done < length) {
    ssize_t got = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = std::string("cannot be read: ") + std::strerror(errno);
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

bool HostFile::MapAt(std::uint64_t offset, char* at, std::size_t length) const {
  const std::uint64_t page = PageBytes();
  if (length == 0 || offset % page != 0 || length % page != 0 || reinterpret_cast<std::uintptr_t>(at) % page != 0 ||
      offset > size_ || length > size_ - offset) {
    return false;
  }
  // A block device's pages are the device's; a private mapping of it is
  // as safe as of a file.
  void* placed = ::mmap(at, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd_, static_cast<off_t>(offset));
  if (placed == at) return true;
  // A mapping that fails may have taken the memory's own away first: it
  // is put back, for the bytes to be read into instead.
  ::mmap(at, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  return false;
}

void FaultInPages(char* at, std::size_t length) {
#if defined(MADV_POPULATE_WRITE)
  const std::uintptr_t page = HostFile::PageBytes();
  std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(at) + page - 1) / page * page;
  std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(at) + length) / page * page;
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)at;
  (void)length;
#endif
}

std::size_t HostFile::PageBytes() {
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace diskimage
