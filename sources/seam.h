// Which registry the calls of winreg.h reach: the store (the registry files
// the user named; off Windows the only registry there is), or on Windows
// the platform's own (advapi32).
#pragma once

#include "winreg/winreg.h"

namespace sources {

// Sends every call from now on to the platform's own registry. Only on
// Windows; false elsewhere, where the store is the only registry.
bool UsePlatformRegistry();
bool UsingPlatformRegistry();

// The size the value at index of key is stored with, where the registry is
// the store's (the calls hand a string out with a terminator its source may
// not hold); false on the platform's registry, whose calls say all there is.
bool StoredValueSize(HKEY key, DWORD index, DWORD* size);

}  // namespace sources
