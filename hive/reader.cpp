// The lazy reader of a CREG hive. Opening reads the frame (the header, the
// RGKN record and the 32-byte header of each block). Everything else is
// read when a call first needs it: a key's entry and record when its
// parent's subkeys are listed, its values when they are asked for, and a
// block's records (indexed by number) when one of them is first looked up.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "hive/frame.h"
#include "hive/hive.h"
#include "hive/records.h"
#include "store/key_names.h"

namespace hive {

using store::kNoNode;
using store::Registry;
using store::Value;
using namespace layout;

namespace {

// A block, and once one of its records is looked up, where its records are.
struct Block {
  BlockSpan span;
  bool indexed = false;
  std::string_view bytes = {};  // the whole block, once indexed; empty if unreadable
  // Where each used record starts, the first of a number winning: by
  // number (0: none; a record never starts at offset 0), or where numbers
  // are sparse, as (record number, offset in the block) sorted.
  std::vector<std::uint32_t> byNumber = {};
  std::vector<std::pair<std::uint16_t, std::uint32_t>> records = {};
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

// The values of a record that lie wholly inside it, as the store keeps them.
void AppendValues(std::string_view record, std::size_t nameLength, std::size_t count, std::vector<Value>& into) {
  ForEachValue(record, nameLength, count, [&](std::size_t at, const ValueHeader& h) {
    into.push_back(Value{ValueName(record, at, h), ValueData(record, at, h), h.type});
    return true;
  });
}

class HiveReader final : public store::LazySource {
 public:
  HiveReader(std::unique_ptr<HiveBytes> bytes, std::string file) : bytes_(std::move(bytes)), file_(std::move(file)) {}

  bool Open(std::string* error) {
    if (!ReadFrame(*bytes_, file_, &frame_, error)) return false;
    for (const BlockSpan& span : frame_.blocks) blocks_.push_back(Block{.span = span});
    for (std::uint32_t i = 0; i < blocks_.size(); ++i) byNumber_.emplace_back(blocks_[i].span.number, i);
    std::sort(byNumber_.begin(), byNumber_.end());
    claimed_.reset(static_cast<std::uint64_t*>(std::calloc(frame_.keyAreaSize / 64 + 1, sizeof(std::uint64_t))));
    if (!claimed_) {
      *error = Refusal(file_, 0, "not enough memory to read the key area");
      return false;
    }
    Claim(frame_.rootEntry);
    return true;
  }

  // What a file cut short lost, or empty.
  const std::string& Cut() const { return frame_.cut; }

  // Whether the top-level keys include .DEFAULT, as USER.DAT's do.
  bool HoldsDefaultUser() {
    KeyEntry root;
    if (!ReadEntry(frame_.rootEntry, root)) return false;
    std::uint32_t at = root.firstChild;
    for (std::size_t steps = 0; frame_.ValidEntry(at) && steps < frame_.keyAreaSize / entry::kBytes; ++steps) {
      KeyEntry e;
      if (!ReadEntry(at, e)) return false;
      std::uint64_t offset = 0;
      std::string_view r = FindRecord(e.block, e.record, &offset);
      if (r.size() >= record::kBytes) {
        std::size_t nameLength = ParseKeyRecordHeader(r).nameLength;
        if (record::kName + nameLength <= r.size() && store::SameName(r.substr(record::kName, nameLength), ".DEFAULT")) {
          return true;
        }
      }
      at = e.next;
    }
    return false;
  }

  // Leaves the hive's keys to be decoded as calls need them.
  void Attach(Registry& reg, std::uint32_t top, std::uint16_t source) {
    top_ = top;
    source_ = source;
    reg.AttachLazy(top, source, frame_.rootEntry, false);
  }

  // Adds every key of the hive to a tree an earlier source made: keys of
  // the same name merge, and a value replaces one of the same name.
  void Merge(Registry& reg, std::uint32_t top) {
    top_ = top;
    KeyEntry root;
    if (!ReadEntry(frame_.rootEntry, root)) return;
    struct Level {
      std::uint32_t node;
      std::uint32_t nextEntry;
      int depth;
    };
    std::vector<Level> stack{{top, root.firstChild, 1}};
    while (!stack.empty()) {
      Level& level = stack.back();
      std::uint32_t at = level.nextEntry;
      if (at == kNone) {
        stack.pop_back();
        continue;
      }
      level.nextEntry = kNone;
      KeyEntry e;
      if (!Enter(reg, level.node, at, e)) continue;
      level.nextEntry = e.next;
      std::uint32_t parent = level.node;
      int depth = level.depth;
      std::optional<KeyRecord> key = ReadKey(reg, parent, at, e, depth);
      if (!key) continue;
      std::uint32_t node = reg.FindChild(parent, key->name);
      if (node == kNoNode) node = reg.AddChild(parent, reg.Keep(key->name));
      ForEachValue(key->record, key->name.size(), key->valueCount, [&](std::size_t v, const ValueHeader& h) {
        reg.SetValue(node, ValueName(key->record, v, h), h.type, ValueData(key->record, v, h));
        return true;
      });
      if (e.firstChild != kNone) stack.push_back(Level{node, e.firstChild, depth + 1});
    }
  }

