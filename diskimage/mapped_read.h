// Reading a run of a disk's bytes into memory that may take a host file's
// own pages: what lies in a host file as the disk reads it, in step with
// the pages, is mapped there (read only where a reader then goes, from the
// system's cache); the rest is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "diskimage/disk.h"

namespace diskimage {

// Reads length bytes of disk from offset into out, which is whole pages of
// an anonymous mapping of the caller's own (any of whose pages may be
// replaced by a private mapping of a file). read(offset, out, length)
// reads what is not mapped and says what is wrong where that fails; it is
// asked for a run where the bytes lie out of step with the pages, else for
// as much as unplaced bytes (or one page) at a time. False when a read
// fails.
bool MapOrRead(Disk& disk, std::uint64_t offset, char* out, std::size_t length, std::size_t unplaced,
               const std::function<bool(std::uint64_t offset, char* out, std::size_t length)>& read);

}  // namespace diskimage
