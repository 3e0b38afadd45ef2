// One parse function per record kind of the CREG format: each takes the
// record's bytes (as many as its fixed part needs, checked by the caller;
// a field past them reads as 0) and returns its fields, so that a test can
// call it without a file.
#pragma once

#include <cstdint>
#include <string_view>

#include "bytes/bytes.h"
#include "hive/layout.h"

namespace hive {

inline std::uint16_t U16(std::string_view s, std::size_t at) { return bytes::LittleEndian(s).U16(at); }
inline std::uint32_t U32(std::string_view s, std::size_t at) { return bytes::LittleEndian(s).U32(at); }

// The file header and the RGKN header behind it (layout::kHeadBytes).
struct Head {
  bool keyAreaSigned = false;  // "RGKN" where it belongs
  std::uint32_t keyAreaSize = 0;
  std::uint32_t rootEntry = 0;
  std::uint64_t firstBlock = 0;
  unsigned blockCount = 0;
};
Head ParseHead(std::string_view bytes);  // layout::kHeadBytes

struct KeyEntry {
  std::uint32_t firstChild;
  std::uint32_t next;
  std::uint16_t record;
  std::uint16_t block;
};
KeyEntry ParseKeyEntry(std::string_view bytes);  // layout::entry::kBytes

struct BlockHeader {
  bool signedRgdb = false;
  std::uint32_t size = 0;
  std::uint16_t number = 0;
};
BlockHeader ParseBlockHeader(std::string_view bytes);  // layout::block::kBytes

// A key record's fixed part; record holds at least layout::record::kBytes.
struct KeyRecordHeader {
  std::uint32_t size;
  std::uint16_t number;
  std::uint16_t nameLength;
  std::uint16_t valueCount;
  std::uint32_t reserved;
  bool free() const { return number == layout::kNoNumber; }
};
KeyRecordHeader ParseKeyRecordHeader(std::string_view record);

// A value's fixed part and where its name and data lie in the record.
struct ValueHeader {
  std::uint32_t type;
  std::uint16_t nameLength;
  std::uint16_t dataLength;
  std::size_t end(std::size_t at) const { return at + layout::value::kBytes + nameLength + dataLength; }
};
// The value at offset at of record; false when its fixed part runs past it.
bool ParseValueHeader(std::string_view record, std::size_t at, ValueHeader* out);
inline std::string_view ValueName(std::string_view record, std::size_t at, const ValueHeader& v) {
  return record.substr(at + layout::value::kName, v.nameLength);
}
inline std::string_view ValueData(std::string_view record, std::size_t at, const ValueHeader& v) {
  return record.substr(at + layout::value::kName + v.nameLength, v.dataLength);
}

// Where a walk of a value list stopped: how many values it took, and the
// offset in the record past them (where the next value starts).
struct ValueListEnd {
  std::size_t taken;
  std::size_t at;
};

// The value list of a key record whose name is nameLength bytes long: calls
// f(at, header) for each of count values, in stored order, while the value
// lies wholly inside the record and f returns true.
template <typename F>
ValueListEnd ForEachValue(std::string_view record, std::size_t nameLength, std::size_t count, F&& f) {
  std::size_t at = layout::record::kName + nameLength;
  for (std::size_t i = 0; i < count; ++i) {
    ValueHeader h;
    if (!ParseValueHeader(record, at, &h) || h.end(at) > record.size() || !f(at, h)) return ValueListEnd{i, at};
    at = h.end(at);
  }
  return ValueListEnd{count, at};
}

// The records of a block, in order: calls f(offset, size) for each until
// the tiling breaks (a size below 4 or past the block's end).
template <typename F>
void ForEachRecord(std::string_view block, F&& f) {
  for (std::size_t r = layout::block::kBytes; r + 4 <= block.size();) {
    std::uint32_t size = U32(block, r + layout::record::kSize);
    if (size < 4 || size > block.size() - r) return;
    f(r, size);
    r += size;
  }
}

}  // namespace hive
