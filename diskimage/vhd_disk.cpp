// A VHD image as a disk (vhd.h says why ours): fixed, dynamic, or
// differencing over the parent its locators or its header name, looked
// for beside the child and checked by the unique ID the child records.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bytes/bytes.h"
#include "diskimage/chain.h"
#include "diskimage/host_file.h"
#include "diskimage/layout/vhd.h"
#include "diskimage/messages.h"
#include "diskimage/vhd.h"

namespace diskimage {

namespace {

namespace vhd = layout::vhd;

class VhdDisk : public Disk {
 public:
  bool Open(const std::string& path, std::string* error) {
    path_ = path;
    if (!file_.Open(path, error)) return Named(error);
    // The footer ends the file. A dynamic disk's copy of it at its start
    // is not read in its stead: without the end, the file is cut short.
    std::string footer(vhd::kFooterBytes, '\0');
    std::uint64_t size = file_.Size();
    if (size < footer.size() ||
        file_.ReadAt(size - footer.size(), footer.data(), footer.size(), error) != static_cast<std::int64_t>(footer.size()) ||
        !footer.starts_with(layout::signature::kVhd)) {
      bool copy = file_.ReadAt(0, footer.data(), footer.size(), error) > 0 && footer.starts_with(layout::signature::kVhd);
      *error = copy ? "cut short: the footer that ends a VHD is not at its end" : "no VHD footer at its end";
      return Named(error);
    }
    if (!ParseVhdFooter(footer, size, &footer_, error)) return Named(error);
    if (footer_.type == vhd::kFixed) return true;
    std::string header(vhd::kHeaderBytes, '\0');
    if (file_.ReadAt(footer_.headerAt, header.data(), header.size(), error) != static_cast<std::int64_t>(header.size()) ||
        !ParseVhdHeader(header, footer_, size, &header_, error)) {
      return Named(error);
    }
    table_.resize(std::size_t{header_.used} * 4);
    if (file_.ReadAt(header_.tableAt, table_.data(), table_.size(), error) != static_cast<std::int64_t>(table_.size())) {
      return Named(error);
    }
    bitmapBytes_ = (header_.blockSize / 512 / 8 + 511) / 512 * 512;
    return true;
  }

  const VhdFooter& footer() const { return footer_; }
  const VhdHeader& header() const { return header_; }
  void SetParent(std::unique_ptr<Disk> parent) { parent_ = std::move(parent); }

  // The parent's path as the locators give it (a relative Windows one
  // first), then as the header's name gives it.
  std::vector<std::string> ParentNames() {
    std::vector<std::string> names;
    for (std::uint32_t code : {vhd::locator::kWindowsRelative, vhd::locator::kWindowsAbsolute}) {
      for (const VhdLocator& l : header_.locators) {
        std::string bytes(l.length, '\0');
        std::string ignored;
        if (l.code != code || file_.ReadAt(l.offset, bytes.data(), bytes.size(), &ignored) != l.length) continue;
        if (std::string name = Utf16ToUtf8(bytes, false); !name.empty()) names.push_back(name);
      }
    }
    if (!header_.parentName.empty()) names.push_back(header_.parentName);
    return names;
  }

