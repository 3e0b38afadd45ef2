#include "lister/lister.h"

#include <cstdio>
#include <cstring>

#include "regwalk/regwalk.h"
#include "tools/registry_cli.h"

int g_mode = 0;
const char* g_driverKey = nullptr;
int g_found = 0;

namespace {

constexpr char kEnumeratorPathInitial[] = "HKEY_LOCAL_MACHINE\\Enum\\PCI";
constexpr char kHardDiskClassPath[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc";
constexpr char kScsiClassPath[] =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\SCSIAdapter";
constexpr char kUsageLine[] = "KORMALD [-SCSI] [+ALL]\n";
constexpr char kHeader[] = "ID  PORT DRIVER      .INF FILE  DESCRIPTION\n\n";

// hdc\0001 and SCSIAdapter\0000: the class key's name, a backslash and a
// four-character instance name.
constexpr std::size_t kHardDiskSuffix = 8;
constexpr std::size_t kScsiSuffix = 16;
constexpr DWORD kValueBufferSize = 256;

// The scope whose device nodes must point at a listed instance; main edits
// it once for the mode before any walk.
char g_enumeratorPath[sizeof kEnumeratorPathInitial];

// Set when a walk ended on a failure rather than at its end or at a found
// device node: rows may be missing, and the run says so in its status.
bool g_walkEndedEarly = false;

void ReportEarlyEnd(const char* what, const char* path, int result) {
  g_walkEndedEarly = true;
  std::fprintf(stderr, "kormald: %s %s ended early: %s; rows may be missing\n", what, path,
               tools::DescribeResult(result).c_str());
}

// Reads a text value into a 256-byte buffer. It counts as read only when the
// data holds a NUL: data that fills the buffer without one, or binary data
// without one, is too long to be a text and is never printed.
bool ReadText(HKEY key, const char* name, char (&buffer)[kValueBufferSize]) {
  DWORD size = kValueBufferSize;
  LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  return rc == ERROR_SUCCESS && size <= kValueBufferSize && std::memchr(buffer, '\0', size) != nullptr;
}

}  // namespace

int ReadOptions(int argc, char* argv[], int* mode) {
  *mode = 0;
  int first = 1;
  if (argc - first + 1 > 1 && argv[first][0] == '-') {
    *mode |= MODE_SCSI;
    ++first;
  }
  if (argc - first + 1 > 1 && argv[first][0] == '+') {
    *mode |= MODE_ALL;
    ++first;
  }
  return argc - first + 1 > 1 && argv[first][0] == '/' ? 1 : 0;
}

int KormaldMain(int argc, char* argv[]) {
  if (ReadOptions(argc, argv, &g_mode) != 0) {
    std::fputs(kUsageLine, stdout);
    return tools::kExitKormaldUsage;
  }
  std::memcpy(g_enumeratorPath, kEnumeratorPathInitial, sizeof g_enumeratorPath);
  std::size_t length = std::strlen(g_enumeratorPath);
  if (g_mode == 0) {
    std::strcpy(g_enumeratorPath + length - 3, "MF");
  } else if ((g_mode & MODE_ALL) != 0) {
    g_enumeratorPath[length - 4] = '\0';
  }
  std::fputs(kHeader, stdout);
  g_walkEndedEarly = false;
  const char* classPath = (g_mode & MODE_SCSI) != 0 ? kScsiClassPath : kHardDiskClassPath;
  if (int result = WalkKeys(classPath, 1, ReportController, 0); result != 0) {
    ReportEarlyEnd("the walk of", classPath, result);
  }
  return g_walkEndedEarly ? tools::kExitIncomplete : 0;
}

int ReportController(HKEY key, const char* path, std::intptr_t) {
  char portDriver[kValueBufferSize];
  char infPath[kValueBufferSize];
  char driverDesc[kValueBufferSize];
  if (!ReadText(key, "PortDriver", portDriver)) return 0;
  // Whatever a failed read left in the buffer, the column shows "?".
  if (!ReadText(key, "InfPath", infPath)) std::strcpy(infPath, "?");
  if (!ReadText(key, "DriverDesc", driverDesc)) std::strcpy(driverDesc, "?");

  std::size_t n = std::strlen(path);
  std::size_t suffix = (g_mode & MODE_SCSI) != 0 ? kScsiSuffix : kHardDiskSuffix;
  g_driverKey = n >= suffix ? path + n - suffix : path;
  g_found = 0;
  int result = WalkKeys(g_enumeratorPath, 1, FindDeviceDriver, 0);
  if (result != 0 && !(result == 1 && g_found == 1)) {
    std::string what = std::string("the search for ") + g_driverKey + " under";
    ReportEarlyEnd(what.c_str(), g_enumeratorPath, result);
  }
  if (g_found == 1) {
    // Padded in the registry's codepage, as the machine padded it, then
    // shown in the user's charset.
    char row[4 * kValueBufferSize];
    int length = std::snprintf(row, sizeof row, "%s: %12s  %12s  %s\n", n >= 2 ? path + n - 2 : path, portDriver,
                               infPath, driverDesc);
    tools::PrintText(std::string_view(row, static_cast<std::size_t>(length)));
  }
  return 0;
}

int FindDeviceDriver(HKEY key, const char*, std::intptr_t) {
  char driver[kValueBufferSize];
  if (!ReadText(key, "Driver", driver)) return 0;
  if (std::strcmp(driver, g_driverKey) != 0) return 0;
  g_found = 1;
  return 1;
}
