#include "hive/records.h"

#include <cstring>

namespace hive {

using namespace layout;

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

Head ParseHead(const unsigned char* bytes) {
  const unsigned char* k = bytes + rgkn::kAt;
  return Head{std::memcmp(k + rgkn::kSignature, "RGKN", 4) == 0, U32(k + rgkn::kSize), U32(k + rgkn::kRootEntry),
              U32(bytes + file::kFirstBlock), U16(bytes + file::kBlockCount)};
}

KeyEntry ParseKeyEntry(const unsigned char* bytes) {
  return KeyEntry{U32(bytes + entry::kFirstChild), U32(bytes + entry::kNext), U16(bytes + entry::kRecord),
                  U16(bytes + entry::kBlock)};
}

BlockHeader ParseBlockHeader(const unsigned char* bytes) {
  return BlockHeader{std::memcmp(bytes + block::kSignature, "RGDB", 4) == 0, U32(bytes + block::kSize),
                     U16(bytes + block::kNumber)};
}

KeyRecordHeader ParseKeyRecordHeader(std::string_view r) {
  return KeyRecordHeader{U32(r, record::kSize), U16(r, record::kNumber), U16(r, record::kNameLength),
                         U16(r, record::kValueCount), U32(r, record::kReserved)};
}

bool ParseValueHeader(std::string_view r, std::size_t at, ValueHeader* out) {
  if (at > r.size() || value::kBytes > r.size() - at) return false;
  *out = ValueHeader{U32(r, at + value::kType), U16(r, at + value::kNameLength), U16(r, at + value::kDataLength)};
  return true;
}

}  // namespace hive
