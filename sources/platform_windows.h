// Windows' own registry, through advapi32: what the seam calls when no
// registry file was named. The functions keep advapi32's contracts.
#pragma once

#include <windows.h>

namespace platform {

LONG OpenKey(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG CloseKey(HKEY key);
LONG QueryInfoKey(HKEY key, LPSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                  LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values, LPDWORD maxValueNameLength,
                  LPDWORD maxValueLength, LPDWORD securityDescriptor, PFILETIME lastWriteTime);
LONG EnumKey(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPSTR className,
             LPDWORD classLength, PFILETIME lastWriteTime);
LONG EnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type, LPBYTE data,
               LPDWORD dataSize);
LONG QueryValue(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);

}  // namespace platform
