// An E01 image as a disk, read through The Sleuth Kit's library (and its
// libewf), which follows the segments; ours checks first that each is
// there, which the library would read as zeros where one is missing.
#include <tsk/libtsk.h>

#include "diskimage/ewf.h"
#include "diskimage/host_file.h"
#include "imagemodule/fat_files.h"
#include "imagemodule/library_disks.h"

namespace diskimage {

namespace {

// Every segment of an EWF image is there, from the first to the one that
// says it is the last.
bool EwfSegmentsPresent(const std::string& path, std::string* error) {
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
    if (segment.last) return true;
  }
  *error = path + ": more segments than EWF can name";
  return false;
}

class TskDisk : public Disk {
 public:
  explicit TskDisk(TSK_IMG_INFO* img) : img_(img) {}
  TskDisk(const TskDisk&) = delete;
  TskDisk& operator=(const TskDisk&) = delete;
  ~TskDisk() override { tsk_img_close(img_); }
  std::uint64_t Size() const override { return static_cast<std::uint64_t>(img_->size); }
  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    ssize_t got = tsk_img_read(img_, static_cast<TSK_OFF_T>(offset), out, length);
    if (got < 0) *error = TskError();
    return got;
  }

 private:
  TSK_IMG_INFO* img_;
};

}  // namespace

std::unique_ptr<Disk> OpenE01(const std::string& path, Chain& chain, std::string* error) {
  if (!chain.Enter(path, error) || !EwfSegmentsPresent(path, error)) return nullptr;
  TSK_IMG_INFO* img = tsk_img_open_sing(path.c_str(), TSK_IMG_TYPE_EWF_EWF, 0);
  if (img == nullptr) {
    *error = path + ": cannot be read as an E01 image: " + FirstLine(TskError());
    return nullptr;
  }
  return std::make_unique<TskDisk>(img);
}

}  // namespace diskimage
