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
//
// Opening reads the header, the RGKN record and the 32-byte header of each
// block. Everything else is read when a call first needs it: a key's entry
// and record when its parent's subkeys are listed, its values when they are
// asked for, and a block's records (indexed by number) when one of them is
// first looked up.
#include "winreg/hive.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t U16(std::string_view s, std::size_t at) {
  return U16(reinterpret_cast<const unsigned char*>(s.data()) + at);
}
std::uint32_t U32(std::string_view s, std::size_t at) {
  return U32(reinterpret_cast<const unsigned char*>(s.data()) + at);
}

class MemoryBytes final : public HiveBytes {
 public:
  MemoryBytes(std::unique_ptr<char[]> image, std::size_t size) : image_(std::move(image)), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t length, void* out) override {
    if (offset > size_ || length > size_ - offset) return false;
    if (length != 0) std::memcpy(out, image_.get() + offset, length);
    return true;
  }
  std::string_view Keep(std::uint64_t offset, std::size_t length) override {
    if (offset > size_ || length > size_ - offset) return {};
    return {image_.get() + offset, length};
  }

 private:
  std::unique_ptr<char[]> image_;
  std::size_t size_;
};

struct Entry {
  std::uint32_t firstChild;
  std::uint32_t next;
  std::uint16_t record;
  std::uint16_t block;
};

struct Block {
  std::uint64_t at;  // file offset
  std::uint32_t size;
  std::uint16_t number;
  bool indexed = false;
  std::string_view bytes;  // the whole block, once indexed; empty if unreadable
  // Where each used record starts, the first of a number winning: by
  // number (0: none; a record never starts at offset 0), or where numbers
  // are sparse, as (record number, offset in the block) sorted.
  std::vector<std::uint32_t> byNumber;
  std::vector<std::pair<std::uint16_t, std::uint32_t>> records;
};

// A key's record, checked: its name is usable and its values lie inside it.
struct KeyRecord {
  std::string_view name;
  std::string_view record;  // from its start to its end
  std::uint64_t at;         // file offset
  std::uint16_t valueCount;
};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

class HiveReader final : public LazySource {
 public:
  HiveReader(std::unique_ptr<HiveBytes> bytes, std::string file) : bytes_(std::move(bytes)), file_(std::move(file)) {}

  // Reads the frame: header, key area, block list.
  bool Open(std::string* error) {
    size_ = bytes_->Size();
    unsigned char header[kHeaderBytes];
    if (!bytes_->Read(0, kHeaderBytes, header)) {
      return Refuse(error, size_, "file ends inside the header (" + std::to_string(size_) + " bytes)");
    }
    if (std::memcmp(header + kRgknAt, "RGKN", 4) != 0) return Refuse(error, kRgknAt, "no RGKN signature");
    rgknSize_ = U32(header + kRgknAt + 4);
    if (rgknSize_ < kBlockHeaderBytes || !Has(kRgknAt, rgknSize_)) {
      return Refuse(error, kRgknAt + 4, "key area size " + Hex(rgknSize_) + " runs past the end of the file");
    }
    rootEntry_ = U32(header + kRgknAt + 8);
    if (!ValidEntry(rootEntry_)) {
      return Refuse(error, kRgknAt + 8, "root key entry " + Hex(rootEntry_) + " lies outside the key area");
    }
    std::uint64_t at = U32(header + 8);
    unsigned count = U16(header + 16);
    for (unsigned i = 0; i < count; ++i) {
      std::string which = "block " + std::to_string(i) + ": ";
      unsigned char block[kBlockHeaderBytes];
      if (!bytes_->ReadAlone(at, kBlockHeaderBytes, block)) {
        return Refuse(error, at, which + "runs past the end of the file");
      }
      if (std::memcmp(block, "RGDB", 4) != 0) return Refuse(error, at, which + "no RGDB signature");
      std::uint32_t blockSize = U32(block + 4);
      if (blockSize < kBlockHeaderBytes || !Has(at, blockSize)) {
        return Refuse(error, at + 4, which + "size " + Hex(blockSize) + " runs past the end of the file");
      }
      blocks_.push_back(Block{at, blockSize, U16(block + 14), false, {}, {}, {}});
      at += blockSize;
    }
    for (std::uint32_t i = 0; i < blocks_.size(); ++i) byNumber_.emplace_back(blocks_[i].number, i);
    std::sort(byNumber_.begin(), byNumber_.end());
    claimed_.reset(static_cast<std::uint64_t*>(std::calloc(rgknSize_ / 64 + 1, sizeof(std::uint64_t))));
    if (!claimed_) return Refuse(error, 0, "not enough memory to read the key area");
    Claim(rootEntry_);
    return true;
  }

