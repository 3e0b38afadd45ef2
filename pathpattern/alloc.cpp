#include "pathpattern/alloc.h"

#include <cstdlib>

namespace {
long g_allowed = -1;  // allocations left before the injected failure; -1: none
long g_live = 0;
long g_calls = 0;
}  // namespace

void* AllocBytes(std::size_t n) noexcept {
  ++g_calls;
  if (g_allowed == 0) return nullptr;
  if (g_allowed > 0) --g_allowed;
  // malloc(0) may return null, which callers would take for exhaustion.
  void* block = std::malloc(n == 0 ? 1 : n);
  if (block != nullptr) ++g_live;
  return block;
}

void FreeBytes(void* block) noexcept {
  if (block == nullptr) return;
  --g_live;
  std::free(block);
}

void FailAllocationsAfter(long k) noexcept { g_allowed = k < 0 ? -1 : k; }
long LiveAllocationCount() noexcept { return g_live; }
long AllocationCallCount() noexcept { return g_calls; }
