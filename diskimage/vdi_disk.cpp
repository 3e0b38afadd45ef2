// A VDI image as a disk: its blocks from its own file, the blocks it does
// not hold from its parent (a differencing image's, found by UUID), zeros
// where neither holds them.
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "diskimage/chain.h"
#include "diskimage/host_file.h"
#include "diskimage/host_path.h"
#include "diskimage/layout/vdi.h"
#include "diskimage/messages.h"
#include "diskimage/vdi.h"

namespace diskimage {

namespace {

namespace vdi = layout::vdi;

bool ReadHeader(const HostFile& file, VdiHeader* header, std::string* error) {
  std::string head(std::min<std::uint64_t>(vdi::kHeaderBytes, file.Size()), '\0');
  std::int64_t got = file.ReadAt(0, head.data(), head.size(), error);
  if (got < 0) return false;
  head.resize(static_cast<std::size_t>(got));
  return ParseVdiHeader(head, file.Size(), header, error);
}

class VdiDisk : public Disk {
 public:
  bool Open(const std::string& path, std::string* error) {
    if (!file_.Open(path, error) || !ReadHeader(file_, &header_, error)) return false;
    std::string map(std::size_t{header_.used} * 4, '\0');
    std::int64_t got = file_.ReadAt(header_.blocksAt, map.data(), map.size(), error);
    if (got < 0) return false;
    map.resize(static_cast<std::size_t>(got));
    return ParseVdiBlockMap(map, header_, file_.Size(), &map_, error);
  }
  const VdiHeader& header() const { return header_; }
  void SetParent(std::unique_ptr<Disk> parent) { parent_ = std::move(parent); }

  std::uint64_t Size() const override { return header_.diskSize; }

  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    if (offset >= header_.diskSize) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, header_.diskSize - offset));
    std::size_t done = 0;
    while (done < length) {
      std::uint64_t at = offset + done;
      auto block = static_cast<std::uint32_t>(at / header_.blockSize);
      std::uint64_t within = at % header_.blockSize;
      std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, header_.blockSize - within));
      if (!ReadPiece(map_[block], at, within, out + done, piece, error)) return -1;
      done += piece;
    }
    return static_cast<std::int64_t>(done);
  }

  HostRun Locate(std::uint64_t offset, std::uint64_t length) override {
    if (offset >= header_.diskSize) return {};
    std::uint32_t entry = map_[static_cast<std::size_t>(offset / header_.blockSize)];
    std::uint64_t within = offset % header_.blockSize;
    length = std::min({length, header_.diskSize - offset, header_.blockSize - within});
    if (entry == vdi::kBlockFree && parent_ != nullptr) return parent_->Locate(offset, length);
    if (entry == vdi::kBlockFree || entry == vdi::kBlockZero) return {};
    return RunOf(file_, BlockAt(entry) + within, length);
  }

 private:
  // Where the data of a block the map gives lies in the file.
  std::uint64_t BlockAt(std::uint32_t entry) const {
    std::uint64_t stride = std::uint64_t{header_.blockSize} + header_.blockExtra;
    return header_.dataAt + entry * stride + header_.blockExtra;
  }

  bool ReadPiece(std::uint32_t entry, std::uint64_t at, std::uint64_t within, char* out, std::size_t piece,
                 std::string* error) {
    std::int64_t got = 0;
    if (entry == vdi::kBlockFree && parent_ != nullptr) {
      got = parent_->Read(at, out, piece, error);
    } else if (entry != vdi::kBlockFree && entry != vdi::kBlockZero) {
      got = file_.ReadAt(BlockAt(entry) + within, out, piece, error);
    }
    if (got < 0) return false;
    // A block the map gives lies in the file (checked when opened); a
    // parent smaller than its child reads as zeros past its end.
    std::memset(out + got, 0, piece - static_cast<std::size_t>(got));
    return true;
  }

  HostFile file_;
  VdiHeader header_;
  std::vector<std::uint32_t> map_;
  std::unique_ptr<Disk> parent_;
};

// The VDI of a UUID, among the .vdi files of the child's folder and the
// folder above it: VirtualBox keeps the base in the machine's folder and
// the differencing images in its Snapshots folder.
std::string FindVdi(const std::string& child, const Uuid& uuid, std::string* looked) {
  namespace fs = std::filesystem;
  fs::path folder = fs::absolute(HostPath(child)).parent_path();
  std::vector<fs::path> folders = {folder};
  if (folder.has_parent_path() && folder.parent_path() != folder) folders.push_back(folder.parent_path());
  for (const fs::path& dir : folders) {
    *looked += (looked->empty() ? "" : " and ") + HostString(dir);
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
      std::string extension = HostString(entry.path().extension());
      std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
      if (extension != ".vdi" || !entry.is_regular_file(ec)) continue;
      HostFile file;
      VdiHeader header;
      std::string ignored;
      if (file.Open(HostString(entry.path()), &ignored) && ReadHeader(file, &header, &ignored) && header.uuid == uuid) {
        return HostString(entry.path());
      }
    }
  }
  return {};
}

}  // namespace

std::unique_ptr<Disk> OpenVdi(const std::string& path, Chain& chain, std::string* error) {
  if (!chain.Enter(path, error)) return nullptr;
  auto disk = std::make_unique<VdiDisk>();
  if (!disk->Open(path, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  if (!disk->header().differencing()) return disk;
  std::string looked;
  std::string parent;
  if (const std::string* named = chain.Known(UuidText(disk->header().parent))) {
    HostFile file;
    VdiHeader header;
    error->clear();
    if (!file.Open(*named, error) || !ReadHeader(file, &header, error) || header.uuid != disk->header().parent) {
      *error = path + ": its parent {" + UuidText(disk->header().parent) + "}, which the machine places at " + *named +
               ", " + (error->empty() ? "holds another image" : *error);
      return nullptr;
    }
    parent = *named;
  } else {
    parent = FindVdi(path, disk->header().parent, &looked);
  }
  if (parent.empty()) {
    *error = path + ": a differencing VDI whose parent {" + UuidText(disk->header().parent) +
             "} is in no .vdi file of " + looked;
    return nullptr;
  }
  std::unique_ptr<Disk> base = OpenChainLink(parent, chain, error);
  if (base == nullptr) return nullptr;
  disk->SetParent(std::move(base));
  return disk;
}

}  // namespace diskimage
