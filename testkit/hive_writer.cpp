#include "testkit/hive_writer.h"

namespace hive_writer {

namespace {

constexpr std::size_t kRgknAt = 0x20;
constexpr std::size_t kEntryBytes = 28;
constexpr std::uint32_t kNone = 0xFFFFFFFFU;

void Append16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}
void Append32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

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

Hive Write(const Key& root, const Options& options) {
  std::vector<Flat> flat;
  Flatten(root, kNone, flat);
  Hive hive;
  hive.entryAt.resize(flat.size());
  hive.recordAt.resize(flat.size(), 0);

  // Key records, packed into blocks.
  struct Block {
    std::string records;
    std::vector<std::pair<std::size_t, std::size_t>> placed;  // key index, offset in block
  };
  std::vector<Block> blocks;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> where(flat.size(), {0xFFFF, 0xFFFF});
  for (std::size_t k = 1; k < flat.size(); ++k) {
    if (blocks.empty() || blocks.back().placed.size() == options.recordsPerBlock) blocks.emplace_back();
    Block& block = blocks.back();
    const Key& key = *flat[k].key;
    std::string record;
    auto number = static_cast<std::uint16_t>(block.placed.size());
    Append32(record, 0);  // size, set below
    Append16(record, number);
    Append16(record, 0);
    Append32(record, 0);  // used size, set below
    Append16(record, static_cast<std::uint16_t>(key.name.size()));
    Append16(record, static_cast<std::uint16_t>(key.values.size()));
    Append32(record, 0);
    record += key.name;
    for (const Value& v : key.values) {
      Append32(record, v.type);
      Append32(record, 0);
      Append16(record, static_cast<std::uint16_t>(v.name.size()));
      Append16(record, static_cast<std::uint16_t>(v.data.size()));
      record += v.name;
      record += v.data;
    }
    PutU32(record, 0, static_cast<std::uint32_t>(record.size()));
    PutU32(record, 8, static_cast<std::uint32_t>(record.size()));
    block.placed.emplace_back(k, 0x20 + block.records.size());
    where[k] = {number, static_cast<std::uint16_t>(blocks.size() - 1)};
    block.records += record;
    if (options.freeRecordsBetween) {
      std::string gap;
      Append32(gap, 24);
      Append16(gap, 0xFFFF);
      gap.resize(24, '\0');
      block.records += gap;
    }
  }

  // Header and key area.
  std::size_t rgknSize = RoundUp(0x20 + kEntryBytes * flat.size(), options.pageSized);
  hive.rgknSize = rgknSize;
  std::string& out = hive.bytes;
  out = "CREG";
  Append16(out, 0);
  Append16(out, 1);
  Append32(out, static_cast<std::uint32_t>(kRgknAt + rgknSize));
  Append32(out, 0);
  Append16(out, static_cast<std::uint16_t>(blocks.size()));
  out.resize(kRgknAt, '\0');
  out += "RGKN";
  Append32(out, static_cast<std::uint32_t>(rgknSize));
  Append32(out, 0x20);
  out.resize(kRgknAt + 0x20, '\0');
  auto entryOffset = [](std::uint32_t index) {
    return index == kNone ? kNone : static_cast<std::uint32_t>(0x20 + kEntryBytes * index);
  };
  for (std::size_t k = 0; k < flat.size(); ++k) {
    hive.entryAt[k] = out.size();
    Append32(out, 0);
    Append32(out, NameHash(flat[k].key->name));
    Append32(out, 0);
    Append32(out, entryOffset(flat[k].parent));
    Append32(out, entryOffset(flat[k].firstChild));
    Append32(out, entryOffset(flat[k].next));
    Append16(out, where[k].first);
    Append16(out, where[k].second);
  }
  out.resize(kRgknAt + rgknSize, '\0');

  // Blocks, each closed by a free record that fills it to its size.
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const Block& block = blocks[b];
    std::size_t used = 0x20 + block.records.size();
    std::size_t size = RoundUp(used + 8, options.pageSized);
    std::size_t at = out.size();
    out += "RGDB";
    Append32(out, static_cast<std::uint32_t>(size));
    Append32(out, static_cast<std::uint32_t>(size - used));
    Append16(out, 8);
    Append16(out, static_cast<std::uint16_t>(b));
    Append32(out, static_cast<std::uint32_t>(used));
    out.resize(at + 0x20, '\0');
    out += block.records;
    std::size_t gap = size - used;
    Append32(out, static_cast<std::uint32_t>(gap));
    Append16(out, 0xFFFF);
    out.resize(at + size, '\0');
    for (auto [key, offset] : block.placed) hive.recordAt[key] = at + offset;
  }
  return hive;
}

}  // namespace hive_writer
