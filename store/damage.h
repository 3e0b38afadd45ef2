// What the store records of keys a source file could not read.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/node_table.h"

namespace store {

// A key of a source file that cannot be read. It is not among its parent's
// subkeys: enumeration skips it, so that everything intact around it stays
// reachable, and it is reported when its parent's subkeys are listed, or
// when it is opened by name (ERROR_BADDB).
struct Damage {
  std::string file;
  std::uint64_t offset = 0;
  std::string what;
  std::uint32_t node = kNoNode;  // the damaged key
  std::uint32_t next = 0;        // 1 + index of the next damaged sibling's record
  bool reported = false;
};

// The damage records, numbered from 1 (0: none), and which key each is of.
// Damaged keys are rare: the table is looked into only for keys flagged
// kDamagedKey.
class DamageTable {
 public:
  // Records damage of the key node; returns its number.
  std::uint32_t Add(Damage damage) {
    records_.push_back(std::move(damage));
    auto number = static_cast<std::uint32_t>(records_.size());
    ownByNode_.emplace(records_.back().node, number);
    return number;
  }
  Damage& operator[](std::uint32_t number) { return records_[number - 1]; }
  std::size_t size() const { return records_.size(); }
  // The number of a damaged key's own record; 0 for any other key.
  std::uint32_t OwnOf(std::uint32_t node) const {
    auto it = ownByNode_.find(node);
    return it == ownByNode_.end() ? 0 : it->second;
  }

 private:
  std::vector<Damage> records_;
  std::unordered_map<std::uint32_t, std::uint32_t> ownByNode_;
};

}  // namespace store
