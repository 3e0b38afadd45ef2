#include "tools/keys.h"

#include <algorithm>
#include <utility>

#include "regwalk/regwalk.h"
#include "sources/seam.h"
#include "store/store.h"

namespace tools {

namespace {

// The values read so far into a list whose strings are reused from key to
// key: a walk of a million keys then allocates for the longest values, not
// for every one.
struct Reading {
  std::vector<KeptValue>* values;
  std::size_t count = 0;
};

int KeepValue(HKEY, std::intptr_t user, const char* name, DWORD type, DWORD size, const BYTE* data) {
  auto* reading = reinterpret_cast<Reading*>(user);
  if (reading->count == reading->values->size()) reading->values->emplace_back();
  KeptValue& v = (*reading->values)[reading->count++];
  v.name.assign(name);
  v.type = type;
  v.data.assign(reinterpret_cast<const char*>(data), size);
  return 0;
}

}  // namespace

int ReadValues(HKEY key, std::vector<KeptValue>* values) {
  Reading reading{values};
  int result = WalkValues(key, reinterpret_cast<std::intptr_t>(&reading), KeepValue);
  values->resize(reading.count);
  std::reverse(values->begin(), values->end());  // handed over last first
  return result;
}


int ReadStoredValues(HKEY key, std::vector<KeptValue>* values) {
  if (int result = ReadValues(key, values); result != 0) return result;
  for (std::size_t i = 0; i < values->size(); ++i) {
    DWORD stored = 0;
    std::string& data = (*values)[i].data;
    if (sources::StoredValueSize(key, static_cast<DWORD>(i), &stored) && stored < data.size()) data.resize(stored);
  }
  return 0;
}

namespace {

// The short names reg.exe takes for the roots; regedit and the walker know
// only the long ones.
constexpr std::pair<std::string_view, std::string_view> kShortRootNames[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE"}, {"HKU", "HKEY_USERS"},           {"HKCR", "HKEY_CLASSES_ROOT"},
    {"HKCU", "HKEY_CURRENT_USER"},  {"HKCC", "HKEY_CURRENT_CONFIG"}, {"HKDD", "HKEY_DYN_DATA"},
};

}  // namespace

std::string LongRootNames(std::string_view pattern) {
  std::size_t cut = pattern.find('\\');
  std::string_view first = pattern.substr(0, cut);
  for (auto [shortName, longName] : kShortRootNames) {
    if (store::SameName(first, shortName)) return std::string(longName) + std::string(pattern.substr(first.size()));
  }
  return std::string(pattern);
}

LONG OpenPath(std::string_view path, HKEY* key) {
  std::string full = LongRootNames(path);
  std::string_view root = std::string_view(full).substr(0, full.find('\\'));
  for (const RootKey& r : RootKeyTable) {
    if (!store::SameName(root, r.name)) continue;
    if (root.size() == full.size()) {
      *key = r.handle;
      return ERROR_SUCCESS;
    }
    return RegOpenKeyExA(r.handle, full.c_str() + root.size() + 1, 0, KEY_READ, key);
  }
  return ERROR_FILE_NOT_FOUND;
}

void CloseOpened(HKEY key) {
  for (const RootKey& r : RootKeyTable) {
    if (r.handle == key) return;
  }
  RegCloseKey(key);
}

}  // namespace tools
