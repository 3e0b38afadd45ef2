#include "hive/records.h"

namespace hive {

using bytes::LittleEndian;
using namespace layout;

Head ParseHead(std::string_view bytes) {
  LittleEndian f(bytes);
  return Head{f.Holds(rgkn::kAt + rgkn::kSignature, "RGKN"), f.U32(rgkn::kAt + rgkn::kSize),
              f.U32(rgkn::kAt + rgkn::kRootEntry), f.U32(file::kFirstBlock), f.U16(file::kBlockCount)};
}

KeyEntry ParseKeyEntry(std::string_view bytes) {
  LittleEndian f(bytes);
  return KeyEntry{f.U32(entry::kFirstChild), f.U32(entry::kNext), f.U16(entry::kRecord), f.U16(entry::kBlock)};
}

BlockHeader ParseBlockHeader(std::string_view bytes) {
  LittleEndian f(bytes);
  return BlockHeader{f.Holds(block::kSignature, "RGDB"), f.U32(block::kSize), f.U16(block::kNumber)};
}

KeyRecordHeader ParseKeyRecordHeader(std::string_view r) {
  LittleEndian f(r);
  return KeyRecordHeader{f.U32(record::kSize), f.U16(record::kNumber), f.U16(record::kNameLength),
                         f.U16(record::kValueCount), f.U32(record::kReserved)};
}

bool ParseValueHeader(std::string_view r, std::size_t at, ValueHeader* out) {
  if (!bytes::InRange(at, value::kBytes, r.size())) return false;
  LittleEndian f(r);
  *out = ValueHeader{f.U32(at + value::kType), f.U16(at + value::kNameLength), f.U16(at + value::kDataLength)};
  return true;
}

}  // namespace hive
