// Reads every key and value of the installed registry through the calls
// the tools use: for tests and benchmarks that hold a walk to a budget or
// time it, and for fuzz targets, so that a fuzzed file's damage meets every
// code path.
#pragma once

#include <memory>

#include "regwalk/regwalk.h"
#include "store/api.h"
#include "store/store_testing.h"

inline int IgnoreValue(HKEY, std::intptr_t, const char*, DWORD, DWORD, const BYTE*) { return 0; }

// A key visitor that reads every value of the key; the value walk's result
// ends the key walk when it fails.
inline int ReadKeyValues(HKEY key, const char*, std::intptr_t) { return WalkValues(key, 0, IgnoreValue); }

inline int VisitKey(HKEY key, const char* path, std::intptr_t user) {
  ReadKeyValues(key, path, user);
  char data[256];
  DWORD size = sizeof data;
  RegQueryValueExA(key, "Driver", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  return 0;
}

// Calls in an order drawn from seed before the full walk: subkeys opened by
// random index, values read by index and by name, keys queried twice. A lazy
// store must serve the same whatever it decoded first.
inline void RandomCalls(std::uint64_t seed, int steps) {
  auto next = [&seed] {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<DWORD>(seed >> 33);
  };
  HKEY roots[] = {HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG};
  HKEY key = roots[next() % 5];
  HKEY opened = nullptr;
  for (int i = 0; i < steps; ++i) {
    DWORD subkeys = 0, values = 0, longest = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    char name[260];
    DWORD length = sizeof name;
    BYTE data[64];
    DWORD size = sizeof data;
    if (values != 0 && RegEnumValueA(key, next() % values, name, &length, nullptr, nullptr, data, &size) ==
                           ERROR_SUCCESS) {
      size = sizeof data;
      RegQueryValueExA(key, name, nullptr, nullptr, data, &size);
    }
    length = sizeof name;
    if (subkeys == 0 || RegEnumKeyExA(key, next() % subkeys, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                            ERROR_SUCCESS) {
      break;
    }
    HKEY child = nullptr;
    if (RegOpenKeyExA(key, name, 0, 0, &child) != ERROR_SUCCESS) break;
    if (opened != nullptr) RegCloseKey(opened);
    opened = child;
    key = child;
  }
  if (opened != nullptr) RegCloseKey(opened);
}

// Installs a registry a loader accepted and reads all of it, after calls in
// an order drawn from seed; every key it opened must be closed again.
inline void InstallAndWalk(std::unique_ptr<store::Registry> reg, std::uint64_t seed = 0) {
  store::InstallRegistry(std::move(reg));
  if (seed != 0) RandomCalls(seed, 64);
  WalkKeys(nullptr, 1, VisitKey, 0);
  WalkKeys("HKEY_CLASSES_ROOT", 1, VisitKey, 0);
  WalkKeys("HKEY_CURRENT_USER\\**", 1, VisitKey, 0);
  if (store::OpenHandleCount() != 0) __builtin_trap();
}
