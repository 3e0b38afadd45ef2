// Reader of the CREG hive format. All integers are little-endian and
// unaligned; every offset and size in the file is untrusted.
//
//   0x00  file header, 32 bytes
//           0  "CREG"          8  file offset of the first RGDB block
//          16  u16 number of RGDB blocks
//   0x20  RGKN record, 32 bytes, then the key entries (the tree)
//           0  "RGKN"          4  size of the whole key area
//           8  offset of the root entry, relative to the RGKN record
//   key entry, 28 bytes, offsets relative to the RGKN record, ~0 for none
//          12  parent         16  first child       20  next sibling
//          24  u16 record number in its block       26  u16 block number
//   RGDB block: 32-byte header ("RGDB", 4 size, 14 u16 block number), then
//   key records back to back to the block's end:
//           0  record size (these 4 bytes included)
//           4  u16 record number (0xFFFF: free)
//          12  u16 name length   14  u16 value count   20  name, values
//   value:  0  type   8  u16 name length   10  u16 data length
//          12  name, then data
#include "winreg/hive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace regstore {

namespace {

constexpr std::size_t kRgknAt = 0x20;
constexpr std::size_t kHeaderBytes = 0x40;  // file header and RGKN record
constexpr std::size_t kEntryBytes = 28;
constexpr std::size_t kBlockHeaderBytes = 32;
constexpr std::size_t kRecordHeaderBytes = 20;
constexpr std::size_t kValueHeaderBytes = 12;
constexpr std::uint32_t kNone = 0xFFFFFFFFU;
constexpr std::uint16_t kNoRecord = 0xFFFF;

std::string Hex(std::uint64_t n) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(n));
  return text;
}

class HiveReader {
 public:
  HiveReader(Registry& reg, const char* bytes, std::size_t size, const std::string& file,
             std::string* error)
      : reg_(reg), p_(reinterpret_cast<const unsigned char*>(bytes)), size_(size), file_(file),
        error_(error) {}

  bool Load(std::optional<Root> root) {
    if (!ReadHeader() || !IndexBlocks()) return false;
    if (!root) root = HoldsDefaultUser() ? Root::kUsers : Root::kLocalMachine;
    std::uint32_t top = reg_.RootNode(*root, true);
    merge_ = !reg_.node(top).children.empty();
    visited_.assign(rgknSize_, false);
    visited_[rootEntry_] = true;
    reg_.ReserveNodes(reg_.NodeCount() + rgknSize_ / kEntryBytes);
    ReadTree(top, U32(kRgknAt + rootEntry_ + 16));
    records_ = {};
    return true;
  }

 private:
  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  std::uint16_t U16(std::size_t at) const {
    return static_cast<std::uint16_t>(p_[at] | p_[at + 1] << 8);
  }
  std::uint32_t U32(std::size_t at) const {
    return static_cast<std::uint32_t>(p_[at]) | static_cast<std::uint32_t>(p_[at + 1]) << 8 |
           static_cast<std::uint32_t>(p_[at + 2]) << 16 | static_cast<std::uint32_t>(p_[at + 3]) << 24;
  }
  std::string_view Bytes(std::size_t at, std::size_t length) const {
    return {reinterpret_cast<const char*>(p_ + at), length};
  }

  bool Refuse(std::uint64_t offset, const std::string& what) {
    *error_ = file_ + ": offset " + Hex(offset) + ": " + what;
    return false;
  }

  bool ReadHeader() {
    if (!Has(0, kHeaderBytes)) {
      return Refuse(size_, "file ends inside the header (" + std::to_string(size_) + " bytes)");
    }
    if (Bytes(kRgknAt, 4) != "RGKN") return Refuse(kRgknAt, "no RGKN signature");
    rgknSize_ = U32(kRgknAt + 4);
    if (rgknSize_ < kBlockHeaderBytes || !Has(kRgknAt, rgknSize_)) {
      return Refuse(kRgknAt + 4, "key area size " + Hex(rgknSize_) + " runs past the end of the file");
    }
    rootEntry_ = U32(kRgknAt + 8);
    if (!ValidEntry(rootEntry_)) {
      return Refuse(kRgknAt + 8, "root key entry " + Hex(rootEntry_) + " lies outside the key area");
    }
    return true;
  }

