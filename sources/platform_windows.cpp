// The platform's registry calls under names of our own. This file does not
// see winreg.h, whose names stand for the seam's functions on Windows.
#include "sources/platform_windows.h"

namespace platform {

LONG OpenKey(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  return ::RegOpenKeyExA(key, subKey, options, access, result);
}
LONG CloseKey(HKEY key) { return ::RegCloseKey(key); }
LONG QueryInfoKey(HKEY key, LPSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                  LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values, LPDWORD maxValueNameLength,
                  LPDWORD maxValueLength, LPDWORD securityDescriptor, PFILETIME lastWriteTime) {
  return ::RegQueryInfoKeyA(key, className, classLength, reserved, subKeys, maxSubKeyLength, maxClassLength, values,
                            maxValueNameLength, maxValueLength, securityDescriptor, lastWriteTime);
}
LONG EnumKey(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPSTR className,
             LPDWORD classLength, PFILETIME lastWriteTime) {
  return ::RegEnumKeyExA(key, index, name, nameLength, reserved, className, classLength, lastWriteTime);
}
LONG EnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type, LPBYTE data,
               LPDWORD dataSize) {
  return ::RegEnumValueA(key, index, name, nameLength, reserved, type, data, dataSize);
}
LONG QueryValue(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  return ::RegQueryValueExA(key, name, reserved, type, data, dataSize);
}

}  // namespace platform
