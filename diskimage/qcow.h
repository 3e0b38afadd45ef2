// QEMU's qcow and qcow2 images. What the header says is read here, as
// plain code a fuzz target shares, so that what is not read (an encrypted
// image, zstd, an external data file) is refused by name and the backing
// file is known before the image is opened by our reader (qcow2_disk.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace diskimage {

struct QcowHeader {
  std::uint32_t version = 0;       // 1, 2 or 3
  std::uint32_t clusterBits = 0;   // a cluster is 1 << clusterBits bytes
  std::uint32_t l2Bits = 0;        // an L2 table holds 1 << l2Bits entries
  std::uint64_t diskSize = 0;
  std::string backingFile;         // empty: none
  std::string backingFormat;       // as the header extension names it; empty: not named
  std::uint32_t snapshots = 0;     // internal snapshots (qcow2)
  std::uint32_t l1Entries = 0;     // the L1 table's entries, and where it lies
  std::uint64_t l1At = 0;
  std::uint64_t snapshotsAt = 0;   // qcow2: the snapshot table's offset
};

// An internal snapshot of a qcow2 image: the disk as it was, through its
// own L1 table.
struct QcowSnapshot {
  std::string id;
  std::string name;
  std::uint64_t l1At = 0;
  std::uint32_t l1Entries = 0;
  std::uint64_t diskSize = 0;  // the disk's size then
};

// The bytes of the header the parser needs: the first cluster holds the
// header, its extensions and the backing file's name.
inline constexpr std::size_t kQcowHeadBytes = 64 * 1024;

// The header in head (the image's first kQcowHeadBytes, or all the file
// has). False with error saying what is wrong, or what is not read here.
bool ParseQcowHeader(std::string_view head, QcowHeader* header, std::string* error);

// The snapshot table of header's image in table (the file's bytes from the
// table's offset on, kMaxTableBytes at most). False with error where an
// entry runs past them or the table claims more than QEMU writes.
bool ParseQcowSnapshots(std::string_view table, const QcowHeader& header, std::vector<QcowSnapshot>* out,
                        std::string* error);

// What an L2 entry says of its cluster, decoded alone, so that a table can
// hold each form: not in this file (its backing file's, or zeros), zeros
// whatever the backing file holds (version 3), its bytes at a file offset,
// or compressed, in at most bytes from a file offset (a bound: the stream
// ends where it ends).
struct QcowCluster {
  enum class Kind { kUnallocated, kZero, kData, kCompressed };
  Kind kind = Kind::kUnallocated;
  std::uint64_t at = 0;
  std::uint64_t bytes = 0;  // kCompressed alone
};
QcowCluster DecodeL2Entry(std::uint64_t entry, std::uint32_t version, std::uint32_t clusterBits);

}  // namespace diskimage
