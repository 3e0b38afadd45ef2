// A qcow image (versions 1, 2 and 3) as a disk, read with a reader of our
// own: libqcow 20201213 reads a version 3 zero cluster as the bytes at the
// file's start, fails every read of a version 1 child over its backing
// file once the child holds a cluster ("libcdata_array_get_entry_by_index:
// invalid entry index value out of bounds"), and reads through no backing
// file but another qcow image, while the layout is public and small
// (QEMU's docs/interop/qcow2.txt, and block/qcow.c for version 1).
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "bytes/bytes.h"
#include "diskimage/chain.h"
#include "diskimage/host_file.h"
#include "diskimage/layout/qcow.h"
#include "diskimage/machine.h"
#include "diskimage/qcow.h"

namespace diskimage {

namespace {

namespace qcow = layout::qcow;
using bytes::BigEndian;

class Qcow2Disk : public Disk {
 public:
  bool Open(const std::string& path, const QcowHeader& header, std::string* error) {
    path_ = path;
    header_ = header;
    clusterBytes_ = std::uint64_t{1} << header.clusterBits;
    if (!file_.Open(path, error)) return false;
    // The L1 table must lie in the file, and is read only as far as the
    // disk's size needs it: entries past the disk's end are never asked for.
    std::uint64_t l1Bytes = std::uint64_t{header.l1Entries} * 8;
    const std::uint64_t perTable = std::uint64_t{1} << header.l2Bits;
    std::uint64_t covered = header.l1Entries * perTable * clusterBytes_;
    if (header.l1Entries > qcow::kMaxL1Entries) {
      *error = "its L1 table claims " + std::to_string(header.l1Entries) + " entries (QEMU reads " +
               std::to_string(qcow::kMaxL1Entries) + " at most)";
      return false;
    }
    if (!bytes::InRange(header.l1At, l1Bytes, file_.Size())) {
      *error = "its L1 table (" + std::to_string(header.l1Entries) + " entries at byte " + std::to_string(header.l1At) +
               ") runs past the file's end";
      return false;
    }
    if (covered / clusterBytes_ / perTable != header.l1Entries || covered < header.diskSize) {
      *error = "its L1 table covers less than the disk's " + std::to_string(header.diskSize) + " bytes";
      return false;
    }
    const std::uint64_t span = perTable * clusterBytes_;  // of one L2 table
    std::uint64_t needed = header.diskSize / span + (header.diskSize % span != 0 ? 1 : 0);
    l1_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(header.l1Entries, needed) * 8));
    return file_.ReadAt(header.l1At, l1_.data(), l1_.size(), error) == static_cast<std::int64_t>(l1_.size());
  }
  void SetBacking(std::unique_ptr<Disk> backing) { backing_ = std::move(backing); }

