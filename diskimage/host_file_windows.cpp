// Host files on Windows: opened by the wide form of their UTF-8 path, so
// that a path outside the ANSI codepage opens; read at 64-bit offsets with
// positioned reads, as pread does on POSIX.
#include <windows.h>

#include <algorithm>
#include <string>

#include "diskimage/host_file.h"
#include "text/wide.h"

namespace diskimage {

namespace {

// Why a call failed, in the words the C library uses where it has them,
// so that a missing file reads as it does on Linux; the system's own
// sentence otherwise.
std::string Why(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE: return "No such file or directory";
    case ERROR_ACCESS_DENIED: return "Permission denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return "another program holds the file open";
    default: break;
  }
  wchar_t* message = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string why = n > 0 ? text::Utf8Of(std::wstring_view(message, n)) : "";
  ::LocalFree(message);
  while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ' || why.back() == '.')) {
    why.pop_back();
  }
  return why.empty() ? "Windows error " + std::to_string(code) : why;
}

}  // namespace

HostFile::~HostFile() {
  if (handle_ != nullptr) ::CloseHandle(handle_);
}

bool HostFile::Open(const std::string& path, std::string* error) {
  // Backup semantics, so that a folder opens and is refused as one rather
  // than as "access denied"; others may go on writing a running VM's files.
  HANDLE handle = ::CreateFileW(text::WideOf(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "cannot be opened: " + Why(::GetLastError());
    return false;
  }
  handle_ = handle;
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = "is a directory, not a file or a disk";
    return false;
  }
  // A pipe or a device such as CON would block or never end.
  if (DWORD type = ::GetFileType(handle); type != FILE_TYPE_DISK) {
    *error = std::string("is ") + (type == FILE_TYPE_PIPE ? "a pipe" : "a character device") + ", not a file or a disk";
    return false;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle, &size)) {
    *error = "cannot be opened: " + Why(::GetLastError());
    return false;
  }
  size_ = size.QuadPart > 0 ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  return true;
}

std::int64_t HostFile::ReadAt(std::uint64_t offset, char* out, std::size_t length, std::string* error) const {
  std::size_t done = 0;
  while (done < length) {
    // ReadFile counts in a DWORD: a larger read goes in pieces.
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, std::size_t{1} << 30));
    std::uint64_t at = offset + done;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!::ReadFile(handle_, out + done, want, &got, &where)) {
      DWORD code = ::GetLastError();
      if (code == ERROR_HANDLE_EOF) break;
      *error = "cannot be read: " + Why(code);
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<std::int64_t>(done);
}

// A view can be placed only where no memory is (MapViewOfFileEx), and a
// placeholder to map into is Windows 10's: the tools read the bytes instead.
bool HostFile::MapAt(std::uint64_t, char*, std::size_t) const { return false; }
std::size_t HostFile::PageBytes() { return 0; }
void FaultInPages(char*, std::size_t) {}

}  // namespace diskimage