  // Records where every used key record starts, by block and record number.
  bool IndexBlocks() {
    std::uint64_t at = U32(8);
    unsigned count = U16(16);
    for (unsigned i = 0; i < count; ++i) {
      std::string which = "block " + std::to_string(i) + ": ";
      if (!Has(at, kBlockHeaderBytes)) return Refuse(at, which + "runs past the end of the file");
      if (Bytes(at, 4) != "RGDB") return Refuse(at, which + "no RGDB signature");
      std::uint32_t blockSize = U32(at + 4);
      if (blockSize < kBlockHeaderBytes || !Has(at, blockSize)) {
        return Refuse(at + 4, which + "size " + Hex(blockSize) + " runs past the end of the file");
      }
      std::uint64_t number = U16(at + 14);
      std::uint64_t end = at + blockSize;
      // Records tile the block; where the tiling breaks, the records after
      // the break cannot be found, and keys that name them are damaged.
      for (std::uint64_t r = at + kBlockHeaderBytes; r + 4 <= end;) {
        std::uint32_t recordSize = U32(r);
        if (recordSize < 4 || recordSize > end - r) break;
        if (recordSize >= kRecordHeaderBytes && U16(r + 4) != kNoRecord) {
          records_.push_back((number << 16 | U16(r + 4)) << 32 | r);
        }
        r += recordSize;
      }
      at = end;
    }
    if (!std::is_sorted(records_.begin(), records_.end())) std::sort(records_.begin(), records_.end());
    return true;
  }

  bool ValidEntry(std::uint64_t entry) const {
    return entry >= kBlockHeaderBytes && entry <= rgknSize_ && kEntryBytes <= rgknSize_ - entry;
  }

  // The file offset of a key's record, or 0 when there is none.
  std::size_t FindRecord(std::uint16_t block, std::uint16_t record) const {
    std::uint64_t key = (std::uint64_t{block} << 16 | record) << 32;
    auto it = std::lower_bound(records_.begin(), records_.end(), key);
    if (it == records_.end() || (*it >> 32) != (key >> 32)) return 0;
    return static_cast<std::size_t>(*it & 0xFFFFFFFFU);
  }

  // Whether the top-level keys include .DEFAULT, as USER.DAT's do.
  bool HoldsDefaultUser() const {
    std::uint64_t entry = U32(kRgknAt + rootEntry_ + 16);
    for (std::size_t steps = 0; ValidEntry(entry) && steps < rgknSize_ / kEntryBytes; ++steps) {
      std::size_t at = kRgknAt + entry;
      std::size_t record = FindRecord(U16(at + 26), U16(at + 24));
      if (record != 0) {
        std::size_t nameLength = U16(record + 12);
        if (kRecordHeaderBytes + nameLength <= U32(record) && SameName(Bytes(record + 20, nameLength), ".DEFAULT")) {
          return true;
        }
      }
      entry = U32(at + 20);
    }
    return false;
  }

  void Damaged(std::uint32_t parent, std::string_view name, std::uint64_t offset, std::string what) {
    reg_.AddDamagedChild(parent, name, file_, offset, std::move(what));
  }

  struct Level {
    std::uint32_t node;
    std::uint32_t nextEntry;
    int depth;
  };

  // Follows child and sibling chains without recursion, each entry once.
  void ReadTree(std::uint32_t top, std::uint32_t firstChild) {
    std::vector<Level> stack{{top, firstChild, 1}};
    while (!stack.empty()) {
      Level& level = stack.back();
      std::uint32_t entry = level.nextEntry;
      if (entry == kNone) {
        stack.pop_back();
        continue;
      }
      level.nextEntry = kNone;
      if (!ValidEntry(entry)) {
        Damaged(level.node, {}, kRgknAt + entry, "key entry " + Hex(entry) + " lies outside the key area");
        continue;
      }
      if (visited_[entry]) {
        Damaged(level.node, {}, kRgknAt + entry, "key chain loops back to entry " + Hex(entry));
        continue;
      }
      visited_[entry] = true;
      std::size_t at = kRgknAt + entry;
      level.nextEntry = U32(at + 20);
      int depth = level.depth;
      std::uint32_t node = ReadKey(level.node, at, depth);
      std::uint32_t child = U32(at + 16);
      if (node != kNoNode && child != kNone) stack.push_back(Level{node, child, depth + 1});
    }
  }

