#include "store/handles.h"

namespace store {

namespace {

// A handle is its slot + 1 in the low bits and the slot's generation above
// them, below the top bit: never 0, and never in the predefined keys' range
// (0x80000000 and up, sign-extended to pointer width). A pointer of 64 bits
// holds 32 bits of slot and 31 of generation; one of 32 bits (Windows 9x),
// 20 and 11, so a slot is retired after 2,047 opens, and a million slots
// are 2 billion opens.
constexpr unsigned kPointerBits = sizeof(std::uintptr_t) * 8;
constexpr unsigned kSlotBits = kPointerBits == 64 ? 32 : 20;
constexpr unsigned kGenerationBits = kPointerBits - 1 - kSlotBits;
constexpr std::uintptr_t kSlotMask = (std::uintptr_t{1} << kSlotBits) - 1;
constexpr std::uint32_t kLastGeneration = static_cast<std::uint32_t>((std::uintptr_t{1} << kGenerationBits) - 1);
constexpr std::size_t kMaxSlots = static_cast<std::size_t>(kSlotMask);  // slot + 1 must fit
constexpr std::uintptr_t kPredefinedBase =
    static_cast<std::uintptr_t>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000000U)));
static_assert(kSlotBits + kGenerationBits < kPointerBits, "the top bit stays clear");

}  // namespace

HandleTarget HandleTable::Decode(HKEY key) {
  auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= kPredefinedBase && value < kPredefinedBase + kRootCount) {
    return HandleTarget{static_cast<int>(value - kPredefinedBase), nullptr};
  }
  auto slot = static_cast<std::size_t>(value & kSlotMask) - 1;
  auto generation = static_cast<std::uint32_t>(value >> kSlotBits);
  if (slot >= slots_.size()) return {};
  HandleSlot& h = slots_[slot];
  return h.open && h.generation == generation ? HandleTarget{-1, &h} : HandleTarget{};
}

HKEY HandleTable::Open(std::uint32_t node) {
  std::uint32_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    if (slots_.size() >= kMaxSlots) return nullptr;
    slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  HandleSlot& h = slots_[slot];
  ++h.generation;
  h.node = node;
  h.open = true;
  h.listed = kNoNode;
  ++openCount_;
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(h.generation) << kSlotBits | (slot + 1));
}

void HandleTable::Close(HandleSlot& slot) {
  slot.open = false;
  if (slot.generation != kLastGeneration) free_.push_back(static_cast<std::uint32_t>(&slot - slots_.data()));
  --openCount_;
}

void HandleTable::CloseAll() {
  for (HandleSlot& slot : slots_) {
    if (slot.open) Close(slot);
  }
}

}  // namespace store
