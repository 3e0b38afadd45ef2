// libmspack reads and writes through I/O hooks of its caller's: here they
// read the cabinet from memory and write the unpacked file to memory, so
// nothing touches the disk.
#include "diskimage/cabinet.h"

#include <mspack.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "diskimage/fat_files.h"

namespace diskimage {

namespace {

struct MemoryFile {
  std::string* bytes;
  std::uint64_t limit = 0;  // for a file being written
  std::size_t at = 0;
  bool writing = false;
};

mspack_file* MemoryOpen(mspack_system*, const char* name, int mode) {
  // The "file name" libmspack hands back is the MemoryFile we gave it.
  auto* file = reinterpret_cast<MemoryFile*>(const_cast<char*>(name));
  file->at = 0;
  file->writing = mode != MSPACK_SYS_OPEN_READ;
  if (file->writing) file->bytes->clear();
  return reinterpret_cast<mspack_file*>(file);
}
void MemoryClose(mspack_file*) {}
int MemoryRead(mspack_file* f, void* buffer, int bytes) {
  auto* file = reinterpret_cast<MemoryFile*>(f);
  if (bytes < 0) return -1;
  std::size_t n = std::min(static_cast<std::size_t>(bytes), file->bytes->size() - std::min(file->at, file->bytes->size()));
  if (n != 0) std::memcpy(buffer, file->bytes->data() + file->at, n);
  file->at += n;
  return static_cast<int>(n);
}
int MemoryWrite(mspack_file* f, void* buffer, int bytes) {
  auto* file = reinterpret_cast<MemoryFile*>(f);
  if (bytes < 0) return -1;
  // Unpacking stops at the largest registry file, whatever the cabinet
  // said of the file's length.
  if (file->bytes->size() + static_cast<std::size_t>(bytes) > file->limit) return -1;
  file->bytes->append(static_cast<const char*>(buffer), static_cast<std::size_t>(bytes));
  return bytes;
}
int MemorySeek(mspack_file* f, off_t offset, int mode) {
  auto* file = reinterpret_cast<MemoryFile*>(f);
  off_t base = mode == MSPACK_SYS_SEEK_START ? 0
               : mode == MSPACK_SYS_SEEK_CUR ? static_cast<off_t>(file->at)
                                             : static_cast<off_t>(file->bytes->size());
  off_t to = base + offset;
  if (to < 0 || to > static_cast<off_t>(file->bytes->size())) return -1;
  file->at = static_cast<std::size_t>(to);
  return 0;
}
off_t MemoryTell(mspack_file* f) { return static_cast<off_t>(reinterpret_cast<MemoryFile*>(f)->at); }
void MemoryMessage(mspack_file*, const char*, ...) {}
void* MemoryAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void MemoryFree(void* p) { std::free(p); }
void MemoryCopy(void* from, void* to, size_t bytes) { std::memmove(to, from, bytes); }

mspack_system g_memory = {MemoryOpen, MemoryClose, MemoryRead,   MemoryWrite, MemorySeek, MemoryTell,
                          MemoryMessage, MemoryAlloc, MemoryFree, MemoryCopy, nullptr};

}  // namespace

bool Unpack(const std::string& cabinet, const std::string& name, std::uint64_t maxBytes, std::string* out,
            std::string* error) {
  mscab_decompressor* cabd = mspack_create_cab_decompressor(&g_memory);
  if (cabd == nullptr) {
    *error = "cannot start the cabinet reader";
    return false;
  }
  // Read only: the hooks never write to a file opened for reading.
  MemoryFile in{const_cast<std::string*>(&cabinet)};
  mscabd_cabinet* cab = cabd->open(cabd, reinterpret_cast<char*>(&in));
  bool found = false;
  bool ok = false;
  if (cab == nullptr) {
    *error = "not a cabinet, or a damaged one";
  } else {
    for (mscabd_file* file = cab->files; file != nullptr; file = file->next) {
      if (strcasecmp(file->filename, name.c_str()) != 0) continue;
      found = true;
      if (file->length > maxBytes) {
        *error = name + " in the cabinet " + TooLarge(file->length, maxBytes);
        break;
      }
      // Its stated length, so that the unpacked file is held once, not in
      // a buffer grown by doubling.
      out->reserve(file->length);
      MemoryFile result{out, maxBytes};
      ok = cabd->extract(cabd, file, reinterpret_cast<char*>(&result)) == MSPACK_ERR_OK;
      if (!ok) *error = "cannot unpack " + name + " from the cabinet (damaged, or larger than it says)";
      break;
    }
    if (!found) *error = "the cabinet holds no " + name;
    cabd->close(cabd, cab);
  }
  mspack_destroy_cab_decompressor(cabd);
  return ok;
}

}  // namespace diskimage
