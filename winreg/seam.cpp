// The one place that decides which registry a call reaches: the store
// (the registry files the user named), or, on Windows with no file named,
// the platform's own registry through advapi32 (platform_windows.cpp).
#include "winreg/winreg.h"

#ifdef _WIN32
#include "winreg/platform_windows.h"
#endif

namespace regstore {
namespace {
bool g_platform = false;
}  // namespace

bool UsePlatformRegistry() {
#ifdef _WIN32
  g_platform = true;
#endif
  return g_platform;
}

bool UsingPlatformRegistry() { return g_platform; }

}  // namespace regstore

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
#ifdef _WIN32
  if (regstore::UsingPlatformRegistry()) return platform::OpenKey(hKey, lpSubKey, ulOptions, samDesired, phkResult);
#endif
  return regstore::RegOpenKeyExA(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LONG RegCloseKey(HKEY hKey) {
#ifdef _WIN32
  if (regstore::UsingPlatformRegistry()) return platform::CloseKey(hKey);
#endif
  return regstore::RegCloseKey(hKey);
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
#ifdef _WIN32
  if (regstore::UsingPlatformRegistry()) {
    return platform::QueryInfoKey(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
                                  lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                                  lpcbSecurityDescriptor, lpftLastWriteTime);
  }
#endif
  return regstore::RegQueryInfoKeyA(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
                                    lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                                    lpcbSecurityDescriptor, lpftLastWriteTime);
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
#ifdef _WIN32
  if (regstore::UsingPlatformRegistry()) {
    return platform::EnumKey(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
  }
#endif
  return regstore::RegEnumKeyExA(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                                 lpftLastWriteTime);
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
#ifdef _WIN32
  if (regstore::UsingPlatformRegistry()) {
    return platform::EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
  }
#endif
  return regstore::RegEnumValueA(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData,
                                 lpcbData);
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
#ifdef _WIN32
  if (regstore::UsingPlatformRegistry()) {
    return platform::QueryValue(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
  }
#endif
  return regstore::RegQueryValueExA(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
}
