#include "store/handles.h"

static_assert(sizeof(void*) == 8, "handles pack a slot and a generation into 64 bits");

namespace store {

namespace {

constexpr std::uintptr_t kPredefinedBase = 0xFFFFFFFF80000000ULL;
// Generations stay below the top bit, so that no handle reaches the
// predefined keys' range (sign-extended, 0xFFFFFFFF8000000x).
constexpr std::uint32_t kLastGeneration = 0x7FFFFFFFU;

}  // namespace

HandleTarget HandleTable::Decode(HKEY key) {
  auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= kPredefinedBase && value < kPredefinedBase + kRootCount) {
    return HandleTarget{static_cast<int>(value - kPredefinedBase), nullptr};
  }
  auto slot = static_cast<std::uint32_t>(value) - 1;
  auto generation = static_cast<std::uint32_t>(value >> 32);
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
    slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  HandleSlot& h = slots_[slot];
  ++h.generation;
  h.node = node;
  h.open = true;
  h.listed = kNoNode;
  ++openCount_;
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(h.generation) << 32 | (slot + 1));
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
