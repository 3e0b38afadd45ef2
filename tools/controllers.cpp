#include "tools/controllers.h"

#include <cstdio>
#include <cstring>

#include "regwalk/regwalk.h"
#include "tools/registry_cli.h"

namespace tools::controllers {

namespace {

constexpr char kHardDiskClassPath[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc";
constexpr char kScsiClassPath[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\SCSIAdapter";

// hdc\0001 and SCSIAdapter\0000: the class key's name, a backslash and a
// four-character instance name.
constexpr std::size_t kHardDiskSuffix = 8;
constexpr std::size_t kScsiSuffix = 16;

// Reads a text value into a 256-byte buffer. It counts as read only when the
// data holds a NUL: data that fills the buffer without one, or binary data
// without one, is too long to be a text and is never printed.
bool ReadText(HKEY key, const char* name, char (&buffer)[kValueBufferSize]) {
  DWORD size = kValueBufferSize;
  LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  return rc == ERROR_SUCCESS && size <= kValueBufferSize && std::memchr(buffer, '\0', size) != nullptr;
}

// The device nodes under a walk that name target: the first, or all.
struct Search {
  const char* target;
  bool all;
  std::vector<std::string> found = {};
};

int FindNamingNode(HKEY key, const char* path, std::intptr_t user) {
  auto* search = reinterpret_cast<Search*>(user);
  if (!NamesDriver(key, search->target)) return 0;
  search->found.emplace_back(path);
  return search->all ? 0 : 1;
}

int Explain(HKEY key, const char* path, std::intptr_t user) {
  auto* e = reinterpret_cast<Explained*>(user);
  Instance instance;
  if (!ReadInstance(key, &instance)) {
    e->fates.push_back({path, Fate::Kind::kNoPortDriver});
    return 0;
  }
  Fate fate{path, Fate::Kind::kListed};
  fate.target = TargetOf(path, e->mode);
  Search first{fate.target.c_str(), false};
  int result = WalkKeys(e->scope, 1, FindNamingNode, reinterpret_cast<std::intptr_t>(&first));
  if (!first.found.empty()) {
    fate.instance = instance;
    fate.row = Row(path, instance);
    fate.row.pop_back();
    fate.deviceNode = first.found.front();
  } else if (result != 0) {
    fate.kind = Fate::Kind::kUnreadable;
    fate.why = "the search for " + fate.target + " under " + e->scope + " ended early: " + DescribeResult(result);
    e->searchEndedEarly = true;
  } else {
    Search all{fate.target.c_str(), true};
    if ((e->mode & kModeAll) == 0) {
      WalkKeys(kEveryEnumerator, 1, FindNamingNode, reinterpret_cast<std::intptr_t>(&all));
    }
    fate.elsewhere = std::move(all.found);
    fate.kind = fate.elsewhere.empty() ? Fate::Kind::kNoDeviceNode : Fate::Kind::kNotInScope;
  }
  e->fates.push_back(std::move(fate));
  return 0;
}

}  // namespace

Explained ExplainInstances(int mode, const std::vector<std::string>& damagedPaths) {
  Explained explained{mode};
  EditEnumeratorPath(explained.scope, mode);
  const char* classPath = ClassPath(mode);
  explained.result = WalkKeys(classPath, 1, Explain, reinterpret_cast<std::intptr_t>(&explained));
  // The keys kormald's walk could not read are named among the rest.
  std::string under = std::string(classPath) + "\\";
  for (const std::string& path : damagedPaths) {
    if (path.starts_with(under) || path + "\\" == under) {
      explained.fates.push_back({path, Fate::Kind::kUnreadable, {}, {}, {}, {}, "the key could not be read"});
    }
  }
  return explained;
}

int ReadModeOptions(int argc, char* argv[], int* mode) {
  *mode = 0;
  int first = 1;
  if (argc - first + 1 > 1 && argv[first][0] == '-') {
    *mode |= kModeScsi;
    ++first;
  }
  if (argc - first + 1 > 1 && argv[first][0] == '+') {
    *mode |= kModeAll;
    ++first;
  }
  return argc - first + 1 > 1 && argv[first][0] == '/' ? 1 : 0;
}

const char* ClassPath(int mode) { return (mode & kModeScsi) != 0 ? kScsiClassPath : kHardDiskClassPath; }

void EditEnumeratorPath(char (&path)[sizeof kEnumeratorPathInitial], int mode) {
  std::memcpy(path, kEnumeratorPathInitial, sizeof path);
  std::size_t length = std::strlen(path);
  if (mode == 0) {
    std::strcpy(path + length - 3, "MF");
  } else if ((mode & kModeAll) != 0) {
    path[length - 4] = '\0';
  }
}

bool ReadInstance(HKEY key, Instance* instance) {
  if (!ReadText(key, "PortDriver", instance->portDriver)) return false;
  // Whatever a failed read left in the buffer, the column shows "?".
  if (!ReadText(key, "InfPath", instance->infPath)) std::strcpy(instance->infPath, "?");
  if (!ReadText(key, "DriverDesc", instance->driverDesc)) std::strcpy(instance->driverDesc, "?");
  return true;
}

const char* TargetOf(const char* path, int mode) {
  std::size_t n = std::strlen(path);
  std::size_t suffix = (mode & kModeScsi) != 0 ? kScsiSuffix : kHardDiskSuffix;
  return n >= suffix ? path + n - suffix : path;
}

bool NamesDriver(HKEY key, const char* target) {
  char driver[kValueBufferSize];
  return ReadText(key, "Driver", driver) && std::strcmp(driver, target) == 0;
}

std::string Row(const char* path, const Instance& instance) {
  std::size_t n = std::strlen(path);
  char row[4 * kValueBufferSize];
  int length = std::snprintf(row, sizeof row, "%s: %12s  %12s  %s\n", n >= 2 ? path + n - 2 : path,
                             instance.portDriver, instance.infPath, instance.driverDesc);
  return std::string(row, static_cast<std::size_t>(length));
}

}  // namespace tools::controllers
