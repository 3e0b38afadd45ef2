// The E01 reader's plug-in: an E01 image as a disk, read through libewf, which follows the
// segments; ours checks first that each is there, which the library would
// read as zeros where one is missing, and hands it their names.
#include <libewf.h>

#include <vector>

#include "diskimage/ewf.h"
#include "diskimage/host_file.h"
#include "imagemodule/libyal.h"
#include "imagemodule/libraries.h"

namespace diskimage {

namespace {

// Every segment of an EWF image is there, from the first to the one that
// says it is the last.
bool EwfSegmentsPresent(const std::string& path, std::vector<std::string>* names, std::string* error) {
  constexpr int kMaxSegments = 99 + 22 * 26 * 26;
  for (int n = 1; n <= kMaxSegments; ++n) {
    std::string name = n == 1 ? path : EwfSegmentName(path, n);
    HostFile file;
    std::string why;
    if (name.empty() || !file.Open(name, &why)) {
      *error = path + ": segment " + (name.empty() ? std::to_string(n) : name) + " missing";
      return false;
    }
    EwfSegment segment = ReadEwfSegment([&](std::uint64_t offset, std::size_t length, std::string* out) {
      out->assign(length, '\0');
      return file.ReadAt(offset, out->data(), length, &why) == static_cast<std::int64_t>(length);
    });
    if (!segment.valid) {
      *error = path + ": segment " + name + " is damaged: its sections cannot be followed to its end";
      return false;
    }
    names->push_back(name);
    if (segment.last) return true;
  }
  *error = path + ": more segments than EWF can name";
  return false;
}

std::string EwfError(libewf_error_t*& error) {
  return LibyalCause(error, libewf_error_backtrace_sprint, libewf_error_free);
}

class EwfDisk : public Disk {
 public:
  bool Open(const std::string& path, const std::vector<std::string>& segments, std::string* error) {
    std::vector<char*> names;
    for (const std::string& name : segments) names.push_back(const_cast<char*>(name.c_str()));
    libewf_error_t* failure = nullptr;
    size64_t size = 0;
    if (libewf_handle_initialize(&handle_.handle, &failure) != 1 ||
        (handle_.opened = libewf_handle_open(handle_.handle, names.data(), static_cast<int>(names.size()),
                                             LIBEWF_OPEN_READ, &failure) == 1) == false ||
        libewf_handle_get_media_size(handle_.handle, &size, &failure) != 1) {
      *error = path + ": cannot be read as an E01 image: " + EwfError(failure);
      return false;
    }
    size_ = size;
    return true;
  }

  std::uint64_t Size() const override { return size_; }
  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    return LibyalRead(libewf_handle_read_random, EwfError, handle_.handle, size_, offset, out, length, error);
  }

 private:
  LibyalHandle<libewf_handle_t, libewf_error_t, libewf_handle_close, libewf_handle_free, libewf_error_free> handle_;
  std::uint64_t size_ = 0;
};

std::unique_ptr<Disk> OpenE01(const std::string& path, Chain& chain, std::string* error) {
  std::vector<std::string> segments;
  if (!chain.Enter(path, error) || !EwfSegmentsPresent(path, &segments, error)) return nullptr;
  auto disk = std::make_unique<EwfDisk>();
  if (!disk->Open(path, segments, error)) return nullptr;
  return disk;
}

}  // namespace

}  // namespace diskimage

KORMALD_PLUGIN_EXPORT const diskimage::DiskLibrary kormald_e01_library = {diskimage::OpenE01};
