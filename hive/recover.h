// The key records a hive still holds in its free space: deleted keys, and
// earlier versions of keys that were rewritten.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hive/hive.h"

namespace hive {

// A free record of a hive's data blocks that still decodes as a key record:
// a deleted key, or an earlier version of a key that was rewritten. Views
// point into the bytes the Recovery keeps.
struct RecoveredKey {
  std::uint64_t offset = 0;  // of the record in the file
  std::string_view name;     // as stored, cut at the record's end
  std::uint16_t valueCount = 0;  // as the record states it
  std::vector<store::Value> values;  // those wholly inside the record, in stored order
  std::string lost;              // what did not decode; empty for a whole record
};

struct Recovery {
  std::unique_ptr<HiveBytes> bytes;
  std::size_t freeRecords = 0;  // in the data blocks, decoded or not
  std::vector<RecoveredKey> keys;  // in file order
};

// Searches a hive's data blocks for free records that still decode as key
// records: a record header with a name, and the reserved word after the
// value count still zero. A name or values that run past the record, or a
// name with bytes no key name can hold, make the record partial: what lies
// inside is kept and the rest is said to be lost. Names are judged with
// the lead bytes of the registry's codepage, where it is known. The file is
// only read. False with error when the hive's frame cannot be read.
bool RecoverDeletedKeys(std::unique_ptr<HiveBytes> bytes, const std::string& fileName, Recovery* out,
                        std::string* error, const store::LeadBytes& lead = store::LeadBytes{});

}  // namespace hive
