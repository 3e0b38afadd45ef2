// What the libyal libraries (libqcow, libvhdi, libvmdk) share in how they
// report a failure: an error object whose backtrace, innermost cause
// first, is what a user can act on.
#pragma once

#include <cstddef>
#include <string>

#include "diskimage/fat_files.h"

namespace diskimage {

// The innermost cause the library gives ("libvhdi_file_footer_read_data:
// unsupported signature"); the error is freed.
// (The libraries' free functions return int or void, as their versions differ.)
template <class Error, class Release>
std::string LibyalCause(Error*& error, int (*backtrace)(Error*, char*, std::size_t), Release release) {
  char text[4096] = "unknown error";
  if (error != nullptr) backtrace(error, text, sizeof text);
  release(&error);
  return FirstLine(text);
}

}  // namespace diskimage