  void DecodeSubkeys(Registry& reg, std::uint32_t id, std::uint32_t at) override {
    KeyEntry own;
    if (!ReadEntry(at, own)) return;
    int depth = DepthBelow(reg, id) + 1;
    std::uint32_t child = own.firstChild;
    while (child != kNone) {
      KeyEntry e;
      if (!Enter(reg, id, child, e)) return;
      if (std::optional<KeyRecord> key = ReadKey(reg, id, child, e, depth)) {
        auto pending = static_cast<std::uint8_t>((e.firstChild != kNone ? store::kSubkeysPending : 0) |
                                                 (key->valueCount != 0 ? store::kValuesPending : 0));
        // The name is copied: it was checked here, and a mapped file could
        // change under a view of it.
        reg.AddLazyChild(id, reg.Keep(key->name), source_, child, pending);
      }
      child = e.next;
    }
  }

  void DecodeValues(Registry&, std::uint32_t, std::uint32_t at, std::vector<Value>& into) override {
    KeyEntry e;
    if (!ReadEntry(at, e)) return;
    std::uint64_t offset = 0;
    std::string_view r = FindRecord(e.block, e.record, &offset);
    if (r.size() < record::kBytes) return;
    // ReadKey checked the values; the bounds are checked again because a
    // file may change between two reads.
    KeyRecordHeader h = ParseKeyRecordHeader(r);
    into.reserve(into.size() + h.valueCount);
    AppendValues(r, h.nameLength, h.valueCount, into);
  }

 private:
  bool ReadEntry(std::uint32_t at, KeyEntry& e) {
    char raw[entry::kBytes];
    if (!frame_.ValidEntry(at) || !bytes_->Read(EntryOffset(at), entry::kBytes, raw)) return false;
    e = ParseKeyEntry(std::string_view(raw, entry::kBytes));
    return true;
  }

  bool Claimed(std::uint32_t at) const { return (claimed_[at / 64] >> (at % 64) & 1) != 0; }
  void Claim(std::uint32_t at) { claimed_[at / 64] |= std::uint64_t{1} << (at % 64); }

  void Damaged(Registry& reg, std::uint32_t parent, std::string_view name, std::uint64_t offset,
               std::string what) {
    reg.AddDamagedChild(parent, name, file_, offset, std::move(what));
  }

  // Takes the next entry of a chain of subkeys. An entry belongs to the
  // first chain that reaches it: reached again, it closes a loop, and the
  // chain ends there, as it does at an entry outside the key area.
  bool Enter(Registry& reg, std::uint32_t parent, std::uint32_t at, KeyEntry& e) {
    if (!frame_.ValidEntry(at)) {
      Damaged(reg, parent, {}, EntryOffset(at), "key entry " + Hex(at) + " lies outside the key area");
      return false;
    }
    if (Claimed(at)) {
      Damaged(reg, parent, {}, EntryOffset(at), "key chain loops back to entry " + Hex(at));
      return false;
    }
    Claim(at);
    if (!ReadEntry(at, e)) {
      Damaged(reg, parent, {}, EntryOffset(at), "key entry " + Hex(at) + " cannot be read");
      return false;
    }
    return true;
  }

  // How deep id lies below the hive's top; the count stops past the limit.
  int DepthBelow(Registry& reg, std::uint32_t id) const {
    int depth = 0;
    for (std::uint32_t at = id; at != top_ && at != kNoNode && depth <= store::kMaxKeyDepth; ++depth) {
      at = reg.node(at).parent;
    }
    return depth;
  }