  // Adds the key of one entry under parent. Returns the node to descend
  // into, or kNoNode when the key is damaged.
  std::uint32_t ReadKey(std::uint32_t parent, std::size_t entryAt, int depth) {
    std::uint16_t number = U16(entryAt + 24);
    std::uint16_t block = U16(entryAt + 26);
    std::size_t record = number == kNoRecord || block == kNoRecord ? 0 : FindRecord(block, number);
    if (record == 0) {
      Damaged(parent, {}, entryAt,
              "record " + std::to_string(number) + " of block " + std::to_string(block) + " not found");
      return kNoNode;
    }
    std::size_t end = record + U32(record);
    std::size_t nameLength = U16(record + 12);
    if (record + kRecordHeaderBytes + nameLength > end) {
      Damaged(parent, {}, record, "key name runs past its record");
      return kNoNode;
    }
    std::string_view name = Bytes(record + kRecordHeaderBytes, nameLength);
    // Such a name cannot be opened by name: an empty one, or one cut short
    // at a NUL, would name the parent itself, and a backslash another key.
    const char* unusable = name.empty()                                  ? "key without a name"
                           : name.find('\\') != std::string_view::npos ? "key name holds a backslash"
                           : name.find('\0') != std::string_view::npos  ? "key name holds a NUL byte"
                                                                        : nullptr;
    if (unusable != nullptr) {
      Damaged(parent, {}, record, unusable);
      return kNoNode;
    }
    if (name.size() > kMaxKeyNameBytes) {
      Damaged(parent, {}, record, "key name longer than " + std::to_string(kMaxKeyNameBytes) + " bytes");
      return kNoNode;
    }
    if (depth > kMaxKeyDepth) {
      Damaged(parent, name, entryAt, "keys nested deeper than " + std::to_string(kMaxKeyDepth) + " levels");
      return kNoNode;
    }
    // Check every value before adding any, so a damaged key has none.
    std::size_t valueCount = U16(record + 14);
    std::size_t first = record + kRecordHeaderBytes + nameLength;
    std::size_t at = first;
    for (std::size_t i = 0; i < valueCount; ++i) {
      if (at + kValueHeaderBytes > end ||
          at + kValueHeaderBytes + U16(at + 8) + U16(at + 10) > end) {
        Damaged(parent, name, at, "values run past their record");
        return kNoNode;
      }
      if (U16(at + 8) > kMaxValueNameBytes) {
        Damaged(parent, name, at, "value name longer than " + std::to_string(kMaxValueNameBytes) + " bytes");
        return kNoNode;
      }
      at += kValueHeaderBytes + U16(at + 8) + U16(at + 10);
    }
    std::uint32_t node = merge_ ? reg_.FindChild(parent, name) : kNoNode;
    if (node == kNoNode) node = reg_.AddChild(parent, name);
    at = first;
    for (std::size_t i = 0; i < valueCount; ++i) {
      std::size_t nameBytes = U16(at + 8);
      std::size_t dataBytes = U16(at + 10);
      std::string_view valueName = Bytes(at + kValueHeaderBytes, nameBytes);
      std::string_view data = Bytes(at + kValueHeaderBytes + nameBytes, dataBytes);
      if (merge_) {
        reg_.SetValue(node, valueName, U32(at), data);
      } else {
        reg_.AppendValue(node, valueName, U32(at), data);
      }
      at += kValueHeaderBytes + nameBytes + dataBytes;
    }
    return node;
  }

  Registry& reg_;
  const unsigned char* p_;
  std::size_t size_;
  const std::string& file_;
  std::string* error_;
  std::uint32_t rgknSize_ = 0;
  std::uint32_t rootEntry_ = 0;
  bool merge_ = false;
  std::vector<std::uint64_t> records_;  // (block << 16 | record) << 32 | file offset
  std::vector<bool> visited_;           // by entry offset
};

}  // namespace

bool LooksLikeHive(std::string_view bytes) { return bytes.starts_with("CREG"); }

bool LoadHive(Registry& reg, std::unique_ptr<char[]> image, std::size_t size,
              const std::string& fileName, std::optional<Root> root, std::string* error) {
  HiveReader reader(reg, image.get(), size, fileName, error);
  if (!reader.Load(root)) return false;
  reg.KeepBuffer(std::move(image));
  return true;
}

}  // namespace regstore
