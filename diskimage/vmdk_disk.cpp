// A VMDK image as a disk (vmdk.h says why ours): its descriptor's extents
// in turn (sparse, flat or zero), each extent file found as VMware finds
// it (from the descriptor's folder, or where an absolute name says), and
// under a delta link its parent, the file parentFileNameHint names,
// checked by the CID the child records for it as parentCID.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "bytes/bytes.h"
#include "diskimage/chain.h"
#include "diskimage/host_file.h"
#include "diskimage/host_path.h"
#include "diskimage/layout/vmdk.h"
#include "diskimage/messages.h"
#include "diskimage/vmdk.h"

namespace diskimage {

namespace {

namespace vmdk = layout::vmdk;

// A descriptor is some hundred bytes; one of more is none VMware wrote.
constexpr std::uint64_t kMaxDescriptorBytes = 1 << 20;
// What one grain directory may take, as QEMU bounds its L1 table.
constexpr std::uint64_t kMaxDirectoryBytes = 32 << 20;
// Grain tables kept at once: a file read runs through few.
constexpr std::size_t kKeptTables = 256;

std::string Hex(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// A hosted sparse extent: its grain directory, read when the extent is
// first read, and its grain tables as they are needed.
class SparseExtent {
 public:
  // Checks the header (a stream-optimized extent's footer too).
  bool Open(const std::string& path, std::string* error) {
    path_ = path;
    if (!file_.Open(path, error)) return false;
    std::string head(vmdk::kHeaderBytes, '\0');
    std::int64_t got = file_.ReadAt(0, head.data(), head.size(), error);
    if (got < 0) return false;
    head.resize(static_cast<std::size_t>(got));
    if (!ParseVmdkSparseHeader(head, file_.Size(), kMaxDirectoryBytes, &header_, error)) return false;
    if (!header_.footerAtEnd()) return true;
    // The stream is done: the footer, a header with the directory's place,
    // stands before the end-of-stream marker.
    std::string footer(vmdk::kHeaderBytes, '\0');
    if (file_.Size() < vmdk::kFooterMarkerFromEnd ||
        file_.ReadAt(file_.Size() - vmdk::kFooterFromEnd, footer.data(), footer.size(), error) !=
            static_cast<std::int64_t>(footer.size())) {
      *error = "cut short: the footer that ends a stream-optimized VMDK is not at its end";
      return false;
    }
    std::string marker(vmdk::kHeaderBytes, '\0');
    file_.ReadAt(file_.Size() - vmdk::kFooterMarkerFromEnd, marker.data(), marker.size(), error);
    if (bytes::LittleEndian(marker).U32(vmdk::marker::kType) != vmdk::marker::kFooter) {
      *error = "cut short: the footer that ends a stream-optimized VMDK is not at its end";
      return false;
    }
    VmdkSparseHeader inFooter;
    if (!ParseVmdkSparseHeader(footer, file_.Size(), kMaxDirectoryBytes, &inFooter, error)) {
      *error = "its footer: " + *error;
      return false;
    }
    if (inFooter.footerAtEnd()) {
      *error = "its footer places its grain directory at its end, where the footer is";
      return false;
    }
    header_ = inFooter;
    return true;
  }
  const VmdkSparseHeader& header() const { return header_; }
  std::uint64_t FileSize() const { return file_.Size(); }

  // Copies the extent's bytes at offset (within it) to out, up to the end
  // of the grain offset lies in; the count copied, 0 where the grain is not
  // the extent's (its parent's, or zeros where there is none), -1 on error.
  std::int64_t ReadGrain(std::uint64_t offset, char* out, std::size_t length, bool* own, std::string* error) {
    const std::uint64_t grainBytes = header_.grainSectors * 512;
    std::uint64_t grain = offset / grainBytes;
    std::uint64_t within = offset % grainBytes;
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, grainBytes - within));
    std::uint32_t entry = 0;
    if (!Entry(grain, &entry, error)) return -1;
    VmdkGrain where = DecodeGrainEntry(entry, header_);
    *own = where.sector != 0 || where.zero;
    if (where.zero) std::memset(out, 0, piece);
    if (where.sector == 0) return static_cast<std::int64_t>(piece);
    std::uint64_t at = where.sector * 512;
    if (header_.compressed) {
      if (!Inflate(at, grain, error)) return -1;
      std::memcpy(out, inflated_.data() + within, piece);
      return static_cast<std::int64_t>(piece);
    }
    if (!bytes::InRange(at, grainBytes, file_.Size())) {
      Damaged("a grain", at, error);
      return -1;
    }
    if (file_.ReadAt(at + within, out, piece, error) != static_cast<std::int64_t>(piece)) return -1;
    return static_cast<std::int64_t>(piece);
  }

