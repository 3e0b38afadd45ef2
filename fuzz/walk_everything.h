// Reads every key and value of the installed registry through the calls
// the tools use, so that a fuzzed file's damage meets every code path.
#pragma once

#include <memory>

#include "regwalk/regwalk.h"
#include "winreg/store.h"
#include "winreg/store_testing.h"

inline int ReadValues(HKEY, std::intptr_t, const char*, DWORD, DWORD, const BYTE*) { return 0; }

inline int VisitKey(HKEY key, const char*, std::intptr_t) {
  WalkValues(key, 0, ReadValues);
  char data[256];
  DWORD size = sizeof data;
  RegQueryValueExA(key, "Driver", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  return 0;
}

// Installs a registry a loader accepted and reads all of it; every key it
// opened must be closed again.
inline void InstallAndWalk(std::unique_ptr<regstore::Registry> reg) {
  regstore::InstallRegistry(std::move(reg));
  WalkKeys(nullptr, 1, VisitKey, 0);
  WalkKeys("HKEY_CLASSES_ROOT", 1, VisitKey, 0);
  WalkKeys("HKEY_CURRENT_USER\\**", 1, VisitKey, 0);
  if (regstore::OpenHandleCount() != 0) __builtin_trap();
}
