// The handles the store gives out for open keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "store/node_table.h"
#include "winreg/winreg.h"

namespace store {

// The predefined roots' handles are 0x80000000 + their Root value,
// sign-extended; 4 (performance data) is not served.
inline constexpr int kRootCount = 7;

struct HandleSlot {
  std::uint32_t node = kNoNode;
  std::uint32_t generation = 0;
  bool open = false;
  // The subkey RegEnumKeyExA named last: a walk opens it next, by that name.
  std::uint32_t listed = kNoNode;
};

// What a handle value stands for: a predefined root, an open key of the
// table, or nothing the store gave out.
struct HandleTarget {
  int root = -1;                     // 0 to kRootCount - 1 for a predefined root
  HandleSlot* slot = nullptr;  // an open key
};

// Open keys as handles: a slot number and its generation packed into one
// pointer-sized value (handles.cpp says how, for 64 and 32 bits). A slot is reused once closed, under a new generation, so that a
// closed handle stays closed; a slot whose generations are used up is
// retired, never wrapped. No handle is 0 or in the predefined roots' range.
class HandleTable {
 public:
  HandleTarget Decode(HKEY key);
  // A fresh handle; null when every slot a handle can name is taken.
  HKEY Open(std::uint32_t node);
  void Close(HandleSlot& slot);
  // Closes every open handle for good: a handle given out before never
  // equals one given out after.
  void CloseAll();
  std::size_t OpenCount() const { return openCount_; }

 private:
  std::vector<HandleSlot> slots_;
  std::vector<std::uint32_t> free_;
  std::size_t openCount_ = 0;
};

}  // namespace store
