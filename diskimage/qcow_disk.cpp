// A qcow image of version 1 as a disk, read through libqcow, with its
// backing file (another qcow image) under it.
#include <libqcow.h>

#include <algorithm>

#include "diskimage/chain.h"
#include "diskimage/libyal.h"
#include "diskimage/qcow.h"

namespace diskimage {

namespace {

std::string QcowError(libqcow_error_t*& error) {
  return LibyalCause(error, libqcow_error_backtrace_sprint, libqcow_error_free);
}

class QcowDisk : public Disk {
 public:
  bool Open(const std::string& path, const QcowHeader& header, std::string* error) {
    libqcow_error_t* failure = nullptr;
    // A backing file's header is libqcow's to read: one cluster is then 512 bytes.
    clusterBytes_ = std::uint64_t{1} << std::max<std::uint32_t>(header.clusterBits, 9);
    if (libqcow_file_initialize(&file_.handle, &failure) != 1 ||
        libqcow_file_open(file_.handle, path.c_str(), LIBQCOW_OPEN_READ, &failure) != 1) {
      *error = "cannot be read as a qcow image: " + QcowError(failure);
      return false;
    }
    file_.opened = true;
    size64_t size = 0;
    if (libqcow_file_get_media_size(file_.handle, &size, &failure) != 1) {
      *error = "cannot be read as a qcow image: " + QcowError(failure);
      return false;
    }
    size_ = size;
    return true;
  }

  // The backing file, itself a qcow image: libqcow reads through no other.
  bool SetParent(std::unique_ptr<QcowDisk> parent, std::string* error) {
    libqcow_error_t* failure = nullptr;
    if (libqcow_file_set_parent_file(file_.handle, parent->file_.handle, &failure) != 1) {
      *error = "cannot read through its backing file: " + QcowError(failure);
      return false;
    }
    parent_ = std::move(parent);
    return true;
  }

  std::uint64_t Size() const override { return size_; }

  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    // One cluster at a time: libqcow 20201213 asks the backing file for
    // the rest of its buffer, not for the rest of the read, where a read
    // longer than 128 KiB meets a cluster the image does not hold.
    std::size_t done = 0;
    while (done < length) {
      std::uint64_t at = offset + done;
      auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, clusterBytes_ - at % clusterBytes_));
      libqcow_error_t* failure = nullptr;
      ssize_t got = libqcow_file_read_buffer_at_offset(file_.handle, out + done, piece, static_cast<off64_t>(at), &failure);
      if (got < 0) {
        *error = "cannot read byte " + std::to_string(at) + " of the disk: " + QcowError(failure);
        return -1;
      }
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
  }

 private:
  // The parent outlives its child's file, which reads through it.
  std::unique_ptr<QcowDisk> parent_;
  LibyalHandle<libqcow_file_t, libqcow_error_t, libqcow_file_close, libqcow_file_free, libqcow_error_free> file_;
  std::uint64_t size_ = 0;
  std::uint64_t clusterBytes_ = 0;
};

}  // namespace

std::unique_ptr<Disk> OpenQcowVersion1(const std::string& path, const QcowHeader& header, const std::string& backing,
                                       Chain& chain, std::string* error) {
  auto disk = std::make_unique<QcowDisk>();
  if (!disk->Open(path, header, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  if (backing.empty()) return disk;
  QcowHeader parentHeader;
  std::string ignored;
  if (!chain.Enter(backing, error)) return nullptr;
  std::unique_ptr<QcowDisk> parent = std::make_unique<QcowDisk>();
  if (!parent->Open(backing, parentHeader, error)) {
    *error = path + ": its backing file " + backing + " " + *error + " (a version 1 image reads through no other kind)";
    return nullptr;
  }
  if (!disk->SetParent(std::move(parent), error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return disk;
}

}  // namespace diskimage
