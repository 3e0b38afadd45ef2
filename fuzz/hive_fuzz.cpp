// The hive loader on arbitrary bytes, then calls in an order drawn from the
// input and every key and value it made, then the search for deleted keys,
// within a work budget proportional to the input.
#include <cstdint>
#include <cstring>
#include <string>

#include "testkit/walk_everything.h"
#include "testkit/work_budget.h"
#include "hive/recover.h"
#include "store/store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint64_t start = work_budget::Work();
  auto reg = std::make_unique<store::Registry>();
  auto image = std::make_unique<char[]>(size);
  if (size != 0) std::memcpy(image.get(), data, size);
  std::string error;
  if (hive::LoadHive(*reg, std::move(image), size, "FUZZ.DAT", std::nullopt, &error)) {
    // The order of the first calls comes from the input, so that the lazy
    // decoder meets damage in every order a caller could.
    std::uint64_t seed = 1469598103934665603ULL;
    for (std::size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 1099511628211ULL;
    InstallAndWalk(std::move(reg), seed | 1);
  } else if (error.empty()) {
    __builtin_trap();
  }
  // The same bytes searched for deleted keys: what decodes is kept within
  // the records that hold it.
  auto copy = std::make_unique<char[]>(size);
  if (size != 0) std::memcpy(copy.get(), data, size);
  hive::Recovery recovery;
  if (hive::RecoverDeletedKeys(hive::MemoryHiveBytes(std::move(copy), size), "FUZZ.DAT", &recovery, &error)) {
    if (recovery.keys.size() > recovery.freeRecords) __builtin_trap();
    for (const hive::RecoveredKey& key : recovery.keys) {
      if (key.offset >= size || key.values.size() > key.valueCount) __builtin_trap();
    }
  }
  // More work than a fixed multiple of the input's size is a path that
  // grows faster than the input: a failure, however quick this input was.
  if (work_budget::Work() - start > work_budget::Budget(size)) __builtin_trap();
  return 0;
}
