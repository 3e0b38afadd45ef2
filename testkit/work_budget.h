// The work a load and a walk cost, for tests and fuzz targets that hold it
// to a budget proportional to the input's size: the store's own steps plus
// every byte the program allocated through operator new. A quadratic path
// shows in one or the other, however fast the machine.
#pragma once

#include <cstdint>

namespace work_budget {

// Bytes allocated through operator new since the process started (freed
// ones included: what counts is the work of allocating and filling them).
std::uint64_t AllocatedBytes();

// The store's steps plus the bytes allocated, since the process started.
std::uint64_t Work();

// The work an input of this size may cost: a fixed multiple of its size,
// with room for the fixed cost of an empty registry.
inline std::uint64_t Budget(std::uint64_t inputBytes) { return 32 * inputBytes + (std::uint64_t{1} << 18); }

}  // namespace work_budget