  void Index(Block& b) {
    b.indexed = true;
    b.bytes = bytes_->Keep(b.span.at, b.span.size);
    // Records tile the block; where the tiling breaks, the records after
    // the break cannot be found, and keys that name them are damaged.
    std::uint16_t highest = 0;
    ForEachRecord(b.bytes, [&](std::size_t r, std::uint32_t size) {
      ++store::g_storeSteps;
      if (size < record::kBytes) return;
      KeyRecordHeader h = ParseKeyRecordHeader(b.bytes.substr(r));
      if (h.free()) return;
      b.records.emplace_back(h.number, static_cast<std::uint32_t>(r));
      highest = std::max(highest, h.number);
    });
    // Windows numbers a block's records densely, in no particular order:
    // then a table by number costs less than sorting. The first record of
    // a number wins, as it does in the sorted list.
    if (std::size_t{highest} + 1 <= 2 * b.records.size() + 64) {
      b.byNumber.assign(std::size_t{highest} + 1, 0);
      for (const auto& [number, offset] : b.records) {
        if (b.byNumber[number] == 0) b.byNumber[number] = offset;
      }
      b.records = {};
    } else if (!std::is_sorted(b.records.begin(), b.records.end())) {
      std::sort(b.records.begin(), b.records.end());
    }
  }

  bool HoldsBlock(std::uint16_t number) const {
    auto it = std::lower_bound(byNumber_.begin(), byNumber_.end(), std::pair{number, std::uint32_t{0}});
    return it != byNumber_.end() && it->first == number;
  }

  // Where a record of that number starts in an indexed block; 0: none.
  static std::uint32_t OffsetIn(const Block& b, std::uint16_t recordNumber) {
    if (!b.byNumber.empty()) return recordNumber < b.byNumber.size() ? b.byNumber[recordNumber] : 0;
    auto r = std::lower_bound(b.records.begin(), b.records.end(), std::pair{recordNumber, std::uint32_t{0}});
    return r != b.records.end() && r->first == recordNumber ? r->second : 0;
  }

  // A used record by block and record number, from its start to its end;
  // empty when there is none. The first block of that number that holds the
  // record wins, and within a block the first record of that number.
  std::string_view FindRecord(std::uint16_t blockNumber, std::uint16_t recordNumber, std::uint64_t* at) {
    if (blockNumber == kNoNumber || recordNumber == kNoNumber) return {};
    auto first = std::lower_bound(byNumber_.begin(), byNumber_.end(), std::pair{blockNumber, std::uint32_t{0}});
    if (first == byNumber_.end() || first->first != blockNumber) return {};
    std::uint32_t index = first->second;
    std::uint32_t offset = 0;
    if (std::next(first) == byNumber_.end() || std::next(first)->first != blockNumber) {
      Block& b = blocks_[index];
      if (!b.indexed) Index(b);
      offset = OffsetIn(b, recordNumber);
    } else {
      // Several blocks carry the number (Windows never writes that; a
      // damaged or crafted file does): they are indexed together once, so
      // that no look-up tries them one by one.
      const std::vector<SharedRecord>& shared = SharedIndex(first);
      auto r = std::lower_bound(shared.begin(), shared.end(), recordNumber,
                                [](const SharedRecord& e, std::uint16_t n) { return e.number < n; });
      if (r != shared.end() && r->number == recordNumber) {
        index = r->block;
        offset = r->offset;
      }
    }
    ++store::g_storeSteps;
    if (offset == 0) return {};
    Block& b = blocks_[index];
    *at = b.span.at + offset;
    return b.bytes.substr(offset, U32(b.bytes, offset + record::kSize));
  }

  struct SharedRecord {
    std::uint16_t number;
    std::uint32_t block;   // index in blocks_
    std::uint32_t offset;  // in that block
  };

  // The records of every block that carries the number first points at, by
  // record number; of several, the first block's in file order, and in it
  // the first record.
  const std::vector<SharedRecord>& SharedIndex(std::vector<std::pair<std::uint16_t, std::uint32_t>>::iterator first) {
    auto [it, fresh] = shared_.try_emplace(first->first);
    std::vector<SharedRecord>& table = it->second;
    if (!fresh) return table;
    for (auto b = first; b != byNumber_.end() && b->first == first->first; ++b) {
      Block& block = blocks_[b->second];
      if (!block.indexed) Index(block);
      ++store::g_storeSteps;
      for (std::uint32_t n = 0; n < block.byNumber.size(); ++n) {
        if (block.byNumber[n] != 0) table.push_back(SharedRecord{static_cast<std::uint16_t>(n), b->second, block.byNumber[n]});
      }
      for (const auto& [number, offset] : block.records) table.push_back(SharedRecord{number, b->second, offset});
    }
    std::stable_sort(table.begin(), table.end(),
                     [](const SharedRecord& a, const SharedRecord& b) { return a.number < b.number; });
    store::g_storeSteps += table.size();
    return table;
  }

