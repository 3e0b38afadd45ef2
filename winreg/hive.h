// Loader for the Windows 9x/Me binary registry files SYSTEM.DAT and
// USER.DAT ("CREG"). The layout is described beside the reader in hive.cpp.
//
// A hive is read lazily: opening it checks its frame (header, key area,
// block list); a key's record, name, values and subkeys are decoded the
// first time a registry call needs them, and a block's records are indexed
// the first time one of them is needed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winreg/store.h"

namespace regstore {

// Where a hive's bytes come from: an image in memory, or a file read piece
// by piece. Reads past the end fail, whatever the source claimed its size
// to be (a file may shrink while it is open).
class HiveBytes {
 public:
  virtual ~HiveBytes() = default;
  virtual std::uint64_t Size() const = 0;
  // Copies length bytes at offset into out; false when they are not all there.
  virtual bool Read(std::uint64_t offset, std::size_t length, void* out) = 0;
  // The same, for a few bytes whose neighbours are not wanted soon (the
  // headers of the blocks, spread over the whole file): a source that reads
  // ahead need not.
  virtual bool ReadAlone(std::uint64_t offset, std::size_t length, void* out) { return Read(offset, length, out); }
  // The bytes at offset, kept as long as this object; empty when they are
  // not all there.
  virtual std::string_view Keep(std::uint64_t offset, std::size_t length) = 0;
};

// A whole image in memory (a file read at once, or bytes from elsewhere).
std::unique_ptr<HiveBytes> MemoryHiveBytes(std::unique_ptr<char[]> image, std::size_t size);

bool LooksLikeHive(std::string_view bytes);

// Adds the keys of a hive to reg under root (when not given: HKEY_USERS if
// the hive holds a .DEFAULT key, else HKEY_LOCAL_MACHINE). Into an empty
// root the hive is attached lazily; onto keys an earlier source made it is
// merged, which decodes it whole. A hive whose header, key area or block
// list cannot be read is refused: false, with error naming the file, the
// byte offset and what is wrong. Damage inside a key is recorded on that key
// when it is met and does not fail the load.
bool LoadHive(Registry& reg, std::unique_ptr<HiveBytes> bytes, const std::string& fileName,
              std::optional<Root> root, std::string* error);

// The same over an image in memory.
bool LoadHive(Registry& reg, std::unique_ptr<char[]> image, std::size_t size,
              const std::string& fileName, std::optional<Root> root, std::string* error);

// A free record of a hive's data blocks that still decodes as a key record:
// a deleted key, or an earlier version of a key that was rewritten. Views
// point into the bytes the Recovery keeps.
struct RecoveredKey {
  std::uint64_t offset = 0;  // of the record in the file
  std::string_view name;     // as stored, cut at the record's end
  std::uint16_t valueCount = 0;  // as the record states it
  std::vector<Value> values;     // those wholly inside the record, in stored order
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
// inside is kept and the rest is said to be lost. The file is only read.
// False with error when the hive's frame cannot be read.
bool RecoverDeletedKeys(std::unique_ptr<HiveBytes> bytes, const std::string& fileName, Recovery* out,
                        std::string* error);

}  // namespace regstore
