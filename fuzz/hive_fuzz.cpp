// The hive loader on arbitrary bytes, then calls in an order drawn from the
// input and every key and value it made, then the search for deleted keys,
// within a work budget proportional to the input.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "testkit/walk_everything.h"
#include "testkit/work_budget.h"
#include "hive/recover.h"
#include "sources/codepage.h"
#include "store/store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint64_t start = work_budget::Work();
  auto reg = std::make_unique<store::Registry>();
  // Odd sizes read names as a double-byte codepage does: a '\' after a lead
  // byte is part of a character.
  if (size % 2 != 0) reg->SetLeadBytes(sources::LeadBytesOf(932));
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (hive::LoadHive(*reg, hive::CopyHiveBytes(bytes), "FUZZ.DAT", std::nullopt, &error)) {
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
  hive::Recovery recovery;
  if (hive::RecoverDeletedKeys(hive::CopyHiveBytes(bytes), "FUZZ.DAT", &recovery, &error)) {
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
