// lister/ owns kormald, which lists the disk-controller drivers a Windows 9x
// registry records: its options, the class key and enumerator scope they
// choose, the two visitors and the row format. It walks through regwalk/
// and sees the registry only through winreg.h; tools/ opens the registry
// and prints for it.
#pragma once

#include <cstdint>

#include "tools/controllers.h"
#include "winreg/winreg.h"

inline constexpr int MODE_SCSI = tools::controllers::kModeScsi;  // option -...: SCSI adapters, not hard-disk controllers
inline constexpr int MODE_ALL = tools::controllers::kModeAll;    // option +...: device nodes of every enumerator

extern int g_mode;
// The driver key a device node must name: the end of the instance key's
// path, lent by the outer walk for the length of one ReportController call.
extern const char* g_driverKey;
extern int g_found;

// Reads the options by their first characters, in the order -, +, /.
// Returns 1 when the usage line is asked for, else 0; sets *mode.
int ReadOptions(int argc, char* argv[], int* mode);

// The program once the registry is open: returns 20 after the usage line,
// else 0 after the listing, or tools::kExitIncomplete when a walk ended on a
// registry failure (named on standard error): rows may then be missing.
int KormaldMain(int argc, char* argv[]);

// Outer visitor: one row for an instance key with a port driver and a device
// node in scope. Always 0, so the listing goes on.
int ReportController(HKEY key, const char* path, std::intptr_t user);
// Nested visitor: 1 at the first device node whose Driver is g_driverKey.
int FindDeviceDriver(HKEY key, const char* path, std::intptr_t user);
