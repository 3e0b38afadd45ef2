// The one place that decides which registry a call reaches: the store
// (the registry files the user named), or, on Windows with no file named,
// the platform's own registry through advapi32 (platform_windows.cpp).
#include "sources/seam.h"

#include "store/api.h"
#include "winreg/winreg.h"

#ifdef _WIN32
#include "sources/platform_windows.h"
#endif

namespace sources {
namespace {

bool g_platform = false;

// Sends one call to the registry in use.
template <auto StoreCall, auto PlatformCall, typename... Args>
LONG Route(Args... args) {
#ifdef _WIN32
  if (g_platform) return PlatformCall(args...);
#endif
  return StoreCall(args...);
}

}  // namespace

bool UsePlatformRegistry() {
#ifdef _WIN32
  g_platform = true;
#endif
  return g_platform;
}

bool UsingPlatformRegistry() { return g_platform; }

bool StoredValueSize(HKEY key, DWORD index, DWORD* size) {
  return !g_platform && store::StoredValueSize(key, index, size);
}

}  // namespace sources

#ifdef _WIN32
namespace calls = platform;
#else
// Off Windows there is no other registry: the store's calls stand in for
// the platform's, which Route never takes.
namespace calls = store;
#endif

using sources::Route;

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  return Route<store::OpenKey, calls::OpenKey>(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LONG RegCloseKey(HKEY hKey) { return Route<store::CloseKey, calls::CloseKey>(hKey); }

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
  return Route<store::QueryInfoKey, calls::QueryInfoKey>(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys,
                                                         lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                                                         lpcbMaxValueNameLen, lpcbMaxValueLen,
                                                         lpcbSecurityDescriptor, lpftLastWriteTime);
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  return Route<store::EnumKey, calls::EnumKey>(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                                               lpftLastWriteTime);
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return Route<store::EnumValue, calls::EnumValue>(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType,
                                                   lpData, lpcbData);
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
  return Route<store::QueryValue, calls::QueryValue>(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
}