  // Whether the top-level keys include .DEFAULT, as USER.DAT's do.
  bool HoldsDefaultUser() {
    Entry root;
    if (!ReadEntry(rootEntry_, root)) return false;
    std::uint32_t entry = root.firstChild;
    for (std::size_t steps = 0; ValidEntry(entry) && steps < rgknSize_ / kEntryBytes; ++steps) {
      Entry e;
      if (!ReadEntry(entry, e)) return false;
      std::uint64_t at = 0;
      std::string_view record = FindRecord(e.block, e.record, &at);
      if (record.size() >= kRecordHeaderBytes) {
        std::size_t nameLength = U16(record, 12);
        if (kRecordHeaderBytes + nameLength <= record.size() &&
            SameName(record.substr(kRecordHeaderBytes, nameLength), ".DEFAULT")) {
          return true;
        }
      }
      entry = e.next;
    }
    return false;
  }

  // Leaves the hive's keys to be decoded as calls need them.
  void Attach(Registry& reg, std::uint32_t top, std::uint16_t source) {
    top_ = top;
    source_ = source;
    reg.AttachLazy(top, source, rootEntry_, false);
  }

  // Adds every key of the hive to a tree an earlier source made: keys of
  // the same name merge, and a value replaces one of the same name.
  void Merge(Registry& reg, std::uint32_t top) {
    top_ = top;
    Entry root;
    if (!ReadEntry(rootEntry_, root)) return;
    struct Level {
      std::uint32_t node;
      std::uint32_t nextEntry;
      int depth;
    };
    std::vector<Level> stack{{top, root.firstChild, 1}};
    while (!stack.empty()) {
      Level& level = stack.back();
      std::uint32_t entry = level.nextEntry;
      if (entry == kNone) {
        stack.pop_back();
        continue;
      }
      level.nextEntry = kNone;
      Entry e;
      if (!Enter(reg, level.node, entry, e)) continue;
      level.nextEntry = e.next;
      std::uint32_t parent = level.node;
      int depth = level.depth;
      std::optional<KeyRecord> key = ReadKey(reg, parent, entry, e, depth);
      if (!key) continue;
      std::uint32_t node = reg.FindChild(parent, key->name);
      if (node == kNoNode) node = reg.AddChild(parent, reg.Keep(key->name));
      ForEachValue(*key, [&](std::string_view name, std::uint32_t type, std::string_view data) {
        reg.SetValue(node, name, type, data);
      });
      if (e.firstChild != kNone) stack.push_back(Level{node, e.firstChild, depth + 1});
    }
  }

  void DecodeSubkeys(Registry& reg, std::uint32_t id, std::uint32_t entry) override {
    Entry own;
    if (!ReadEntry(entry, own)) return;
    int depth = DepthBelow(reg, id) + 1;
    std::uint32_t child = own.firstChild;
    while (child != kNone) {
      Entry e;
      if (!Enter(reg, id, child, e)) return;
      if (std::optional<KeyRecord> key = ReadKey(reg, id, child, e, depth)) {
        auto pending = static_cast<std::uint8_t>((e.firstChild != kNone ? kSubkeysPending : 0) |
                                                 (key->valueCount != 0 ? kValuesPending : 0));
        // The name is copied: it was checked here, and a mapped file could
        // change under a view of it.
        reg.AddLazyChild(id, reg.Keep(key->name), source_, child, pending);
      }
      child = e.next;
    }
  }

  // Every free record of the data blocks, in file order.
  void Recover(Recovery* out) {
    for (Block& block : blocks_) {
      std::string_view b = bytes_->Keep(block.at, block.size);
      for (std::size_t r = kBlockHeaderBytes; r + 4 <= b.size();) {
        std::uint32_t recordSize = U32(b, r);
        if (recordSize < 4 || recordSize > b.size() - r) break;
        if (recordSize >= 6 && U16(b, r + 4) == kNoRecord) {
          ++out->freeRecords;
          RecoverOne(b.substr(r, recordSize), block.at + r, out);
        }
        r += recordSize;
      }
    }
  }

  void DecodeValues(Registry&, std::uint32_t, std::uint32_t entry, std::vector<Value>& into) override {
    Entry e;
    if (!ReadEntry(entry, e)) return;
    std::uint64_t at = 0;
    std::string_view record = FindRecord(e.block, e.record, &at);
    if (record.size() < kRecordHeaderBytes) return;
    KeyRecord key{{}, record, at, U16(record, 14)};
    into.reserve(into.size() + key.valueCount);
    ForEachValue(key, [&](std::string_view name, std::uint32_t type, std::string_view data) {
      into.push_back(Value{name, data, type});
    });
  }

