#include "diskimage/mapped_read.h"

#include <algorithm>

#include "diskimage/host_file.h"

namespace diskimage {

namespace {

// Where the bytes from offset lie, with the pieces that follow on in the
// same file joined to them, for one mapping; at most length of them.
HostRun RunFrom(Disk& disk, std::uint64_t offset, std::uint64_t length) {
  HostRun run = disk.Locate(offset, length);
  while (run.file != nullptr && run.length < length) {
    HostRun next = disk.Locate(offset + run.length, length - run.length);
    if (next.file != run.file || next.offset != run.offset + run.length || next.length == 0) break;
    run.length += next.length;
  }
  return run;
}

}  // namespace

bool MapOrRead(Disk& disk, std::uint64_t offset, char* out, std::size_t length, std::size_t unplaced,
               const std::function<bool(std::uint64_t offset, char* out, std::size_t length)>& read) {
  const std::size_t page = HostFile::PageBytes();
  if (page == 0) return read(offset, out, length);
  // The partial pages at either end are read; the whole ones between are
  // mapped where they can be.
  auto address = reinterpret_cast<std::uintptr_t>(out);
  std::size_t head = std::min(length, (page - address % page) % page);
  std::size_t end = head + (length - head) / page * page;
  if (head != 0 && !read(offset, out, head)) return false;
  for (std::size_t done = head; done < end;) {
    std::size_t left = end - done;
    HostRun run = RunFrom(disk, offset + done, left);
    std::size_t whole = run.file != nullptr && run.offset % page == 0
                            ? static_cast<std::size_t>(std::min<std::uint64_t>(run.length, left)) / page * page
                            : 0;
    if (whole != 0 && run.file->MapAt(run.offset, out + done, whole)) {
      done += whole;
      continue;
    }
    // Not mapped: a run out of step with the pages (a VHD block's data
    // after its 512-byte bitmap) is read whole, anything else a piece at a
    // time, the pages asked for at once.
    std::size_t piece = run.file != nullptr && run.length != 0
                            ? static_cast<std::size_t>(std::min<std::uint64_t>(left, run.length))
                            : std::min(left, std::max(page, unplaced / page * page));
    FaultInPages(out + done, piece);
    if (!read(offset + done, out + done, piece)) return false;
    done += piece;
  }
  return end == length || read(offset + end, out + end, length - end);
}

}  // namespace diskimage
