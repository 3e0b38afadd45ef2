// Writes a tree of keys as a CREG hive, for tests and fuzz seeds: every
// shape the loader must read, and the offsets a test needs to damage one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hive_writer {

struct Value {
  std::string name;
  std::uint32_t type;
  std::string data;
};

struct Key {
  std::string name;
  std::vector<Value> values;
  std::vector<Key> children;
};

struct Options {
  std::size_t recordsPerBlock = 200;
  bool freeRecordsBetween = false;  // a free record after every used one
  bool pageSized = true;            // round the key area and blocks to 4 KiB
};

struct Hive {
  std::string bytes;
  // By key, in depth-first order, the root (index 0) first: the file offset
  // of its key entry, and of its key record (0 for the root).
  std::vector<std::size_t> entryAt;
  std::vector<std::size_t> recordAt;
  std::size_t rgknSize = 0;
};

// The root's own name and values are not written: a hive's root has none.
Hive Write(const Key& root, const Options& options = {});

void PutU16(std::string& bytes, std::size_t at, std::uint16_t value);
void PutU32(std::string& bytes, std::size_t at, std::uint32_t value);
std::uint32_t GetU32(const std::string& bytes, std::size_t at);

}  // namespace hive_writer