 private:
  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  bool Refuse(std::string* error, std::uint64_t offset, const std::string& what) {
    *error = file_ + ": offset " + Hex(offset) + ": " + what;
    return false;
  }

  bool ValidEntry(std::uint64_t entry) const {
    return entry >= kBlockHeaderBytes && entry <= rgknSize_ && kEntryBytes <= rgknSize_ - entry;
  }

  bool ReadEntry(std::uint32_t entry, Entry& e) {
    unsigned char bytes[kEntryBytes];
    if (!ValidEntry(entry) || !bytes_->Read(kRgknAt + entry, kEntryBytes, bytes)) return false;
    e = Entry{U32(bytes + 16), U32(bytes + 20), U16(bytes + 24), U16(bytes + 26)};
    return true;
  }

  bool Claimed(std::uint32_t entry) const { return (claimed_[entry / 64] >> (entry % 64) & 1) != 0; }
  void Claim(std::uint32_t entry) { claimed_[entry / 64] |= std::uint64_t{1} << (entry % 64); }

  void Damaged(Registry& reg, std::uint32_t parent, std::string_view name, std::uint64_t offset,
               std::string what) {
    reg.AddDamagedChild(parent, name, file_, offset, std::move(what));
  }

  // Takes the next entry of a chain of subkeys. An entry belongs to the
  // first chain that reaches it: reached again, it closes a loop, and the
  // chain ends there, as it does at an entry outside the key area.
  bool Enter(Registry& reg, std::uint32_t parent, std::uint32_t entry, Entry& e) {
    if (!ValidEntry(entry)) {
      Damaged(reg, parent, {}, kRgknAt + entry, "key entry " + Hex(entry) + " lies outside the key area");
      return false;
    }
    if (Claimed(entry)) {
      Damaged(reg, parent, {}, kRgknAt + entry, "key chain loops back to entry " + Hex(entry));
      return false;
    }
    Claim(entry);
    if (!ReadEntry(entry, e)) {
      Damaged(reg, parent, {}, kRgknAt + entry, "key entry " + Hex(entry) + " cannot be read");
      return false;
    }
    return true;
  }

  // How deep id lies below the hive's top; the count stops past the limit.
  int DepthBelow(Registry& reg, std::uint32_t id) const {
    int depth = 0;
    for (std::uint32_t at = id; at != top_ && at != kNoNode && depth <= kMaxKeyDepth; ++depth) {
      at = reg.node(at).parent;
    }
    return depth;
  }

  void Index(Block& block) {
    block.indexed = true;
    block.bytes = bytes_->Keep(block.at, block.size);
    std::string_view b = block.bytes;
    // Records tile the block; where the tiling breaks, the records after
    // the break cannot be found, and keys that name them are damaged.
    std::uint16_t highest = 0;
    for (std::size_t r = kBlockHeaderBytes; r + 4 <= b.size();) {
      std::uint32_t recordSize = U32(b, r);
      if (recordSize < 4 || recordSize > b.size() - r) break;
      if (recordSize >= kRecordHeaderBytes && U16(b, r + 4) != kNoRecord) {
        block.records.emplace_back(U16(b, r + 4), static_cast<std::uint32_t>(r));
        highest = std::max(highest, U16(b, r + 4));
      }
      r += recordSize;
    }
    // Windows numbers a block's records densely, in no particular order:
    // then a table by number costs less than sorting. The first record of
    // a number wins, as it does in the sorted list.
    if (std::size_t{highest} + 1 <= 2 * block.records.size() + 64) {
      block.byNumber.assign(std::size_t{highest} + 1, 0);
      for (const auto& [number, offset] : block.records) {
        if (block.byNumber[number] == 0) block.byNumber[number] = offset;
      }
      block.records = {};
    } else if (!std::is_sorted(block.records.begin(), block.records.end())) {
      std::sort(block.records.begin(), block.records.end());
    }
  }

