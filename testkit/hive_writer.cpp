#include "testkit/hive_writer.h"

#include "hive/layout.h"

namespace hive_writer {

namespace {

namespace layout = hive::layout;
constexpr std::uint32_t kNone = layout::kNone;

std::size_t RoundUp(std::size_t n, bool page) { return page ? (n + 0xFFF) & ~std::size_t{0xFFF} : n; }

struct Flat {
  const Key* key;
  std::uint32_t parent;      // index into the flat list
  std::uint32_t firstChild;  // index, or kNone
  std::uint32_t next;        // index, or kNone
};

void Flatten(const Key& key, std::uint32_t parent, std::vector<Flat>& flat) {
  auto self = static_cast<std::uint32_t>(flat.size());
  flat.push_back({&key, parent, kNone, kNone});
  std::uint32_t previous = kNone;
  for (const Key& child : key.children) {
    auto index = static_cast<std::uint32_t>(flat.size());
    if (previous == kNone) {
      flat[self].firstChild = index;
    } else {
      flat[previous].next = index;
    }
    previous = index;
    Flatten(child, self, flat);
  }
}

std::uint32_t NameHash(const std::string& name) {
  std::uint32_t sum = 0;
  for (unsigned char c : name) {
    if (c >= 0x80) continue;
    sum += (c >= 'a' && c <= 'z') ? c - 0x20 : c;
  }
  return sum;
}

}  // namespace

void PutU16(std::string& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>(value >> 8);
}
void PutU32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
std::uint32_t GetU32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

namespace {

// A block's key records in the making.
struct Block {
  std::string records;
  std::vector<std::pair<std::size_t, std::size_t>> placed;  // key index, offset in block
};
using Placement = std::vector<std::pair<std::uint16_t, std::uint16_t>>;  // by key: record and block number

std::string KeyRecord(const Key& key, std::uint16_t number) {
  std::string record(layout::record::kBytes, '\0');
  PutU16(record, layout::record::kNumber, number);
  PutU16(record, layout::record::kNameLength, static_cast<std::uint16_t>(key.name.size()));
  PutU16(record, layout::record::kValueCount, static_cast<std::uint16_t>(key.values.size()));
  record += key.name;
  for (const Value& v : key.values) {
    std::string value(layout::value::kBytes, '\0');
    PutU32(value, layout::value::kType, v.type);
    PutU16(value, layout::value::kNameLength, static_cast<std::uint16_t>(v.name.size()));
    PutU16(value, layout::value::kDataLength, static_cast<std::uint16_t>(v.data.size()));
    record += value + v.name + v.data;
  }
  PutU32(record, layout::record::kSize, static_cast<std::uint32_t>(record.size()));
  PutU32(record, layout::record::kUsed, static_cast<std::uint32_t>(record.size()));
  return record;
}

// Key records, packed into blocks; where says where each key's lies.
std::vector<Block> PackRecords(const std::vector<Flat>& flat, const Options& options, Placement& where) {
  std::vector<Block> blocks;
  for (std::size_t k = 1; k < flat.size(); ++k) {
    if (blocks.empty() || blocks.back().placed.size() == options.recordsPerBlock) blocks.emplace_back();
    Block& block = blocks.back();
    auto number = static_cast<std::uint16_t>(block.placed.size());
    block.placed.emplace_back(k, layout::block::kBytes + block.records.size());
    where[k] = {number, static_cast<std::uint16_t>(blocks.size() - 1)};
    block.records += KeyRecord(*flat[k].key, number);
    if (options.freeRecordsBetween) {
      std::string gap(24, '\0');
      PutU32(gap, layout::record::kSize, 24);
      PutU16(gap, layout::record::kNumber, layout::kNoNumber);
      block.records += gap;
    }
  }
  return blocks;
}

// The header and the key area: entries back to back after the RGKN
// header, in the flat order, naming each other by their offset from the
// RGKN record.
void WriteKeyArea(const std::vector<Flat>& flat, const Placement& where, std::size_t blockCount,
                  const Options& options, Hive& hive) {
  std::size_t rgknSize = RoundUp(layout::rgkn::kBytes + layout::entry::kBytes * flat.size(), options.pageSized);
  hive.rgknSize = rgknSize;
  std::string& out = hive.bytes;
  out.assign(layout::rgkn::kAt + rgknSize, '\0');
  out.replace(layout::file::kSignature, 4, "CREG");
  PutU16(out, layout::file::kMajorVersion, 1);
  PutU32(out, layout::file::kFirstBlock, static_cast<std::uint32_t>(layout::rgkn::kAt + rgknSize));
  PutU16(out, layout::file::kBlockCount, static_cast<std::uint16_t>(blockCount));
  out.replace(layout::rgkn::kAt + layout::rgkn::kSignature, 4, "RGKN");
  PutU32(out, layout::rgkn::kAt + layout::rgkn::kSize, static_cast<std::uint32_t>(rgknSize));
  PutU32(out, layout::rgkn::kAt + layout::rgkn::kRootEntry, layout::rgkn::kBytes);
  auto entryOffset = [](std::uint32_t index) {
    return index == kNone ? kNone : static_cast<std::uint32_t>(layout::rgkn::kBytes + layout::entry::kBytes * index);
  };
  for (std::size_t k = 0; k < flat.size(); ++k) {
    std::size_t at = layout::rgkn::kAt + entryOffset(static_cast<std::uint32_t>(k));
    hive.entryAt[k] = at;
    PutU32(out, at + layout::entry::kNameHash, NameHash(flat[k].key->name));
    PutU32(out, at + layout::entry::kParent, entryOffset(flat[k].parent));
    PutU32(out, at + layout::entry::kFirstChild, entryOffset(flat[k].firstChild));
    PutU32(out, at + layout::entry::kNext, entryOffset(flat[k].next));
    PutU16(out, at + layout::entry::kRecord, where[k].first);
    PutU16(out, at + layout::entry::kBlock, where[k].second);
  }
}

// The blocks, each closed by a free record that fills it to its size.
void WriteBlocks(const std::vector<Block>& blocks, const Options& options, Hive& hive) {
  std::string& out = hive.bytes;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const Block& block = blocks[b];
    std::size_t used = layout::block::kBytes + block.records.size();
    std::size_t size = RoundUp(used + 8, options.pageSized);
    std::size_t at = out.size();
    out.resize(at + size, '\0');
    out.replace(at + layout::block::kSignature, 4, "RGDB");
    PutU32(out, at + layout::block::kSize, static_cast<std::uint32_t>(size));
    PutU32(out, at + layout::block::kUnused, static_cast<std::uint32_t>(size - used));
    PutU16(out, at + layout::block::kUnknown, 8);
    PutU16(out, at + layout::block::kNumber, static_cast<std::uint16_t>(b));
    PutU32(out, at + layout::block::kUsed, static_cast<std::uint32_t>(used));
    out.replace(at + layout::block::kBytes, block.records.size(), block.records);
    PutU32(out, at + used + layout::record::kSize, static_cast<std::uint32_t>(size - used));
    PutU16(out, at + used + layout::record::kNumber, layout::kNoNumber);
    for (auto [key, offset] : block.placed) hive.recordAt[key] = at + offset;
  }
}

}  // namespace

Hive Write(const Key& root, const Options& options) {
  std::vector<Flat> flat;
  Flatten(root, kNone, flat);
  Hive hive;
  hive.entryAt.resize(flat.size());
  hive.recordAt.resize(flat.size(), 0);
  Placement where(flat.size(), {0xFFFF, 0xFFFF});
  std::vector<Block> blocks = PackRecords(flat, options, where);
  WriteKeyArea(flat, where, blocks.size(), options, hive);
  WriteBlocks(blocks, options, hive);
  return hive;
}

}  // namespace hive_writer