  std::uint64_t Size() const override { return header_.diskSize; }

  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string* error) override {
    if (offset >= header_.diskSize) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, header_.diskSize - offset));
    for (std::size_t done = 0; done < length;) {
      std::uint64_t at = offset + done;
      auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, clusterBytes_ - at % clusterBytes_));
      if (!ReadPiece(at, out + done, piece, error)) return -1;
      done += piece;
    }
    return static_cast<std::int64_t>(length);
  }

  HostRun Locate(std::uint64_t offset, std::uint64_t length) override {
    if (offset >= header_.diskSize) return {};
    std::uint64_t within = offset % clusterBytes_;
    length = std::min({length, header_.diskSize - offset, clusterBytes_ - within});
    std::uint64_t entry = 0;
    std::string unsaid;  // Read says it, when it reads there
    if (!EntryOf(offset, &entry, &unsaid)) return {};
    QcowCluster cluster = DecodeL2Entry(entry, header_.version, header_.clusterBits);
    if (cluster.kind == QcowCluster::Kind::kUnallocated && backing_ != nullptr) {
      return backing_->Locate(offset, length);
    }
    if (cluster.kind != QcowCluster::Kind::kData || cluster.at == 0 ||
        !bytes::InRange(cluster.at, clusterBytes_, file_.Size())) {
      return {};
    }
    return RunOf(file_, cluster.at + within, length);
  }

 private:
  // The L2 entry of the cluster that holds disk byte at: 0 where none is.
  bool EntryOf(std::uint64_t at, std::uint64_t* entry, std::string* error) {
    const std::uint64_t perTable = std::uint64_t{1} << header_.l2Bits;
    std::uint64_t cluster = at / clusterBytes_;
    std::uint64_t l2At = bytes::BigEndian(l1_).U64(static_cast<std::size_t>(cluster / perTable * 8)) & qcow::kOffsetMask;
    *entry = 0;
    if (l2At == 0) return true;
    if (l2At != l2At_) {
      if (!bytes::InRange(l2At, perTable * 8, file_.Size())) return Damaged("an L2 table", l2At, error);
      l2_.resize(static_cast<std::size_t>(perTable * 8));
      std::int64_t got = 0;
      if (!ReadOwn(l2At, l2_.data(), l2_.size(), &got, error)) return false;
      if (got != static_cast<std::int64_t>(l2_.size())) return Damaged("an L2 table", l2At, error);
      l2At_ = l2At;
    }
    *entry = bytes::BigEndian(l2_).U64(static_cast<std::size_t>(cluster % perTable * 8));
    return true;
  }

  // What is wrong with this file, named: the disk's reader may be any
  // link of a chain.
  bool Damaged(const char* what, std::uint64_t at, std::string* error) {
    *error = path_ + ": " + what + " at byte " + std::to_string(at) + " lies past the file's end";
    return false;
  }
  bool ReadOwn(std::uint64_t at, char* out, std::size_t length, std::int64_t* got, std::string* error) {
    *got = file_.ReadAt(at, out, length, error);
    if (*got < 0) *error = path_ + ": " + *error;
    return *got >= 0;
  }

  bool ReadPiece(std::uint64_t at, char* out, std::size_t piece, std::string* error) {
    std::uint64_t entry = 0;
    if (!EntryOf(at, &entry, error)) return false;
    std::uint64_t within = at % clusterBytes_;
    QcowCluster cluster = DecodeL2Entry(entry, header_.version, header_.clusterBits);
    if (cluster.kind == QcowCluster::Kind::kCompressed) {
      if (!Inflate(entry, cluster, error)) return false;
      std::memcpy(out, inflated_.data() + within, piece);
      return true;
    }
    std::uint64_t dataAt = cluster.at;
    if (cluster.kind == QcowCluster::Kind::kZero || (dataAt == 0 && backing_ == nullptr)) {
      std::memset(out, 0, piece);
      return true;
    }
    std::int64_t got = 0;
    if (dataAt == 0) {
      got = backing_->Read(at, out, piece, error);  // a backing file smaller than the disk reads as zeros past it
    } else {
      if (!bytes::InRange(dataAt, clusterBytes_, file_.Size())) return Damaged("a data cluster", dataAt, error);
      if (!ReadOwn(dataAt + within, out, piece, &got, error)) return false;
    }
    if (got < 0) return false;
    std::memset(out + got, 0, piece - static_cast<std::size_t>(got));
    return true;
  }

  // A compressed cluster, inflated whole (the last one is kept: a file
  // read runs through a cluster in several pieces).
  bool Inflate(std::uint64_t entry, const QcowCluster& cluster, std::string* error) {
    if (entry == inflatedEntry_) return true;
    std::uint64_t at = cluster.at;
    std::uint64_t size = std::min(cluster.bytes, clusterBytes_ * 2);
    size = std::min(size, file_.Size() - std::min(file_.Size(), at));
    std::string packed(static_cast<std::size_t>(size), '\0');
    if (size == 0 || file_.ReadAt(at, packed.data(), packed.size(), error) != static_cast<std::int64_t>(size)) {
      return Damaged("a compressed cluster", at, error);
    }
    inflated_.assign(static_cast<std::size_t>(clusterBytes_), '\0');
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return Damaged("a compressed cluster", at, error);
    z.next_in = reinterpret_cast<Bytef*>(packed.data());
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = reinterpret_cast<Bytef*>(inflated_.data());
    z.avail_out = static_cast<uInt>(inflated_.size());
    int rc = inflate(&z, Z_FINISH);
    bool whole = (rc == Z_STREAM_END || rc == Z_BUF_ERROR) && z.avail_out == 0;
    inflateEnd(&z);
    if (!whole) {
      *error = path_ + ": the compressed cluster at byte " + std::to_string(at) + " does not inflate to one cluster";
      inflatedEntry_ = 0;
      return false;
    }
    inflatedEntry_ = entry;
    return true;
  }

  std::string path_;
  HostFile file_;
  QcowHeader header_;
  std::uint64_t clusterBytes_ = 0;
  std::string l1_;
  std::string l2_;  // the L2 table last read, and where it lies
  std::uint64_t l2At_ = 0;
  std::string inflated_;
  std::uint64_t inflatedEntry_ = 0;
  std::unique_ptr<Disk> backing_;
};

bool ReadHeader(const std::string& path, QcowHeader* header, std::string* error) {
  HostFile file;
  if (!file.Open(path, error)) return false;
  std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(kQcowHeadBytes, file.Size())), '\0');
  std::int64_t got = file.ReadAt(0, head.data(), head.size(), error);
  if (got < 0) return false;
  head.resize(static_cast<std::size_t>(got));
  return ParseQcowHeader(head, header, error);
}

