// The one allocation function of the pattern and walker libraries.
//
// Every heap block these libraries take comes from AllocBytes and goes back
// through FreeBytes, so that a test can make the Nth allocation fail and can
// count the blocks still live after any way out of a call.
#pragma once

#include <cstddef>

// A block of n bytes (n may be 0), or null when memory runs out.
void* AllocBytes(std::size_t n) noexcept;
void FreeBytes(void* block) noexcept;

// Test hooks. After FailAllocationsAfter(k), k allocations succeed and every
// later one fails, until FailAllocationsAfter(-1) lifts the fault.
void FailAllocationsAfter(long k) noexcept;
long LiveAllocationCount() noexcept;
long AllocationCallCount() noexcept;
