// Which registry the calls of winreg.h reach: the store (the registry files
// the user named; off Windows the only registry there is), or on Windows
// the platform's own (advapi32).
#pragma once

namespace sources {

// Sends every call from now on to the platform's own registry. Only on
// Windows; false elsewhere, where the store is the only registry.
bool UsePlatformRegistry();
bool UsingPlatformRegistry();

}  // namespace sources
