// What kormald reads of a registry, as rules both tools call: the class key
// and the enumerator scope a mode chooses, an instance key's three values,
// whether a device node names an instance, and the row. kormald lists by
// them (lister/), and regwalk --controllers says by them why an instance
// has a row or none, so that the two never disagree.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "winreg/winreg.h"

namespace tools::controllers {

inline constexpr int kModeScsi = 1;  // -...: SCSI adapters, not hard-disk controllers
inline constexpr int kModeAll = 2;   // +...: device nodes of every enumerator

// Reads options by their first characters, in the order -, +, /, as
// kormald takes them. Returns 1 when the usage line is asked for, else 0;
// sets *mode.
int ReadModeOptions(int argc, char* argv[], int* mode);

// The class key a mode lists: hdc, or SCSIAdapter with kModeScsi.
const char* ClassPath(int mode);

// The enumerator scope a mode chooses, edited from
// HKEY_LOCAL_MACHINE\Enum\PCI into path: Enum\MF for none, Enum\PCI for
// kModeScsi alone, Enum with kModeAll.
inline constexpr char kEnumeratorPathInitial[] = "HKEY_LOCAL_MACHINE\\Enum\\PCI";
void EditEnumeratorPath(char (&path)[sizeof kEnumeratorPathInitial], int mode);

// Each value is read into a buffer of this many bytes.
inline constexpr DWORD kValueBufferSize = 256;

// What kormald reads of an instance key.
struct Instance {
  char portDriver[kValueBufferSize];
  char infPath[kValueBufferSize];
  char driverDesc[kValueBufferSize];
};

// Reads an instance key's values: false where it has no PortDriver text
// (no row); a missing InfPath or DriverDesc reads as "?".
bool ReadInstance(HKEY key, Instance* instance);

// The driver key a device node must name for the instance at path: its
// path's last 8 characters (hdc\0001), or 16 with kModeScsi
// (SCSIAdapter\0000); lent from path.
const char* TargetOf(const char* path, int mode);

// Whether the device node's Driver value is target, byte for byte.
bool NamesDriver(HKEY key, const char* target);

// The row of an instance found in scope, in the registry's codepage, with
// its line end: the ID (the path's last two characters), the port driver
// and the .INF file in twelve columns, the description.
std::string Row(const char* path, const Instance& instance);

// Where an instance's device node is searched for when the scope holds
// none that names it.
inline constexpr char kEveryEnumerator[] = "HKEY_LOCAL_MACHINE\\Enum";

// What became of one key kormald's walk offers its visitor under the class
// key: the row kormald prints, or why there is none.
struct Fate {
  enum class Kind { kListed, kNoPortDriver, kNoDeviceNode, kNotInScope, kUnreadable };
  std::string key;
  Kind kind;
  std::string row = {};         // listed: what kormald prints, without its line end
  std::string target = {};      // the driver key a device node must name
  std::string deviceNode = {};  // listed: the first in the scope that names it
  std::vector<std::string> elsewhere = {};  // not_in_scope: the device nodes outside it that do
  std::string why = {};                     // unreadable
  Instance instance = {};                   // listed: its three values
};

// Every key under the class key of mode, in kormald's walk order, with its
// fate, over the installed registry; damagedPaths: the damaged keys met
// (tools::DamagedPaths), those under the class key named unreadable after
// the rest.
struct Explained {
  int mode;
  char scope[sizeof kEnumeratorPathInitial] = {};
  std::vector<Fate> fates = {};
  bool searchEndedEarly = false;  // a device node search ended on a registry error
  int result = 0;                 // the walk's of the class key
};
Explained ExplainInstances(int mode, const std::vector<std::string>& damagedPaths);

}  // namespace tools::controllers