  // A used record by block and record number, from its start to its end;
  // empty when there is none. The first block of that number that holds the
  // record wins, and within a block the first record of that number.
  std::string_view FindRecord(std::uint16_t blockNumber, std::uint16_t recordNumber, std::uint64_t* at) {
    if (blockNumber == kNoRecord || recordNumber == kNoRecord) return {};
    auto first = std::lower_bound(byNumber_.begin(), byNumber_.end(), std::pair{blockNumber, std::uint32_t{0}});
    for (auto it = first; it != byNumber_.end() && it->first == blockNumber; ++it) {
      Block& block = blocks_[it->second];
      if (!block.indexed) Index(block);
      std::uint32_t offset = 0;
      if (!block.byNumber.empty()) {
        if (recordNumber < block.byNumber.size()) offset = block.byNumber[recordNumber];
      } else {
        auto r = std::lower_bound(block.records.begin(), block.records.end(),
                                  std::pair{recordNumber, std::uint32_t{0}});
        if (r != block.records.end() && r->first == recordNumber) offset = r->second;
      }
      if (offset == 0) continue;
      *at = block.at + offset;
      return block.bytes.substr(offset, U32(block.bytes, offset));
    }
    return {};
  }

  // Finds and checks the record of the key at entry. Damage is recorded on
  // the parent, named where the name could be read.
  std::optional<KeyRecord> ReadKey(Registry& reg, std::uint32_t parent, std::uint32_t entry, const Entry& e,
                                   int depth) {
    std::uint64_t at = 0;
    std::string_view record = FindRecord(e.block, e.record, &at);
    if (record.empty()) {
      Damaged(reg, parent, {}, kRgknAt + entry,
              "record " + std::to_string(e.record) + " of block " + std::to_string(e.block) + " not found");
      return std::nullopt;
    }
    std::size_t nameLength = U16(record, 12);
    if (kRecordHeaderBytes + nameLength > record.size()) {
      Damaged(reg, parent, {}, at, "key name runs past its record");
      return std::nullopt;
    }
    std::string_view name = record.substr(kRecordHeaderBytes, nameLength);
    // Such a name cannot be opened by name: an empty one, or one cut short
    // at a NUL, would name the parent itself, and a backslash another key.
    const char* unusable = name.empty()                                  ? "key without a name"
                           : name.find('\\') != std::string_view::npos ? "key name holds a backslash"
                           : name.find('\0') != std::string_view::npos  ? "key name holds a NUL byte"
                                                                        : nullptr;
    if (unusable != nullptr) {
      Damaged(reg, parent, {}, at, unusable);
      return std::nullopt;
    }
    if (name.size() > kMaxKeyNameBytes) {
      Damaged(reg, parent, {}, at, "key name longer than " + std::to_string(kMaxKeyNameBytes) + " bytes");
      return std::nullopt;
    }
    if (depth > kMaxKeyDepth) {
      Damaged(reg, parent, name, kRgknAt + entry,
              "keys nested deeper than " + std::to_string(kMaxKeyDepth) + " levels");
      return std::nullopt;
    }
    // Every value is checked before the key is taken, so a damaged key has none.
    std::uint16_t valueCount = U16(record, 14);
    std::size_t v = kRecordHeaderBytes + nameLength;
    for (std::size_t i = 0; i < valueCount; ++i) {
      if (v + kValueHeaderBytes > record.size() ||
          v + kValueHeaderBytes + U16(record, v + 8) + U16(record, v + 10) > record.size()) {
        Damaged(reg, parent, name, at + v, "values run past their record");
        return std::nullopt;
      }
      if (U16(record, v + 8) > kMaxValueNameBytes) {
        Damaged(reg, parent, name, at + v,
                "value name longer than " + std::to_string(kMaxValueNameBytes) + " bytes");
        return std::nullopt;
      }
      v += kValueHeaderBytes + U16(record, v + 8) + U16(record, v + 10);
    }
    return KeyRecord{name, record, at, valueCount};
  }

  // The values of a record, in stored order. ReadKey checked them; the
  // bounds are checked again because a file may change between two reads.
  template <typename F>
  static void ForEachValue(const KeyRecord& key, F&& f) {
    std::string_view r = key.record;
    if (r.size() < kRecordHeaderBytes) return;
    std::size_t v = kRecordHeaderBytes + U16(r, 12);
    for (std::size_t i = 0; i < key.valueCount; ++i) {
      if (v + kValueHeaderBytes > r.size()) return;
      std::size_t nameBytes = U16(r, v + 8);
      std::size_t dataBytes = U16(r, v + 10);
      if (v + kValueHeaderBytes + nameBytes + dataBytes > r.size()) return;
      f(r.substr(v + kValueHeaderBytes, nameBytes), U32(r, v),
        r.substr(v + kValueHeaderBytes + nameBytes, dataBytes));
      v += kValueHeaderBytes + nameBytes + dataBytes;
    }
  }

