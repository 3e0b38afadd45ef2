// Which byte strings can stand as key names, as every reader of keys from
// outside asks it: the hive reader of live keys, the recovery of free ones,
// and the export of what was recovered.
#pragma once

#include <string_view>

#include "store/lead_bytes.h"

namespace store {

// Why a name cannot stand as a key, or null. Such a name cannot be opened
// by name: an empty one, or one cut short at a NUL, would name the parent
// itself, and a backslash another key (one that is the second byte of a
// double-byte character is none).
inline const char* UnusableKeyName(std::string_view name, const LeadBytes& lead) {
  if (name.empty()) return "key without a name";
  if (FindSeparator(name, lead) != std::string_view::npos) return "key name holds a backslash";
  if (name.find('\0') != std::string_view::npos) return "key name holds a NUL byte";
  return nullptr;
}

// Whether bytes found in a hive's free space look like a key name Windows
// wrote: usable, and without a control byte, which no name Windows 9x's
// registry editor lets one type holds. The second byte of a double-byte
// character is not a character of its own, and may be any.
inline bool PlausibleKeyName(std::string_view name, const LeadBytes& lead) {
  if (UnusableKeyName(name, lead) != nullptr) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (lead.Pairs(name, i)) {
      ++i;
    } else if (static_cast<unsigned char>(name[i]) < 0x20) {
      return false;
    }
  }
  return true;
}

}  // namespace store