  // Where the extent's bytes at offset lie in its file, to the end of their
  // grain at most: own false where the grain is not the extent's (the run's
  // length then says how far the parent is asked).
  HostRun LocateGrain(std::uint64_t offset, std::uint64_t length, bool* own) {
    const std::uint64_t grainBytes = header_.grainSectors * 512;
    std::uint64_t grain = offset / grainBytes;
    std::uint64_t within = offset % grainBytes;
    length = std::min(length, grainBytes - within);
    std::uint32_t entry = 0;
    std::string unsaid;  // ReadGrain says it, when it reads there
    *own = true;
    if (!Entry(grain, &entry, &unsaid)) return {};
    VmdkGrain where = DecodeGrainEntry(entry, header_);
    *own = where.sector != 0 || where.zero;
    if (!*own) return {nullptr, 0, length};
    std::uint64_t at = where.sector * 512;
    if (where.zero || header_.compressed || !bytes::InRange(at, grainBytes, file_.Size())) return {};
    return RunOf(file_, at + within, length);
  }

 private:
  bool Damaged(const std::string& what, std::uint64_t at, std::string* error) const {
    *error = Named(path_) + ": " + what + " at byte " + std::to_string(at) + " lies past the file's end";
    return false;
  }

  bool Entry(std::uint64_t grain, std::uint32_t* entry, std::string* error) {
    if (directory_.empty() && header_.directoryEntries > 0) {
      std::string raw(header_.directoryEntries * 4, '\0');
      if (file_.ReadAt(header_.directoryAt * 512, raw.data(), raw.size(), error) != static_cast<std::int64_t>(raw.size())) {
        return Damaged("the grain directory", header_.directoryAt * 512, error);
      }
      bytes::LittleEndian d(raw);
      directory_.resize(header_.directoryEntries);
      for (std::size_t i = 0; i < directory_.size(); ++i) directory_[i] = d.U32(i * 4);
    }
    std::uint64_t table = grain / header_.tableEntries;
    std::uint32_t tableAt = table < directory_.size() ? directory_[table] : 0;
    if (tableAt == 0) {
      *entry = 0;
      return true;
    }
    auto kept = tables_.find(table);
    if (kept == tables_.end()) {
      std::string raw(std::size_t{header_.tableEntries} * 4, '\0');
      std::uint64_t at = std::uint64_t{tableAt} * 512;
      if (!bytes::InRange(at, raw.size(), file_.Size())) return Damaged("a grain table", at, error);
      if (file_.ReadAt(at, raw.data(), raw.size(), error) != static_cast<std::int64_t>(raw.size())) return false;
      if (tables_.size() == kKeptTables) tables_.clear();
      kept = tables_.emplace(table, std::move(raw)).first;
    }
    *entry = bytes::LittleEndian(kept->second).U32((grain % header_.tableEntries) * 4);
    return true;
  }

  // A compressed grain, inflated whole (the last one is kept: a file read
  // in clusters reads each grain many times).
  bool Inflate(std::uint64_t at, std::uint64_t grain, std::string* error) {
    if (grain == inflatedGrain_) return true;
    inflatedGrain_ = UINT64_MAX;
    const std::uint64_t grainBytes = header_.grainSectors * 512;
    char head[vmdk::marker::kGrainHead];
    if (!bytes::InRange(at, sizeof head, file_.Size())) return Damaged("a compressed grain", at, error);
    if (file_.ReadAt(at, head, sizeof head, error) != static_cast<std::int64_t>(sizeof head)) return false;
    std::uint32_t size = bytes::LittleEndian(head, sizeof head).U32(vmdk::marker::kSize);
    if (size == 0 || size > compressBound(static_cast<uLong>(grainBytes)) ||
        !bytes::InRange(at + sizeof head, size, file_.Size())) {
      return Damaged("a compressed grain of " + std::to_string(size) + " bytes", at, error);
    }
    std::string packed(size, '\0');
    if (file_.ReadAt(at + sizeof head, packed.data(), packed.size(), error) != static_cast<std::int64_t>(size)) return false;
    inflated_.assign(static_cast<std::size_t>(grainBytes), '\0');
    uLongf length = static_cast<uLongf>(inflated_.size());
    int rc = uncompress(reinterpret_cast<Bytef*>(inflated_.data()), &length,
                        reinterpret_cast<const Bytef*>(packed.data()), static_cast<uLong>(packed.size()));
    if (rc != Z_OK) {
      *error = Named(path_) + ": the compressed grain at byte " + std::to_string(at) + " does not inflate" +
               (rc == Z_BUF_ERROR ? " within a grain" : "");
      return false;
    }
    inflatedGrain_ = grain;
    return true;
  }

