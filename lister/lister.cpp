#include "lister/lister.h"

#include <cstdio>
#include <cstring>

#include "regwalk/regwalk.h"
#include "tools/controllers.h"
#include "tools/registry_cli.h"

int g_mode = 0;
const char* g_driverKey = nullptr;
int g_found = 0;

namespace {

namespace rules = tools::controllers;

constexpr char kUsageLine[] = "KORMALD [-SCSI] [+ALL]\n";
constexpr char kHeader[] = "ID  PORT DRIVER      .INF FILE  DESCRIPTION\n\n";

// The scope whose device nodes must point at a listed instance; main edits
// it once for the mode before any walk.
char g_enumeratorPath[sizeof rules::kEnumeratorPathInitial];

// Set when a walk ended on a failure rather than at its end or at a found
// device node: rows may be missing, and the run says so in its status.
bool g_walkEndedEarly = false;

void ReportEarlyEnd(const char* what, const char* path, int result) {
  g_walkEndedEarly = true;
  std::fprintf(stderr, "kormald: %s %s ended early: %s; rows may be missing\n", what, path,
               tools::DescribeResult(result).c_str());
}

}  // namespace

int ReadOptions(int argc, char* argv[], int* mode) { return rules::ReadModeOptions(argc, argv, mode); }

int KormaldMain(int argc, char* argv[]) {
  if (ReadOptions(argc, argv, &g_mode) != 0) {
    std::fputs(kUsageLine, stdout);
    return tools::kExitKormaldUsage;
  }
  rules::EditEnumeratorPath(g_enumeratorPath, g_mode);
  std::fputs(kHeader, stdout);
  g_walkEndedEarly = false;
  const char* classPath = rules::ClassPath(g_mode);
  if (int result = WalkKeys(classPath, 1, ReportController, 0); result != 0) {
    ReportEarlyEnd("the walk of", classPath, result);
  }
  return g_walkEndedEarly ? tools::kExitIncomplete : 0;
}

int ReportController(HKEY key, const char* path, std::intptr_t) {
  rules::Instance instance;
  if (!rules::ReadInstance(key, &instance)) return 0;
  g_driverKey = rules::TargetOf(path, g_mode);
  g_found = 0;
  int result = WalkKeys(g_enumeratorPath, 1, FindDeviceDriver, 0);
  if (result != 0 && !(result == 1 && g_found == 1)) {
    std::string what = std::string("the search for ") + g_driverKey + " under";
    ReportEarlyEnd(what.c_str(), g_enumeratorPath, result);
  }
  // Padded in the registry's codepage, as the machine padded it, then
  // shown in the user's charset.
  if (g_found == 1) tools::PrintText(rules::Row(path, instance));
  return 0;
}

int FindDeviceDriver(HKEY key, const char*, std::intptr_t) {
  if (!rules::NamesDriver(key, g_driverKey)) return 0;
  g_found = 1;
  return 1;
}
