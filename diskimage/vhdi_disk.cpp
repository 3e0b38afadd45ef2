// A VHDX image as a disk, read through libvhdi, with the parent of
// a differencing image under it: the file its locator names, looked for
// beside the child (the locator's folder is the machine's that wrote it),
// checked by the identifier the child records for it.
#include <libvhdi.h>

#include <algorithm>
#include <filesystem>

#include "diskimage/chain.h"
#include "diskimage/libyal.h"

namespace diskimage {

namespace {

std::string VhdiError(libvhdi_error_t*& error) {
  return LibyalCause(error, libvhdi_error_backtrace_sprint, libvhdi_error_free);
}

class VhdiDisk : public Disk {
 public:
  VhdiDisk() = default;
  VhdiDisk(const VhdiDisk&) = delete;
  VhdiDisk& operator=(const VhdiDisk&) = delete;
  ~VhdiDisk() override {
    libvhdi_error_t* error = nullptr;
    if (file_ != nullptr) {
      if (opened_) libvhdi_file_close(file_, &error);
      libvhdi_file_free(&file_, &error);
    }
    libvhdi_error_free(&error);
  }

  bool Open(const std::string& path, std::string* error) {
    libvhdi_error_t* failure = nullptr;
    size64_t size = 0;
    if (libvhdi_file_initialize(&file_, &failure) != 1 ||
        (opened_ = libvhdi_file_open(file_, path.c_str(), LIBVHDI_OPEN_READ, &failure) == 1) == false ||
        libvhdi_file_get_media_size(file_, &size, &failure) != 1) {
      *error = path + ": cannot be read as a VHDX image: " + VhdiError(failure);
      return false;
    }
    size_ = size;
    return true;
  }

  // The parent's name as the child's locator gives it; empty for none.
  std::string ParentName() {
    libvhdi_error_t* failure = nullptr;
    size_t size = 0;
    if (libvhdi_file_get_utf8_parent_filename_size(file_, &size, &failure) != 1 || size == 0 || size > 4096) {
      libvhdi_error_free(&failure);
      return {};
    }
    std::string name(size, '\0');
    if (libvhdi_file_get_utf8_parent_filename(file_, reinterpret_cast<uint8_t*>(name.data()), size, &failure) != 1) {
      libvhdi_error_free(&failure);
      return {};
    }
    return name.substr(0, name.find('\0'));
  }

  bool SetParent(std::unique_ptr<VhdiDisk> parent, std::string* error) {
    libvhdi_error_t* failure = nullptr;
    uint8_t wanted[16] = {}, found[16] = {};
    if (libvhdi_file_get_parent_identifier(file_, wanted, sizeof wanted, &failure) != 1 ||
        libvhdi_file_get_identifier(parent->file_, found, sizeof found, &failure) != 1) {
      *error = "cannot tell its parent's identifier: " + VhdiError(failure);
      return false;
    }
    if (std::equal(std::begin(wanted), std::end(wanted), std::begin(found)) == false) {
      *error = "is not the parent it was made from (its identifier differs)";
      return false;
    }
    if (libvhdi_file_set_parent_file(file_, parent->file_, &failure) != 1) {
      *error = "cannot be read through: " + VhdiError(failure);
      return false;
    }
    parent_ = std::move(parent);
    return true;
  }

  std::uint64_t Size() const override { return size_; }
  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    libvhdi_error_t* failure = nullptr;
    ssize_t got = libvhdi_file_read_buffer_at_offset(file_, out, length, static_cast<off64_t>(offset), &failure);
    if (got < 0) *error = "cannot read byte " + std::to_string(offset) + " of the disk: " + VhdiError(failure);
    return got;
  }

 private:
  libvhdi_file_t* file_ = nullptr;
  bool opened_ = false;
  std::uint64_t size_ = 0;
  std::unique_ptr<VhdiDisk> parent_;
};

std::unique_ptr<VhdiDisk> OpenLink(const std::string& path, Chain& chain, std::string* error) {
  if (!chain.Enter(path, error)) return nullptr;
  auto disk = std::make_unique<VhdiDisk>();
  if (!disk->Open(path, error)) return nullptr;
  std::string named = disk->ParentName();
  if (named.empty()) return disk;
  std::string parentPath = ParentBeside(path, named);
  std::error_code ec;
  if (!std::filesystem::exists(parentPath, ec)) {
    *error = path + ": its parent " + named + " is missing (looked for at " + parentPath + ")";
    return nullptr;
  }
  std::unique_ptr<VhdiDisk> parent = OpenLink(parentPath, chain, error);
  if (parent == nullptr) return nullptr;
  if (!disk->SetParent(std::move(parent), error)) {
    *error = path + ": its parent " + parentPath + " " + *error;
    return nullptr;
  }
  return disk;
}

}  // namespace

std::unique_ptr<Disk> OpenVhdi(const std::string& path, Chain& chain, std::string* error) {
  return OpenLink(path, chain, error);
}

}  // namespace diskimage
