// winreg/ owns the registry API as the walker, the lister and the store see
// it: the platform's six ANSI calls, their types, handles and codes, with
// the platform's names. It is the ground floor and includes nothing of ours.
//
// Every call goes through one seam (sources/seam.cpp), which decides which
// registry answers it:
//   - the store (store/): the registry files the user named, read only, on
//     every platform; off Windows it is the only registry there is;
//   - the platform's own registry (advapi32): on Windows, when no file was
//     named (sources/seam.h).
// On Windows the platform's names below stand for the seam's functions, so
// that the walker and the lister, written with those names, call the seam.
#pragma once

#ifdef _WIN32
#include <windows.h>

#define RegOpenKeyExA KormaldRegOpenKeyExA
#define RegCloseKey KormaldRegCloseKey
#define RegQueryInfoKeyA KormaldRegQueryInfoKeyA
#define RegEnumKeyExA KormaldRegEnumKeyExA
#define RegEnumValueA KormaldRegEnumValueA
#define RegQueryValueExA KormaldRegQueryValueExA
#else

#include <cstdint>

using BYTE = unsigned char;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using REGSAM = DWORD;
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;
using HKEY = struct HKEY__*;
using PHKEY = HKEY*;

// Predefined keys, sign-extended to pointer width as the platform does.
#define KORMALD_PREDEFINED_KEY(v) \
  (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(v))))
#define HKEY_CLASSES_ROOT KORMALD_PREDEFINED_KEY(0x80000000U)
#define HKEY_CURRENT_USER KORMALD_PREDEFINED_KEY(0x80000001U)
#define HKEY_LOCAL_MACHINE KORMALD_PREDEFINED_KEY(0x80000002U)
#define HKEY_USERS KORMALD_PREDEFINED_KEY(0x80000003U)
#define HKEY_CURRENT_CONFIG KORMALD_PREDEFINED_KEY(0x80000005U)
#define HKEY_DYN_DATA KORMALD_PREDEFINED_KEY(0x80000006U)

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_BAD_PATHNAME = 161;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_BADKEY = 1010;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;  // with READ_CONTROL

#endif

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegCloseKey(HKEY hKey);
LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                   LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                   PFILETIME lpftLastWriteTime);
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