  // Finds and checks the record of the key at entry. Damage is recorded on
  // the parent, named where the name could be read.
  std::optional<KeyRecord> ReadKey(Registry& reg, std::uint32_t parent, std::uint32_t at, const KeyEntry& e,
                                   int depth) {
    std::uint64_t offset = 0;
    std::string_view r = FindRecord(e.block, e.record, &offset);
    if (r.empty()) {
      bool lost = !frame_.cut.empty() && !HoldsBlock(e.block);
      Damaged(reg, parent, {}, EntryOffset(at),
              "record " + std::to_string(e.record) + " of block " + std::to_string(e.block) +
                  (lost ? " lay past the cut of the file" : " not found"));
      return std::nullopt;
    }
    KeyRecordHeader h = ParseKeyRecordHeader(r);
    if (record::kName + h.nameLength > r.size()) {
      Damaged(reg, parent, {}, offset, "key name runs past its record");
      return std::nullopt;
    }
    std::string_view name = r.substr(record::kName, h.nameLength);
    if (const char* unusable = store::UnusableKeyName(name, reg.leadBytes())) {
      Damaged(reg, parent, {}, offset, unusable);
      return std::nullopt;
    }
    if (name.size() > store::kMaxKeyNameBytes) {
      Damaged(reg, parent, {}, offset, "key name longer than " + std::to_string(store::kMaxKeyNameBytes) + " bytes");
      return std::nullopt;
    }
    if (depth > store::kMaxKeyDepth) {
      Damaged(reg, parent, name, EntryOffset(at),
              "keys nested deeper than " + std::to_string(store::kMaxKeyDepth) + " levels");
      return std::nullopt;
    }
    // Every value is checked before the key is taken, so a damaged key has none.
    bool longName = false;
    ValueListEnd end = ForEachValue(r, h.nameLength, h.valueCount, [&](std::size_t, const ValueHeader& value) {
      longName = value.nameLength > store::kMaxValueNameBytes;
      return !longName;
    });
    if (longName) {
      Damaged(reg, parent, name, offset + end.at,
              "value name longer than " + std::to_string(store::kMaxValueNameBytes) + " bytes");
      return std::nullopt;
    }
    if (end.taken < h.valueCount) {
      Damaged(reg, parent, name, offset + end.at, "values run past their record");
      return std::nullopt;
    }
    return KeyRecord{name, r, offset, h.valueCount};
  }

  std::unique_ptr<HiveBytes> bytes_;
  std::string file_;
  Frame frame_;
  std::vector<Block> blocks_;                                      // in file order
  std::vector<std::pair<std::uint16_t, std::uint32_t>> byNumber_;  // (block number, index), sorted
  std::unordered_map<std::uint16_t, std::vector<SharedRecord>> shared_;  // by a number several blocks carry
  // One bit per byte of the key area: the entries a chain has taken. Zero
  // pages cost nothing until a bit on them is set.
  std::unique_ptr<std::uint64_t[], FreeDeleter> claimed_;
  std::uint32_t top_ = kNoNode;
  std::uint16_t source_ = 0;
};

}  // namespace

bool LoadHive(Registry& reg, std::unique_ptr<HiveBytes> bytes, const std::string& fileName,
              std::optional<store::Root> root, std::string* error) {
  auto reader = std::make_unique<HiveReader>(std::move(bytes), fileName);
  if (!reader->Open(error)) return false;
  if (!reader->Cut().empty()) reg.AddLoadNote(reader->Cut(), true);
  if (!root) root = reader->HoldsDefaultUser() ? store::Root::kUsers : store::Root::kLocalMachine;
  std::uint32_t top = reg.RootNode(*root, true);
  // Onto keys an earlier source made, the hive merges; that needs those keys.
  bool merge = !reg.Subkeys(top).empty();
  HiveReader& reading = *reader;
  std::uint16_t source = reg.AddSource(std::move(reader));
  if (merge) {
    reading.Merge(reg, top);
  } else {
    reading.Attach(reg, top, source);
  }
  return true;
}

bool LoadHive(Registry& reg, std::unique_ptr<char[]> image, std::size_t size, const std::string& fileName,
              std::optional<store::Root> root, std::string* error) {
  return LoadHive(reg, MemoryHiveBytes(std::move(image), size), fileName, root, error);
}

}  // namespace hive
