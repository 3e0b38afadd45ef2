// What the libyal libraries (libvhdi, libewf) share: an error
// object whose backtrace, innermost cause first, is what a user can act
// on; a handle that is opened, closed and freed alike; and, for the
// formats whose child names its parent by a file name, the walk down the
// chain.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "diskimage/chain.h"
#include "diskimage/host_file.h"
#include "diskimage/messages.h"

namespace diskimage {

// The innermost cause the library gives ("libvhdi_file_footer_read_data:
// unsupported signature"); the error is freed. (The libraries' free
// functions return int or void, as their versions differ.)
template <class Error, class Release>
std::string LibyalCause(Error*& error, int (*backtrace)(Error*, char*, std::size_t), Release release) {
  char text[4096] = "unknown error";
  if (error != nullptr) backtrace(error, text, sizeof text);
  release(&error);
  return FirstLine(text);
}

// A read of the disk a library's handle holds, short only at the disk's
// end; the library's cause, where it fails, after the byte asked for.
template <class Handle, class Error>
std::int64_t LibyalRead(ssize_t (*read)(Handle*, void*, std::size_t, off64_t, Error**), std::string (*cause)(Error*&),
                        Handle* handle, std::uint64_t size, std::uint64_t offset, char* out, std::size_t length,
                        std::string* error) {
  if (offset >= size) return 0;
  length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size - offset));
  Error* failure = nullptr;
  ssize_t got = read(handle, out, length, static_cast<off64_t>(offset), &failure);
  if (got < 0) *error = "cannot read byte " + std::to_string(offset) + " of the disk: " + cause(failure);
  return got;
}

// Sets a parent, checked to be the one its child was made from, under the
// child's handle, which reads through it from then on.
template <class Handle, class Error>
bool LibyalJoin(int (*join)(Handle*, Handle*, Error**), std::string (*cause)(Error*&), Handle* child, Handle* parent,
                std::string* error) {
  Error* failure = nullptr;
  if (join(child, parent, &failure) == 1) return true;
  *error = "cannot be read through: " + cause(failure);
  return false;
}

// A library's handle (a file, a VMDK handle), closed where it was opened
// and freed, on every way out.
template <class Handle, class Error, auto Close, auto Free, auto ErrorFree>
class LibyalHandle {
 public:
  LibyalHandle() = default;
  LibyalHandle(const LibyalHandle&) = delete;
  LibyalHandle& operator=(const LibyalHandle&) = delete;
  ~LibyalHandle() {
    Error* error = nullptr;
    if (handle != nullptr) {
      if (opened) Close(handle, &error);
      Free(&handle, &error);
    }
    ErrorFree(&error);
  }

  Handle* handle = nullptr;
  bool opened = false;
};

// The parent's file name a child's handle gives, as UTF-8; empty for none
// (or one longer than any path).
template <class Handle, class Error, class Release>
std::string LibyalParentName(Handle* handle, int (*sizeOf)(Handle*, std::size_t*, Error**),
                             int (*get)(Handle*, std::uint8_t*, std::size_t, Error**), Release release) {
  Error* failure = nullptr;
  std::size_t size = 0;
  std::string name;
  if (sizeOf(handle, &size, &failure) == 1 && size > 0 && size <= 4096) {
    name.assign(size, '\0');
    if (get(handle, reinterpret_cast<std::uint8_t*>(name.data()), size, &failure) != 1) name.clear();
  }
  release(&failure);
  return name.substr(0, name.find('\0'));
}

// A link of a chain whose child names its parent's file: Link opens
// itself (Open(path, error)), names its parent (ParentName(), empty for
// none) and takes it once it has checked it is the one it was made from
// (SetParent(parent, error), the error after "its parent PATH ").
template <class Link>
std::unique_ptr<Link> OpenNamedChain(const std::string& path, Chain& chain, std::string* error) {
  if (!chain.Enter(path, error)) return nullptr;
  auto disk = std::make_unique<Link>();
  if (!disk->Open(path, error)) return nullptr;
  std::string named = disk->ParentName();
  if (named.empty()) return disk;
  std::string parentPath = LocateParent(path, {named}, "parent", error);
  if (parentPath.empty()) return nullptr;
  // The library opens the parent itself, blocking on a FIFO: it is tried
  // first by the opener that refuses what is no file.
  if (HostFile file; !file.Open(parentPath, error)) {
    *error = path + ": its parent " + Named(parentPath) + " " + *error;
    return nullptr;
  }
  std::unique_ptr<Link> parent = OpenNamedChain<Link>(parentPath, chain, error);
  if (parent == nullptr) return nullptr;
  if (!disk->SetParent(std::move(parent), error)) {
    *error = path + ": its parent " + Named(parentPath) + " " + *error;
    return nullptr;
  }
  return disk;
}

}  // namespace diskimage