  std::uint64_t Size() const override { return footer_.diskSize; }

  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    if (offset >= footer_.diskSize) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, footer_.diskSize - offset));
    if (footer_.type == vhd::kFixed) {
      std::int64_t got = file_.ReadAt(offset, out, length, error);
      if (got < 0) Named(error);
      return got;
    }
    for (std::size_t done = 0; done < length;) {
      std::uint64_t at = offset + done;
      std::uint64_t within = at % header_.blockSize;
      auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, header_.blockSize - within));
      if (!ReadPiece(at, within, out + done, piece, error)) return -1;
      done += piece;
    }
    return static_cast<std::int64_t>(length);
  }

  HostRun Locate(std::uint64_t offset, std::uint64_t length) override {
    if (offset >= footer_.diskSize) return {};
    length = std::min(length, footer_.diskSize - offset);
    if (footer_.type == vhd::kFixed) return RunOf(file_, offset, length);
    std::uint64_t within = offset % header_.blockSize;
    length = std::min<std::uint64_t>(length, header_.blockSize - within);
    std::uint32_t sector = bytes::BigEndian(table_).U32(static_cast<std::size_t>(offset / header_.blockSize * 4));
    if (sector == vhd::kUnallocated) return parent_ != nullptr ? parent_->Locate(offset, length) : HostRun{};
    std::uint64_t blockAt = std::uint64_t{sector} * 512;
    std::string unsaid;  // Read says it, when it reads there
    if (!bytes::InRange(blockAt, bitmapBytes_ + header_.blockSize, file_.Size())) return {};
    if (footer_.type != vhd::kDifferencing) return RunOf(file_, blockAt + bitmapBytes_ + within, length);
    if (!LoadBitmap(blockAt, &unsaid)) return {};
    std::uint64_t run = SectorsAlike(within, length);
    if (VhdSectorIsOwn(bitmap_, within / 512)) return RunOf(file_, blockAt + bitmapBytes_ + within, run);
    return parent_ != nullptr ? parent_->Locate(offset, run) : HostRun{};
  }

 private:
  // A differencing block's bitmap, kept while the reads stay in its block.
  bool LoadBitmap(std::uint64_t blockAt, std::string* error) {
    if (blockAt == bitmapAt_) return true;
    bitmap_.resize(bitmapBytes_);
    if (file_.ReadAt(blockAt, bitmap_.data(), bitmap_.size(), error) != static_cast<std::int64_t>(bitmap_.size())) {
      bitmapAt_ = ~std::uint64_t{0};
      return Named(error);
    }
    bitmapAt_ = blockAt;
    return true;
  }

  // How many of length bytes from within (in the block whose bitmap is
  // loaded) lie in sectors alike: all the child's, or all the parent's.
  std::uint64_t SectorsAlike(std::uint64_t within, std::uint64_t length) const {
    bool own = VhdSectorIsOwn(bitmap_, within / 512);
    std::uint64_t run = std::min<std::uint64_t>(length, 512 - within % 512);
    while (run < length && VhdSectorIsOwn(bitmap_, (within + run) / 512) == own) {
      run = std::min<std::uint64_t>(length, run + 512);
    }
    return run;
  }

  bool Named(std::string* error) {
    *error = path_ + ": " + *error;
    return false;
  }

  // Bytes of one block: from this file, or, in a differencing disk, the
  // parent's for each run of sectors the block's bitmap does not mark.
  bool ReadPiece(std::uint64_t at, std::uint64_t within, char* out, std::size_t piece, std::string* error) {
    std::uint32_t sector = bytes::BigEndian(table_).U32(static_cast<std::size_t>(at / header_.blockSize * 4));
    if (sector == vhd::kUnallocated) return FromParent(at, out, piece, error);
    std::uint64_t blockAt = std::uint64_t{sector} * 512;
    if (!bytes::InRange(blockAt, bitmapBytes_ + header_.blockSize, file_.Size())) {
      *error = path_ + ": a data block at byte " + std::to_string(blockAt) + " lies past the file's end";
      return false;
    }
    if (footer_.type != vhd::kDifferencing) return Own(blockAt + bitmapBytes_ + within, out, piece, error);
    if (!LoadBitmap(blockAt, error)) return false;
    for (std::size_t done = 0; done < piece;) {
      bool own = VhdSectorIsOwn(bitmap_, (within + done) / 512);
      auto run = static_cast<std::size_t>(SectorsAlike(within + done, piece - done));
      bool read = own ? Own(blockAt + bitmapBytes_ + within + done, out + done, run, error)
                      : FromParent(at + done, out + done, run, error);
      if (!read) return false;
      done += run;
    }
    return true;
  }

  bool Own(std::uint64_t at, char* out, std::size_t length, std::string* error) {
    std::int64_t got = file_.ReadAt(at, out, length, error);
    if (got < 0) return Named(error);
    std::memset(out + got, 0, length - static_cast<std::size_t>(got));
    return true;
  }

  // What the child does not hold: its parent's, or zeros.
  bool FromParent(std::uint64_t at, char* out, std::size_t length, std::string* error) {
    std::int64_t got = parent_ != nullptr ? parent_->Read(at, out, length, error) : 0;
    if (got < 0) return false;
    std::memset(out + got, 0, length - static_cast<std::size_t>(got));
    return true;
  }

  std::string path_;
  HostFile file_;
  VhdFooter footer_;
  VhdHeader header_;
  std::string table_;
  std::uint64_t bitmapBytes_ = 0;
  std::string bitmap_;  // the differencing block's bitmap last read, and where
  std::uint64_t bitmapAt_ = ~std::uint64_t{0};
  std::unique_ptr<Disk> parent_;
};

std::unique_ptr<VhdDisk> OpenLink(const std::string& path, Chain& chain, std::string* error) {
  if (!chain.Enter(path, error)) return nullptr;
  auto disk = std::make_unique<VhdDisk>();
  if (!disk->Open(path, error)) return nullptr;
  // The checksums guard those bytes alone: a damaged disk is read all the
  // same, as a forensic user most wants it read, and the damage is said.
  auto sums = [&](const char* what, std::uint32_t stored, std::uint32_t summed) {
    if (stored == summed) return;
    char said[96];
    std::snprintf(said, sizeof said, "its VHD %s's checksum is 0x%08x, and its bytes sum to 0x%08x", what, stored, summed);
    chain.Note(Named(path) + ": " + said + "; read all the same");
  };
  sums("footer", disk->footer().checksum, disk->footer().summed);
  if (disk->footer().type != vhd::kFixed) sums("header", disk->header().checksum, disk->header().summed);
  if (disk->footer().type != vhd::kDifferencing) return disk;
  std::vector<std::string> names = disk->ParentNames();
  if (names.empty()) {
    *error = path + ": a differencing VHD that names no parent";
    return nullptr;
  }
  std::string parentPath = LocateParent(path, names, "parent", error);
  if (parentPath.empty()) return nullptr;
  std::unique_ptr<VhdDisk> parent = OpenLink(parentPath, chain, error);
  if (parent == nullptr) return nullptr;
  if (parent->footer().id != disk->header().parentId) {
    *error = path + ": its parent " + Named(parentPath) + " is not the parent it was made from (its identifier differs)";
    return nullptr;
  }
  disk->SetParent(std::move(parent));
  return disk;
}

}  // namespace

std::unique_ptr<Disk> OpenVhd(const std::string& path, Chain& chain, std::string* error) {
  return OpenLink(path, chain, error);
}

}  // namespace diskimage
