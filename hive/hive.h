// hive/ owns the reader of the Windows 9x/Me binary registry files
// SYSTEM.DAT and USER.DAT ("CREG"): the format's fields in one layout header
// (layout.h, which the tests' hive writer shares), one parse function per
// record kind (records.h), the frame checked at open (frame.h), the lazy
// reader that feeds the store (reader.cpp), and the recovery of free key
// records (recover.h). It uses the store and knows nothing of where the
// bytes come from.
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

#include "store/store.h"

namespace hive {

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
// The same over a copy of bytes.
std::unique_ptr<HiveBytes> CopyHiveBytes(std::string_view bytes);

bool LooksLikeHive(std::string_view bytes);

// Adds the keys of a hive to reg under root (when not given: HKEY_USERS if
// the hive holds a .DEFAULT key, else HKEY_LOCAL_MACHINE). Into an empty
// root the hive is attached lazily; onto keys an earlier source made it is
// merged, which decodes it whole. A hive whose header, key area or block
// list cannot be read is refused: false, with error naming the file, the
// byte offset and what is wrong. Damage inside a key is recorded on that key
// when it is met and does not fail the load.
bool LoadHive(store::Registry& reg, std::unique_ptr<HiveBytes> bytes, const std::string& fileName,
              std::optional<store::Root> root, std::string* error);

// The same over an image in memory.
bool LoadHive(store::Registry& reg, std::unique_ptr<char[]> image, std::size_t size,
              const std::string& fileName, std::optional<store::Root> root, std::string* error);

}  // namespace hive