// The backing file a header names, found as every parent is; empty with
// error set when it is not there.
std::string BackingPath(const std::string& path, const QcowHeader& header, std::string* error) {
  return LocateParent(path, {header.backingFile}, "backing file", error);
}

// The internal snapshots of the image whose header is header. The table
// is read as far as its entries go, each entry's fixed part saying how long
// it is, and no further.
bool ReadSnapshots(const std::string& path, const QcowHeader& header, std::vector<QcowSnapshot>* out,
                   std::string* error) {
  namespace snap = qcow::snapshot;
  out->clear();
  if (header.version < 2 || header.snapshots == 0) return true;
  HostFile file;
  if (!file.Open(path, error)) return false;
  const std::uint64_t start = std::min(header.snapshotsAt, file.Size());
  std::uint64_t end = start;
  for (std::uint32_t i = 0; i < header.snapshots && i < snap::kMaxSnapshots && end - start < snap::kMaxTableBytes; ++i) {
    char fixed[snap::kFixedBytes];
    std::int64_t got = file.ReadAt(end, fixed, sizeof fixed, error);
    if (got < 0) return false;
    if (got < static_cast<std::int64_t>(sizeof fixed)) break;  // the parse says where the table runs out
    BigEndian e(std::string_view(fixed, sizeof fixed));
    std::uint64_t size = snap::kFixedBytes + std::uint64_t{e.U32(snap::kExtraBytes)} + e.U16(snap::kIdBytes) +
                         e.U16(snap::kNameBytes);
    end += (size + 7) / 8 * 8;
  }
  std::string table(static_cast<std::size_t>(std::min({end, file.Size(), start + snap::kMaxTableBytes}) - start), '\0');
  if (file.ReadAt(start, table.data(), table.size(), error) != static_cast<std::int64_t>(table.size())) return false;
  return ParseQcowSnapshots(table, header, out, error);
}

std::vector<Snapshot> AsSnapshots(const std::vector<QcowSnapshot>& found) {
  std::vector<Snapshot> snapshots;
  for (const QcowSnapshot& s : found) snapshots.push_back(Snapshot{.id = s.id, .name = s.name, .disks = {}});
  return snapshots;
}

std::unique_ptr<Disk> OpenState(const std::string& path, const StateWanted& wanted, Chain& chain, std::string* error) {
  QcowHeader header;
  if (!chain.Enter(path, error)) return nullptr;
  if (!ReadHeader(path, &header, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  if (!wanted.current()) {
    std::vector<QcowSnapshot> found;
    if (!ReadSnapshots(path, header, &found, error)) {
      *error = path + ": " + *error;
      return nullptr;
    }
    std::vector<Snapshot> snapshots = AsSnapshots(found);
    const Snapshot* chosen = FindSnapshot(snapshots, wanted, path, error);
    if (chosen == nullptr) return nullptr;
    const QcowSnapshot& s = found[static_cast<std::size_t>(chosen - snapshots.data())];
    header.l1At = s.l1At;
    header.l1Entries = s.l1Entries;
    header.diskSize = s.diskSize;
  }
  std::string backing;
  if (!header.backingFile.empty() && (backing = BackingPath(path, header, error)).empty()) return nullptr;
  auto disk = std::make_unique<Qcow2Disk>();
  if (!disk->Open(path, header, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  if (backing.empty()) return disk;
  std::unique_ptr<Disk> under;
  if (header.backingFormat == "raw") {
    under = chain.Enter(backing, error) ? OpenRawDisk(backing, error) : nullptr;
  } else {
    under = OpenChainLink(backing, chain, error);
  }
  if (under == nullptr) return nullptr;
  disk->SetBacking(std::move(under));
  return disk;
}

}  // namespace

std::unique_ptr<Disk> OpenQcow(const std::string& path, Chain& chain, std::string* error) {
  return OpenState(path, {}, chain, error);
}

std::unique_ptr<Disk> OpenQcowSnapshot(const std::string& path, const StateWanted& wanted, Chain& chain,
                                       std::string* error) {
  return OpenState(path, wanted, chain, error);
}

bool QcowSnapshots(const std::string& path, std::vector<Snapshot>* out, std::string* error) {
  QcowHeader header;
  std::vector<QcowSnapshot> found;
  if (!ReadHeader(path, &header, error) || !ReadSnapshots(path, header, &found, error)) {
    *error = path + ": " + *error;
    return false;
  }
  *out = AsSnapshots(found);
  return true;
}

}  // namespace diskimage
