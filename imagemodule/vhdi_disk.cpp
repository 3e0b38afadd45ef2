// The VHDX reader's plug-in: a VHDX image as a disk, read through libvhdi, with the parent of
// a differencing image under it: the file its locator names, looked for
// beside the child (the locator's folder is the machine's that wrote it),
// checked by the identifier the child records for it.
#include <libvhdi.h>

#include <algorithm>

#include "diskimage/chain.h"
#include "imagemodule/libyal.h"
#include "imagemodule/libraries.h"

namespace diskimage {

namespace {

std::string VhdiError(libvhdi_error_t*& error) {
  return LibyalCause(error, libvhdi_error_backtrace_sprint, libvhdi_error_free);
}

class VhdiDisk : public Disk {
 public:
  bool Open(const std::string& path, std::string* error) {
    libvhdi_error_t* failure = nullptr;
    size64_t size = 0;
    if (libvhdi_file_initialize(&file_.handle, &failure) != 1 ||
        (file_.opened = libvhdi_file_open(file_.handle, path.c_str(), LIBVHDI_OPEN_READ, &failure) == 1) == false ||
        libvhdi_file_get_media_size(file_.handle, &size, &failure) != 1) {
      *error = path + ": cannot be read as a VHDX image: " + VhdiError(failure);
      return false;
    }
    size_ = size;
    return true;
  }

  // The parent's name as the child's locator gives it; empty for none.
  std::string ParentName() {
    return LibyalParentName(file_.handle, libvhdi_file_get_utf8_parent_filename_size, libvhdi_file_get_utf8_parent_filename,
                            libvhdi_error_free);
  }

  bool SetParent(std::unique_ptr<VhdiDisk> parent, std::string* error) {
    libvhdi_error_t* failure = nullptr;
    uint8_t wanted[16] = {}, found[16] = {};
    if (libvhdi_file_get_parent_identifier(file_.handle, wanted, sizeof wanted, &failure) != 1 ||
        libvhdi_file_get_identifier(parent->file_.handle, found, sizeof found, &failure) != 1) {
      *error = "cannot tell its parent's identifier: " + VhdiError(failure);
      return false;
    }
    if (std::equal(std::begin(wanted), std::end(wanted), std::begin(found)) == false) {
      *error = "is not the parent it was made from (its identifier differs)";
      return false;
    }
    if (!LibyalJoin(libvhdi_file_set_parent_file, VhdiError, file_.handle, parent->file_.handle, error)) return false;
    parent_ = std::move(parent);
    return true;
  }

  std::uint64_t Size() const override { return size_; }
  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    return LibyalRead(libvhdi_file_read_buffer_at_offset, VhdiError, file_.handle, size_, offset, out, length, error);
  }

 private:
  // The parent outlives its child's handle, which reads through it.
  std::unique_ptr<VhdiDisk> parent_;
  LibyalHandle<libvhdi_file_t, libvhdi_error_t, libvhdi_file_close, libvhdi_file_free, libvhdi_error_free> file_;
  std::uint64_t size_ = 0;
};

std::unique_ptr<Disk> OpenVhdi(const std::string& path, Chain& chain, std::string* error) {
  return OpenNamedChain<VhdiDisk>(path, chain, error);
}

}  // namespace

}  // namespace diskimage

KORMALD_PLUGIN_EXPORT const diskimage::DiskLibrary kormald_vhdx_library = {diskimage::OpenVhdi};