  std::string path_;
  HostFile file_;
  VmdkSparseHeader header_;
  std::vector<std::uint32_t> directory_;
  std::unordered_map<std::uint64_t, std::string> tables_;
  std::string inflated_;
  std::uint64_t inflatedGrain_ = UINT64_MAX;
};

class VmdkDisk : public Disk {
 public:
  bool Open(const std::string& path, std::string* error) {
    std::string why;
    if (!Describe(path, &why)) {
      *error = path + ": cannot be read as a VMDK image: " + why;
      return false;
    }
    return true;
  }

  const VmdkDescriptor& descriptor() const { return descriptor_; }

  bool SetParent(std::unique_ptr<VmdkDisk> parent, std::string* error) {
    if (parent->descriptor_.cid != descriptor_.parentCid) {
      *error = "is not the parent it was made from (its CID is " + Hex(parent->descriptor_.cid) +
               ", the child's parentCID " + Hex(descriptor_.parentCid) + ")";
      return false;
    }
    parent_ = std::move(parent);
    return true;
  }

  std::uint64_t Size() const override { return size_; }

  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    std::size_t done = 0;
    while (done < length) {
      std::uint64_t at = offset + done;
      // The extent at holds: few, and in order.
      auto extent = std::upper_bound(starts_.begin(), starts_.end(), at) - starts_.begin() - 1;
      std::uint64_t within = at - starts_[static_cast<std::size_t>(extent)];
      Extent& e = extents_[static_cast<std::size_t>(extent)];
      std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, e.bytes - within));
      std::int64_t got = ReadExtent(e, at, within, out + done, piece, error);
      if (got < 0) return -1;
      done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
  }

  HostRun Locate(std::uint64_t offset, std::uint64_t length) override {
    if (offset >= size_) return {};
    auto extent = std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin() - 1;
    std::uint64_t within = offset - starts_[static_cast<std::size_t>(extent)];
    Extent& e = extents_[static_cast<std::size_t>(extent)];
    length = std::min(length, e.bytes - within);
    switch (e.line.kind) {
      case VmdkExtent::Kind::kZero:
        return {};
      case VmdkExtent::Kind::kFlat:
        return RunOf(*e.flat, e.line.offset * 512 + within, length);
      case VmdkExtent::Kind::kSparse: {
        bool own = true;
        HostRun run = e.sparse->LocateGrain(within, length, &own);
        if (own || parent_ == nullptr) return own ? run : HostRun{};
        return parent_->Locate(offset, run.length);
      }
    }
    return {};
  }

 private:
  struct Extent {
    VmdkExtent line;
    std::string path;  // where its file is, found as VMware finds it
    std::uint64_t bytes = 0;
    std::unique_ptr<HostFile> flat;
    std::unique_ptr<SparseExtent> sparse;
  };

  // The descriptor (on its own, or in the sparse extent path is) and each
  // extent file, opened and checked.
  bool Describe(const std::string& path, std::string* error) {
    HostFile file;
    if (!file.Open(path, error)) return false;
    std::string head(vmdk::kHeaderBytes, '\0');
    std::int64_t got = file.ReadAt(0, head.data(), head.size(), error);
    if (got < 0) return false;
    head.resize(static_cast<std::size_t>(got));
    std::string text;
    if (head.starts_with(layout::signature::kVmdkSparse)) {
      VmdkSparseHeader header;
      if (!ParseVmdkSparseHeader(head, file.Size(), kMaxDirectoryBytes, &header, error)) return false;
      if (header.descriptorSectors == 0) {
        // An extent of a split disk opened alone: the disk is it, and no
        // descriptor names a parent.
        descriptor_.extents.push_back({VmdkExtent::Kind::kSparse, header.capacity, path, 0});
        return OpenExtents(path, /*selfOnly=*/true, error);
      }
      std::uint64_t bytes = header.descriptorSectors * 512;
      if (bytes > kMaxDescriptorBytes) {
        *error = "its embedded descriptor of " + std::to_string(bytes) + " bytes is larger than any VMware writes";
        return false;
      }
      text.assign(static_cast<std::size_t>(bytes), '\0');
      if (file.ReadAt(header.descriptorAt * 512, text.data(), text.size(), error) != static_cast<std::int64_t>(bytes)) {
        *error = "its embedded descriptor lies past the file's end";
        return false;
      }
      // The file is its disk's one extent, whatever name its descriptor
      // gave it when it was made: a copy or a renamed file reads itself,
      // as VMware and QEMU read it.
      if (!ParseVmdkDescriptor(text, &descriptor_, error)) return false;
      descriptor_.extents = {{VmdkExtent::Kind::kSparse, header.capacity, path, 0}};
      return OpenExtents(path, /*selfOnly=*/true, error);
    }
    if (!ReadHostFile(path, kMaxDescriptorBytes, "a VMDK descriptor", &text, error)) return false;
    return ParseVmdkDescriptor(text, &descriptor_, error) && OpenExtents(path, false, error);
  }

  bool OpenExtents(const std::string& path, bool selfOnly, std::string* error) {
    std::filesystem::path folder = HostPath(path).parent_path();
    for (const VmdkExtent& line : descriptor_.extents) {
      Extent e;
      e.line = line;
      e.bytes = line.sectors * 512;
      if (line.kind != VmdkExtent::Kind::kZero) {
        e.path = selfOnly || HostRooted(line.file) ? line.file : HostString(folder / HostPath(line.file));
      }
      if (line.kind == VmdkExtent::Kind::kFlat) {
        e.flat = std::make_unique<HostFile>();
        if (!e.flat->Open(e.path, error)) return Refused(e, *error, error);
        if (line.offset > (UINT64_MAX >> 9) - line.sectors) return Refused(e, "its offset runs past any file", error);
      } else if (line.kind == VmdkExtent::Kind::kSparse) {
        e.sparse = std::make_unique<SparseExtent>();
        if (!e.sparse->Open(e.path, error)) return Refused(e, *error, error);
        if (e.sparse->header().capacity < line.sectors) {
          return Refused(e, "holds " + std::to_string(e.sparse->header().capacity) + " sectors, and the descriptor says " +
                                std::to_string(line.sectors),
                         error);
        }
      }
      starts_.push_back(size_);
      size_ += e.bytes;
      extents_.push_back(std::move(e));
    }
    return true;
  }

  static bool Refused(const Extent& e, const std::string& why, std::string* error) {
    *error = "its extent " + Named(e.path) + " " + why;
    return false;
  }

  std::int64_t ReadExtent(Extent& e, std::uint64_t at, std::uint64_t within, char* out, std::size_t piece,
                          std::string* error) {
    switch (e.line.kind) {
      case VmdkExtent::Kind::kZero:
        std::memset(out, 0, piece);
        return static_cast<std::int64_t>(piece);
      case VmdkExtent::Kind::kFlat: {
        // A flat extent's offset counts sectors, as VMware and QEMU count it.
        std::int64_t got = e.flat->ReadAt(e.line.offset * 512 + within, out, piece, error);
        if (got < 0) return -1;
        if (static_cast<std::size_t>(got) != piece) {
          *error = Named(e.path) + ": the flat extent ends at byte " + std::to_string(e.flat->Size()) +
                   ", short of the disk's bytes it holds";
          return -1;
        }
        return got;
      }
      case VmdkExtent::Kind::kSparse: {
        bool own = false;
        std::int64_t got = e.sparse->ReadGrain(within, out, piece, &own, error);
        if (got <= 0 || own) return got;
        // Not this link's grain: the parent's, or zeros over none.
        if (parent_ == nullptr) {
          std::memset(out, 0, static_cast<std::size_t>(got));
          return got;
        }
        std::int64_t fromParent = parent_->Read(at, out, static_cast<std::size_t>(got), error);
        if (fromParent < 0) return -1;
        std::memset(out + fromParent, 0, static_cast<std::size_t>(got - fromParent));
        return got;
      }
    }
    return -1;
  }

  VmdkDescriptor descriptor_;
  std::vector<Extent> extents_;
  std::vector<std::uint64_t> starts_;  // each extent's first byte in the disk
  std::uint64_t size_ = 0;
  // Grains this link does not hold are read from it.
  std::unique_ptr<VmdkDisk> parent_;
};

// A link and the links under it, each a VMDK: VMware makes no delta over
// a disk of another format.
std::unique_ptr<VmdkDisk> OpenLink(const std::string& path, Chain& chain, std::string* error) {
  if (!chain.Enter(path, error)) return nullptr;
  auto disk = std::make_unique<VmdkDisk>();
  if (!disk->Open(path, error)) return nullptr;
  if (!disk->descriptor().HasParent()) return disk;
  std::string parentPath = LocateParent(path, {disk->descriptor().parentHint}, "parent", error);
  if (parentPath.empty()) return nullptr;
  if (HostFile file; !file.Open(parentPath, error)) {
    *error = path + ": its parent " + Named(parentPath) + " " + *error;
    return nullptr;
  }
  std::unique_ptr<VmdkDisk> parent = OpenLink(parentPath, chain, error);
  if (parent == nullptr) return nullptr;
  if (!disk->SetParent(std::move(parent), error)) {
    *error = path + ": its parent " + Named(parentPath) + " " + *error;
    return nullptr;
  }
  return disk;
}

}  // namespace

std::unique_ptr<Disk> OpenVmdk(const std::string& path, Chain& chain, std::string* error) {
  return OpenLink(path, chain, error);
}

}  // namespace diskimage
