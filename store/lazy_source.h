// A source that hands a key's subkeys and values to the registry the first
// time a call needs them (a hive read lazily).
#pragma once

#include <cstdint>
#include <vector>

#include "store/value.h"

namespace store {

class Registry;

// The store asks for a key's subkeys once, and for its values at most three
// times.
class LazySource {
 public:
  virtual ~LazySource() = default;
  // Adds the subkeys of id with AddLazyChild or AddDamagedChild.
  virtual void DecodeSubkeys(Registry& reg, std::uint32_t id, std::uint32_t key) = 0;
  // Appends the values of id to into, in index order.
  virtual void DecodeValues(Registry& reg, std::uint32_t id, std::uint32_t key, std::vector<Value>& into) = 0;
};

}  // namespace store
