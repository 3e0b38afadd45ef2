// The cabinet reader's plug-in, over libmspack. libmspack reads and writes
// through I/O hooks of its caller's: here they read the cabinet from
// memory and write the unpacked file to memory, so nothing touches the
// disk.
#include "imagemodule/libraries.h"

#include <mspack.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "bytes/bytes.h"
#include "diskimage/messages.h"

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

// A cabinet opened from memory, closed on every way out.
class OpenCabinet {
 public:
  explicit OpenCabinet(const std::string& bytes)
      : in_{const_cast<std::string*>(&bytes)}, cabd_(mspack_create_cab_decompressor(&g_memory)) {
    // Read only: the hooks never write to a file opened for reading.
    if (cabd_ != nullptr) cab_ = cabd_->open(cabd_, reinterpret_cast<char*>(&in_));
  }
  OpenCabinet(const OpenCabinet&) = delete;
  OpenCabinet& operator=(const OpenCabinet&) = delete;
  ~OpenCabinet() {
    if (cab_ != nullptr) cabd_->close(cabd_, cab_);
    if (cabd_ != nullptr) mspack_destroy_cab_decompressor(cabd_);
  }

  // The cabinet, or null with error saying why.
  mscabd_cabinet* get(std::string* error) const {
    if (cab_ == nullptr) *error = cabd_ == nullptr ? "cannot start the cabinet reader" : "not a cabinet, or a damaged one";
    return cab_;
  }
  mscab_decompressor* reader() const { return cabd_; }

 private:
  MemoryFile in_;
  mscab_decompressor* cabd_;
  mscabd_cabinet* cab_ = nullptr;
};

bool ListCabinet(const std::string& cabinet, std::vector<CabinetFile>* files, std::string* error) {
  OpenCabinet open(cabinet);
  mscabd_cabinet* cab = open.get(error);
  if (cab == nullptr) return false;
  for (mscabd_file* file = cab->files; file != nullptr; file = file->next) {
    files->push_back(CabinetFile{file->filename, file->length});
  }
  return true;
}

bool Unpack(const std::string& cabinet, const std::string& name, std::uint64_t maxBytes, std::string* out,
            std::string* error) {
  OpenCabinet open(cabinet);
  mscabd_cabinet* cab = open.get(error);
  if (cab == nullptr) return false;
  for (mscabd_file* file = cab->files; file != nullptr; file = file->next) {
    if (strcasecmp(file->filename, name.c_str()) != 0) continue;
    if (file->length > maxBytes) {
      *error = name + " in the cabinet " + TooLarge(file->length, maxBytes);
      return false;
    }
    // Its stated length, so that the unpacked file is held once, not in
    // a buffer grown by doubling.
    out->reserve(file->length);
    MemoryFile result{out, maxBytes};
    if (open.reader()->extract(open.reader(), file, reinterpret_cast<char*>(&result)) == MSPACK_ERR_OK) return true;
    *error = "cannot unpack " + name + " from the cabinet (damaged, or larger than it says)";
    return false;
  }
  *error = "the cabinet holds no " + name;
  return false;
}

}  // namespace

}  // namespace diskimage

KORMALD_PLUGIN_EXPORT const diskimage::CabinetLibrary kormald_cabinet_library = {diskimage::ListCabinet,
                                                                                 diskimage::Unpack};
