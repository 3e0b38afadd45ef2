// Test hooks of the registry store: fault injection, call traces, open
// handle counts and a count of the store's own work, for tests, fuzz
// targets and benchmarks. The tools never call them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/store.h"

namespace store {

// Test hooks. Every call of winreg.h but RegCloseKey is counted; after
// FailRegistryCall(n, code) the nth counted call from then on fails with
// code and does nothing else (n = 0 lifts the fault).
void FailRegistryCall(std::uint64_t n, LONG code);
std::uint64_t RegistryCallCount();
std::size_t OpenHandleCount();

struct CallRecord {
  std::string function;
  std::uint32_t node;  // kNoNode for an unknown handle
  std::string name;    // subkey or value name, where the call takes one
  LONG result;
};
// Records every counted call into sink (null stops recording).
void TraceRegistryCalls(std::vector<CallRecord>* sink);

// Steps of the store's own work since the process started: hash probes,
// name and value scans, entries compacted, damaged keys reported. Each
// counts one unit, so a test or a fuzz target can hold loading and walking
// to a budget in proportion to the input's size.
std::uint64_t StoreSteps();

}  // namespace store
