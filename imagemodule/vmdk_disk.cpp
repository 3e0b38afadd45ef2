// A VMDK image as a disk, read through libvmdk, with the parent of a
// delta link under it: the file its parentFileNameHint names, checked by
// the content identifier (CID) the child records for it as parentCID.
#include <libvmdk.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "diskimage/chain.h"
#include "imagemodule/libyal.h"
#include "imagemodule/library_disks.h"

namespace diskimage {

namespace {

std::string VmdkError(libvmdk_error_t*& error) {
  return LibyalCause(error, libvmdk_error_backtrace_sprint, libvmdk_error_free);
}

class VmdkDisk : public Disk {
 public:
  bool Open(const std::string& path, std::string* error) {
    libvmdk_error_t* failure = nullptr;
    size64_t size = 0;
    // The descriptor names its extents relative to its own folder.
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::string folder = parent.empty() ? std::string(".") : parent.string();
    if (libvmdk_handle_initialize(&handle_.handle, &failure) != 1 ||
        (handle_.opened = libvmdk_handle_open(handle_.handle, path.c_str(), LIBVMDK_OPEN_READ, &failure) == 1) == false ||
        libvmdk_handle_set_extent_data_files_path(handle_.handle, folder.c_str(), folder.size(), &failure) != 1 ||
        libvmdk_handle_open_extent_data_files(handle_.handle, &failure) != 1 ||
        libvmdk_handle_get_media_size(handle_.handle, &size, &failure) != 1) {
      *error = path + ": cannot be read as a VMDK image: " + VmdkError(failure);
      return false;
    }
    size_ = size;
    return true;
  }

  // The parent's name as the child's descriptor gives it; empty for none.
  std::string ParentName() {
    return LibyalParentName(handle_.handle, libvmdk_handle_get_utf8_parent_filename_size, libvmdk_handle_get_utf8_parent_filename,
                            libvmdk_error_free);
  }

  bool SetParent(std::unique_ptr<VmdkDisk> parent, std::string* error) {
    libvmdk_error_t* failure = nullptr;
    uint32_t wanted = 0, found = 0;
    if (libvmdk_handle_get_parent_content_identifier(handle_.handle, &wanted, &failure) != 1 ||
        libvmdk_handle_get_content_identifier(parent->handle_.handle, &found, &failure) != 1) {
      *error = "cannot tell its parent's content identifier: " + VmdkError(failure);
      return false;
    }
    if (wanted != found) {
      *error = "is not the parent it was made from (its CID is " + Hex(found) + ", the child's parentCID " +
               Hex(wanted) + ")";
      return false;
    }
    if (!LibyalJoin(libvmdk_handle_set_parent_handle, VmdkError, handle_.handle, parent->handle_.handle, error)) {
      return false;
    }
    parent_ = std::move(parent);
    return true;
  }

  std::uint64_t Size() const override { return size_; }
  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    return LibyalRead(libvmdk_handle_read_buffer_at_offset, VmdkError, handle_.handle, size_, offset, out, length, error);
  }

 private:
  // As the descriptor writes a CID: eight hex digits.
  static std::string Hex(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
  }

  // The parent outlives its child's handle, which reads through it.
  std::unique_ptr<VmdkDisk> parent_;
  LibyalHandle<libvmdk_handle_t, libvmdk_error_t, libvmdk_handle_close, libvmdk_handle_free, libvmdk_error_free> handle_;
  std::uint64_t size_ = 0;
};

}  // namespace

std::unique_ptr<Disk> OpenVmdk(const std::string& path, Chain& chain, std::string* error) {
  return OpenNamedChain<VmdkDisk>(path, chain, error);
}

}  // namespace diskimage
