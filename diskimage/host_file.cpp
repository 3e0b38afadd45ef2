#include "diskimage/host_file.h"

#include <algorithm>

#include "diskimage/disk.h"
#include "diskimage/messages.h"

namespace diskimage {

bool ReadHostFile(const std::string& path, std::uint64_t maxBytes, std::string_view kind, std::string* bytes,
                  std::string* error) {
  HostFile file;
  if (!file.Open(path, error)) return false;
  if (file.Size() > maxBytes) {
    *error = TooLarge(file.Size(), maxBytes, kind);
    return false;
  }
  bytes->assign(static_cast<std::size_t>(file.Size()), '\0');
  std::int64_t got = file.ReadAt(0, bytes->data(), bytes->size(), error);
  if (got < 0) return false;
  bytes->resize(static_cast<std::size_t>(got));
  return true;
}

HostRun RunOf(const HostFile& file, std::uint64_t offset, std::uint64_t length) {
  if (offset >= file.Size() || length == 0) return {};
  return {&file, offset, std::min(length, file.Size() - offset)};
}

namespace {

class RawDisk : public Disk {
 public:
  std::uint64_t Size() const override { return file_.Size(); }
  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    if (offset >= file_.Size()) return 0;
    return file_.ReadAt(offset, out, static_cast<std::size_t>(std::min<std::uint64_t>(length, file_.Size() - offset)),
                        error);
  }
  HostRun Locate(std::uint64_t offset, std::uint64_t length) override { return RunOf(file_, offset, length); }
  HostFile file_;
};

}  // namespace

std::unique_ptr<Disk> OpenRawDisk(const std::string& path, std::string* error) {
  auto disk = std::make_unique<RawDisk>();
  if (!disk->file_.Open(path, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return disk;
}

}  // namespace diskimage
