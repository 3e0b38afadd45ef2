// A VMDK image as a disk, read through libvmdk, with the parent of a
// delta link under it: the file its parentFileNameHint names, checked by
// the content identifier (CID) the child records for it as parentCID.
#include <libvmdk.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "diskimage/chain.h"
#include "diskimage/libyal.h"

namespace diskimage {

namespace {

std::string VmdkError(libvmdk_error_t*& error) {
  return LibyalCause(error, libvmdk_error_backtrace_sprint, libvmdk_error_free);
}

class VmdkDisk : public Disk {
 public:
  VmdkDisk() = default;
  VmdkDisk(const VmdkDisk&) = delete;
  VmdkDisk& operator=(const VmdkDisk&) = delete;
  ~VmdkDisk() override {
    libvmdk_error_t* error = nullptr;
    if (handle_ != nullptr) {
      if (opened_) libvmdk_handle_close(handle_, &error);
      libvmdk_handle_free(&handle_, &error);
    }
    libvmdk_error_free(&error);
  }

  bool Open(const std::string& path, std::string* error) {
    libvmdk_error_t* failure = nullptr;
    size64_t size = 0;
    // The descriptor names its extents relative to its own folder.
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::string folder = parent.empty() ? std::string(".") : parent.string();
    if (libvmdk_handle_initialize(&handle_, &failure) != 1 ||
        (opened_ = libvmdk_handle_open(handle_, path.c_str(), LIBVMDK_OPEN_READ, &failure) == 1) == false ||
        libvmdk_handle_set_extent_data_files_path(handle_, folder.c_str(), folder.size(), &failure) != 1 ||
        libvmdk_handle_open_extent_data_files(handle_, &failure) != 1 ||
        libvmdk_handle_get_media_size(handle_, &size, &failure) != 1) {
      *error = path + ": cannot be read as a VMDK image: " + VmdkError(failure);
      return false;
    }
    size_ = size;
    return true;
  }

  // The parent's name as the child's descriptor gives it; empty for none.
  std::string ParentName() {
    libvmdk_error_t* failure = nullptr;
    size_t size = 0;
    if (libvmdk_handle_get_utf8_parent_filename_size(handle_, &size, &failure) != 1 || size == 0 || size > 4096) {
      libvmdk_error_free(&failure);
      return {};
    }
    std::string name(size, '\0');
    if (libvmdk_handle_get_utf8_parent_filename(handle_, reinterpret_cast<uint8_t*>(name.data()), size, &failure) != 1) {
      libvmdk_error_free(&failure);
      return {};
    }
    return name.substr(0, name.find('\0'));
  }

  bool SetParent(std::unique_ptr<VmdkDisk> parent, std::string* error) {
    libvmdk_error_t* failure = nullptr;
    uint32_t wanted = 0, found = 0;
    if (libvmdk_handle_get_parent_content_identifier(handle_, &wanted, &failure) != 1 ||
        libvmdk_handle_get_content_identifier(parent->handle_, &found, &failure) != 1) {
      *error = "cannot tell its parent's content identifier: " + VmdkError(failure);
      return false;
    }
    if (wanted != found) {
      *error = "is not the parent it was made from (its CID is " + Hex(found) + ", the child's parentCID " +
               Hex(wanted) + ")";
      return false;
    }
    if (libvmdk_handle_set_parent_handle(handle_, parent->handle_, &failure) != 1) {
      *error = "cannot be read through: " + VmdkError(failure);
      return false;
    }
    parent_ = std::move(parent);
    return true;
  }

  std::uint64_t Size() const override { return size_; }
  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    libvmdk_error_t* failure = nullptr;
    ssize_t got = libvmdk_handle_read_buffer_at_offset(handle_, out, length, static_cast<off64_t>(offset), &failure);
    if (got < 0) *error = "cannot read byte " + std::to_string(offset) + " of the disk: " + VmdkError(failure);
    return got;
  }

 private:
  // As the descriptor writes a CID: eight hex digits.
  static std::string Hex(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
  }

  libvmdk_handle_t* handle_ = nullptr;
  bool opened_ = false;
  std::uint64_t size_ = 0;
  std::unique_ptr<VmdkDisk> parent_;
};

std::unique_ptr<VmdkDisk> OpenLink(const std::string& path, Chain& chain, std::string* error) {
  if (!chain.Enter(path, error)) return nullptr;
  auto disk = std::make_unique<VmdkDisk>();
  if (!disk->Open(path, error)) return nullptr;
  std::string named = disk->ParentName();
  if (named.empty()) return disk;
  std::string parentPath = ParentBeside(path, named);
  std::error_code ec;
  if (!std::filesystem::exists(parentPath, ec)) {
    *error = path + ": its parent " + named + " is missing (looked for at " + parentPath + ")";
    return nullptr;
  }
  std::unique_ptr<VmdkDisk> parent = OpenLink(parentPath, chain, error);
  if (parent == nullptr) return nullptr;
  if (!disk->SetParent(std::move(parent), error)) {
    *error = path + ": its parent " + parentPath + " " + *error;
    return nullptr;
  }
  return disk;
}

}  // namespace

std::unique_ptr<Disk> OpenVmdk(const std::string& path, Chain& chain, std::string* error) {
  return OpenLink(path, chain, error);
}

}  // namespace diskimage
