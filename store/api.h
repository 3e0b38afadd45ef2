// The registry calls of winreg.h as the store serves them, with the
// platform's buffer and length contracts, over the registry installed here.
// The seam (sources/seam.cpp) sends calls here unless it serves the
// platform's own registry.
#pragma once

#include <memory>
#include <string>

#include "store/store.h"
#include "winreg/winreg.h"

namespace store {

// RegOpenKeyExA and the rest, under names of the store's own.
LONG OpenKey(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG CloseKey(HKEY hKey);
LONG QueryInfoKey(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                  LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                  LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                  PFILETIME lpftLastWriteTime);
LONG EnumKey(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
             LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
LONG EnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
               LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG QueryValue(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                LPDWORD lpcbData);

// Beside the contracts: the size the data of the value at index is stored
// with (the calls above report a string stored without its terminator as
// one byte longer). False for a handle or an index the store does not hold.
bool StoredValueSize(HKEY hKey, DWORD index, DWORD* size);

// The registry that the calls serve. Installing replaces the previous one
// and invalidates every handle opened on it, for good: no later handle
// equals one of them.
void InstallRegistry(std::unique_ptr<Registry> registry);
Registry& InstalledRegistry();

// Several registries at once, for a program that holds more than one (the
// Python package): each installation has its own handles, and the calls
// serve the one Serve chose last, or the process's own (the one
// InstallRegistry fills, the tools' only one) until then and after
// Serve(nullptr). A handle is good only while its installation is served.
// Nothing here is safe to call from two threads at once: a program that
// has threads serializes every call and every Serve.
class Installation {
 public:
  explicit Installation(std::unique_ptr<Registry> registry);
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;
  ~Installation();  // served no longer; the process's own is then
  Registry& registry();

  struct State;

 private:
  friend Installation* Serve(Installation* installation);
  std::unique_ptr<State> state_;
};
// Makes the calls serve installation (null: the process's own); returns
// the one served before.
Installation* Serve(Installation* installation);

// Called the first time a call meets each damaged key, with the key's path
// as far as it is known: its own, or for a key whose name cannot be read,
// its parent's path followed by a backslash.
using DamageReporter = void (*)(const Damage& damage, const std::string& path);
void SetDamageReporter(DamageReporter reporter);

}  // namespace store
