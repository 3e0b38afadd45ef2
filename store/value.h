// A value as the store keeps it, and how the registry calls hand its data
// out.
#pragma once

#include <cstdint>
#include <string_view>

#include "winreg/winreg.h"

namespace store {

struct Value {
  std::string_view name;  // empty: the key's default value
  std::string_view data;  // as the source stored it
  std::uint32_t type = 0;
  bool removed = false;  // deleted by a later source; gone once installed
};

// The types whose data is text ended by a NUL: Windows adds the NUL where
// it is missing when it hands such data out, and regedit when it imports
// them written as hex.
constexpr bool IsStringType(std::uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Whether a value's data is handed out with a NUL added (string types whose
// stored data does not end with one), and the size then reported.
inline bool AddsTerminator(const Value& value) {
  return IsStringType(value.type) && (value.data.empty() || value.data.back() != '\0');
}
inline std::uint32_t ServedSize(const Value& value) {
  return static_cast<std::uint32_t>(value.data.size()) + (AddsTerminator(value) ? 1U : 0U);
}

}  // namespace store
