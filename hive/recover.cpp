// The recovery of key records from a hive's free space. It reads the frame
// as the lazy reader does, then every record of every block in file order;
// it never touches a registry.
#include "hive/recover.h"

#include "hive/frame.h"
#include "hive/records.h"
#include "store/key_names.h"

namespace hive {

using namespace layout;

namespace {

void RecoverOne(std::string_view r, std::uint64_t at, const store::LeadBytes& lead, Recovery* out) {
  if (r.size() < record::kBytes) return;
  KeyRecordHeader h = ParseKeyRecordHeader(r);
  if (h.reserved != 0 || h.nameLength == 0) return;
  RecoveredKey key;
  key.offset = at;
  key.valueCount = h.valueCount;
  key.name = r.substr(record::kName, h.nameLength);  // cut at the end
  if (record::kName + h.nameLength > r.size()) {
    key.lost = "the key name runs past the record's end; the name is cut there and the values are lost";
    out->keys.push_back(std::move(key));
    return;
  }
  bool nameUsable = store::PlausibleKeyName(key.name, lead);
  ValueListEnd end = ForEachValue(r, h.nameLength, key.valueCount, [&](std::size_t at, const ValueHeader& value) {
    key.values.push_back(store::Value{ValueName(r, at, value), ValueData(r, at, value), value.type});
    return true;
  });
  if (end.taken < key.valueCount) {
    key.lost = std::to_string(key.valueCount - end.taken) + " of " + std::to_string(key.valueCount) +
               " values run past the record's end and are lost";
  }
  if (!nameUsable) {
    std::string what = "the key name holds bytes no key name can hold";
    key.lost = key.lost.empty() ? what : what + "; " + key.lost;
  }
  out->keys.push_back(std::move(key));
}

}  // namespace

bool RecoverDeletedKeys(std::unique_ptr<HiveBytes> bytes, const std::string& fileName, Recovery* out,
                        std::string* error, const store::LeadBytes& lead) {
  out->bytes = std::move(bytes);
  Frame frame;
  if (!ReadFrame(*out->bytes, fileName, &frame, error)) return false;
  for (const BlockSpan& span : frame.blocks) {
    std::string_view b = out->bytes->Keep(span.at, span.size);
    ForEachRecord(b, [&](std::size_t r, std::uint32_t size) {
      if (size < 6 || U16(b, r + record::kNumber) != kNoNumber) return;
      ++out->freeRecords;
      RecoverOne(b.substr(r, size), span.at + r, lead, out);
    });
  }
  return true;
}

}  // namespace hive