  static void RecoverOne(std::string_view record, std::uint64_t at, Recovery* out) {
    if (record.size() < kRecordHeaderBytes || U32(record, 16) != 0) return;
    std::size_t nameLength = U16(record, 12);
    if (nameLength == 0) return;
    RecoveredKey key;
    key.offset = at;
    key.valueCount = U16(record, 14);
    key.name = record.substr(kRecordHeaderBytes, nameLength);  // cut at the end
    if (kRecordHeaderBytes + nameLength > record.size()) {
      key.lost = "the key name runs past the record's end; the name is cut there and the values are lost";
      out->keys.push_back(std::move(key));
      return;
    }
    bool nameUsable = std::none_of(key.name.begin(), key.name.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == '\\';
    });
    std::size_t v = kRecordHeaderBytes + nameLength;
    for (std::size_t i = 0; i < key.valueCount; ++i) {
      if (v + kValueHeaderBytes > record.size() ||
          v + kValueHeaderBytes + U16(record, v + 8) + U16(record, v + 10) > record.size()) {
        key.lost = std::to_string(key.valueCount - i) + " of " + std::to_string(key.valueCount) +
                   " values run past the record's end and are lost";
        break;
      }
      std::size_t nameBytes = U16(record, v + 8);
      std::size_t dataBytes = U16(record, v + 10);
      key.values.push_back(Value{record.substr(v + kValueHeaderBytes, nameBytes), record.substr(v + kValueHeaderBytes + nameBytes, dataBytes), U32(record, v)});
      v += kValueHeaderBytes + nameBytes + dataBytes;
    }
    if (!nameUsable) {
      std::string what = "the key name holds bytes no key name can hold";
      key.lost = key.lost.empty() ? what : what + "; " + key.lost;
    }
    out->keys.push_back(std::move(key));
  }

  std::unique_ptr<HiveBytes> bytes_;
  std::string file_;
  std::uint64_t size_ = 0;
  std::uint32_t rgknSize_ = 0;
  std::uint32_t rootEntry_ = 0;
  std::vector<Block> blocks_;                                // in file order
  std::vector<std::pair<std::uint16_t, std::uint32_t>> byNumber_;  // (block number, index), sorted
  // One bit per byte of the key area: the entries a chain has taken. Zero
  // pages cost nothing until a bit on them is set.
  std::unique_ptr<std::uint64_t[], FreeDeleter> claimed_;
  std::uint32_t top_ = kNoNode;
  std::uint16_t source_ = 0;
};

}  // namespace

std::unique_ptr<HiveBytes> MemoryHiveBytes(std::unique_ptr<char[]> image, std::size_t size) {
  return std::make_unique<MemoryBytes>(std::move(image), size);
}

bool LooksLikeHive(std::string_view bytes) { return bytes.starts_with("CREG"); }

bool LoadHive(Registry& reg, std::unique_ptr<HiveBytes> bytes, const std::string& fileName,
              std::optional<Root> root, std::string* error) {
  auto reader = std::make_unique<HiveReader>(std::move(bytes), fileName);
  if (!reader->Open(error)) return false;
  if (!root) root = reader->HoldsDefaultUser() ? Root::kUsers : Root::kLocalMachine;
  std::uint32_t top = reg.RootNode(*root, true);
  // Onto keys an earlier source made, the hive merges; that needs those keys.
  bool merge = !reg.Subkeys(top).empty();
  HiveReader& hive = *reader;
  std::uint16_t source = reg.AddSource(std::move(reader));
  if (merge) {
    hive.Merge(reg, top);
  } else {
    hive.Attach(reg, top, source);
  }
  return true;
}

bool RecoverDeletedKeys(std::unique_ptr<HiveBytes> bytes, const std::string& fileName, Recovery* out,
                        std::string* error) {
  HiveBytes& kept = *bytes;
  out->bytes = std::move(bytes);
  // The reader borrows the bytes; the recovery keeps them for its views.
  struct Borrowed final : HiveBytes {
    explicit Borrowed(HiveBytes& b) : b_(b) {}
    std::uint64_t Size() const override { return b_.Size(); }
    bool Read(std::uint64_t offset, std::size_t length, void* to) override { return b_.Read(offset, length, to); }
    std::string_view Keep(std::uint64_t offset, std::size_t length) override { return b_.Keep(offset, length); }
    HiveBytes& b_;
  };
  HiveReader reader(std::make_unique<Borrowed>(kept), fileName);
  if (!reader.Open(error)) return false;
  reader.Recover(out);
  return true;
}

bool LoadHive(Registry& reg, std::unique_ptr<char[]> image, std::size_t size, const std::string& fileName,
              std::optional<Root> root, std::string* error) {
  return LoadHive(reg, MemoryHiveBytes(std::move(image), size), fileName, root, error);
}

}  // namespace regstore
