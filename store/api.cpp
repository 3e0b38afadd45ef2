// The Win32 registry calls over the installed store, with the platform's
// buffer and length contracts.
#include "store/api.h"

#include <algorithm>
#include <cstring>

#include "store/handles.h"
#include "store/store_testing.h"

namespace store {

// What the calls serve: a registry and the handles opened on it.
struct Installation::State {
  std::unique_ptr<Registry> registry = std::make_unique<Registry>();
  std::uint32_t roots[kRootCount] = {};
  std::uint32_t listedUnderRoot[kRootCount] = {};
  std::uint32_t viewDamage[kRootCount] = {};  // what hides a view's key, met when the view is read
  HandleTable handles;
  std::uint64_t calls = 0;
  std::uint64_t failAt = 0;
  LONG failCode = 0;
  std::vector<CallRecord>* trace = nullptr;
  DamageReporter reporter = nullptr;

  State() { ResolveRoots(); }

  void ResolveRoots() {
    for (int i = 0; i < kRootCount; ++i) {
      roots[i] = i == 4 ? kNoNode : registry->RootNode(static_cast<Root>(i));
      viewDamage[i] = i == 4 ? 0 : registry->ViewDamage(static_cast<Root>(i));
      listedUnderRoot[i] = kNoNode;
    }
  }

  void Install(std::unique_ptr<Registry> next) {
    next->Compact();
    registry = std::move(next);
    ResolveRoots();
    // Slots and their generations outlive the registry, so that a handle of
    // the old one never equals a handle of the new one.
    handles.CloseAll();
  }
};

namespace {

using State = Installation::State;

// The process's own state, made before main: the calls reach it through
// one pointer, without the guard a function-local static costs on every
// call. It is never torn down: at exit the system takes the memory back
// faster than freeing every key would.
State* const g_processState = new State;
State* g_served = g_processState;
Installation* g_servedInstallation = nullptr;  // null: the process's own
State& S() { return *g_served; }

// The node behind a decoded handle, or kNoNode for an unknown or closed one.
std::uint32_t NodeOf(const HandleTarget& target) {
  if (target.root >= 0) return S().roots[target.root];
  return target.slot != nullptr ? target.slot->node : kNoNode;
}
std::uint32_t NodeOf(HKEY key) { return NodeOf(S().handles.Decode(key)); }

// Where a handle keeps the subkey listed last; null for an unknown one.
std::uint32_t* ListedUnder(HKEY key) {
  State& s = S();
  HandleTarget target = s.handles.Decode(key);
  if (target.root >= 0) return &s.listedUnderRoot[target.root];
  return target.slot != nullptr ? &target.slot->listed : nullptr;
}

void Report(Damage& d) {
  State& s = S();
  if (d.reported) return;
  d.reported = true;
  if (s.reporter == nullptr) return;
  const Registry& reg = *s.registry;
  const Node& key = reg.node(d.node);
  std::string path = key.name.empty() ? reg.PathOf(key.parent) + '\\' : reg.PathOf(d.node);
  s.reporter(d, path);
}

// Damage meets the caller as ERROR_BADDB, and the reporter hears of each
// damaged key once.
LONG CheckDamage(std::uint32_t node) {
  State& s = S();
  std::uint32_t damage = s.registry->OwnDamage(node);
  if (damage == 0) return ERROR_SUCCESS;
  Report(s.registry->DamageRecord(damage));
  return ERROR_BADDB;
}

// Listing a key's subkeys meets the damaged ones it leaves out.
void ReportDamagedSubkeys(std::uint32_t node) {
  Registry& reg = *S().registry;
  std::uint32_t first = reg.DamagedSubkeys(node);
  if (first == 0 || reg.DamageRecord(first).reported) return;
  std::vector<std::uint32_t> met;
  for (std::uint32_t d = first; d != 0; d = reg.DamageRecord(d).next) met.push_back(d);
  g_storeSteps += met.size();
  for (auto it = met.rbegin(); it != met.rend(); ++it) Report(reg.DamageRecord(*it));
}

LONG Resolve(HKEY key, std::uint32_t* node) {
  State& s = S();
  HandleTarget target = s.handles.Decode(key);
  if (target.root >= 0 && s.viewDamage[target.root] != 0) {
    // The view shows an empty key in place of what it cannot read.
    Report(s.registry->DamageRecord(s.viewDamage[target.root]));
  }
  *node = NodeOf(target);
  if (*node == kNoNode) return ERROR_INVALID_HANDLE;
  return CheckDamage(*node);
}

// Counts the call, fails it when a test asked for that, and records it.
template <typename Body>
LONG Counted(const char* function, HKEY key, const char* name, Body&& body) {
  State& s = S();
  ++s.calls;
  LONG result;
  if (s.failAt != 0 && s.calls == s.failAt) {
    s.failAt = 0;
    result = s.failCode;
  } else {
    result = body();
  }
  if (s.trace != nullptr) {
    s.trace->push_back(CallRecord{function, NodeOf(key), name != nullptr ? name : "", result});
  }
  return result;
}

// Copies a name out under the Win32 contract: the buffer size counts the
// terminator, the returned length does not, and a short buffer is untouched.
LONG CopyName(std::string_view name, LPSTR buffer, LPDWORD length) {
  if (name.size() + 1 > *length) return ERROR_MORE_DATA;
  if (!name.empty()) std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
  *length = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Copies value data out: with no buffer only the size is reported; a short
// buffer gets ERROR_MORE_DATA and the size it needs, and is untouched.
LONG CopyData(const Value& value, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD needed = ServedSize(value);
  LONG result = ERROR_SUCCESS;
  if (data != nullptr) {
    if (*size < needed) {
      result = ERROR_MORE_DATA;
    } else {
      if (!value.data.empty()) std::memcpy(data, value.data.data(), value.data.size());
      if (AddsTerminator(value)) data[value.data.size()] = 0;
    }
  }
  if (type != nullptr) *type = value.type;
  if (size != nullptr) *size = needed;
  return result;
}

}  // namespace

void InstallRegistry(std::unique_ptr<Registry> registry) { S().Install(std::move(registry)); }

Installation::Installation(std::unique_ptr<Registry> registry) : state_(std::make_unique<State>()) {
  state_->Install(std::move(registry));
}
Installation::~Installation() {
  if (g_servedInstallation == this) Serve(nullptr);
}
Registry& Installation::registry() { return *state_->registry; }

Installation* Serve(Installation* installation) {
  Installation* before = g_servedInstallation;
  g_servedInstallation = installation;
  g_served = installation != nullptr ? installation->state_.get() : g_processState;
  return before;
}

Registry& InstalledRegistry() { return *S().registry; }
void SetDamageReporter(DamageReporter reporter) { S().reporter = reporter; }

void FailRegistryCall(std::uint64_t n, LONG code) {
  State& s = S();
  s.failAt = n == 0 ? 0 : s.calls + n;
  s.failCode = code;
}
std::uint64_t RegistryCallCount() { return S().calls; }
std::size_t OpenHandleCount() { return S().handles.OpenCount(); }
void TraceRegistryCalls(std::vector<CallRecord>* sink) { S().trace = sink; }

LONG OpenKey(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  return Counted("RegOpenKeyExA", hKey, lpSubKey, [&]() -> LONG {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::uint32_t node;
    if (LONG r = Resolve(hKey, &node); r != ERROR_SUCCESS) return r;
    std::string_view path = lpSubKey != nullptr ? lpSubKey : "";
    Registry& reg = InstalledRegistry();
    std::uint32_t* listed = ListedUnder(hKey);
    std::uint32_t likely = listed != nullptr ? *listed : kNoNode;
    while (!path.empty()) {
      std::size_t cut = FindSeparator(path, reg.leadBytes());
      std::string_view name = path.substr(0, cut);
      if (name.empty()) return ERROR_BAD_PATHNAME;
      node = reg.FindChild(node, name, likely);
      likely = kNoNode;
      if (node == kNoNode) return ERROR_FILE_NOT_FOUND;
      if (LONG r = CheckDamage(node); r != ERROR_SUCCESS) return r;
      path = cut == std::string_view::npos ? std::string_view{} : path.substr(cut + 1);
      if (cut != std::string_view::npos && path.empty()) return ERROR_BAD_PATHNAME;
    }
    *phkResult = S().handles.Open(node);
    return *phkResult != nullptr ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
  });
}

LONG CloseKey(HKEY hKey) {
  State& s = S();
  HandleTarget target = s.handles.Decode(hKey);
  if (target.root >= 0) return ERROR_SUCCESS;
  if (target.slot == nullptr) return ERROR_INVALID_HANDLE;
  s.handles.Close(*target.slot);
  return ERROR_SUCCESS;
}

LONG QueryInfoKey(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  return Counted("RegQueryInfoKeyA", hKey, nullptr, [&]() -> LONG {
    if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) {
      return ERROR_INVALID_PARAMETER;
    }
    std::uint32_t id;
    if (LONG r = Resolve(hKey, &id); r != ERROR_SUCCESS) return r;
    Registry& reg = InstalledRegistry();
    bool subkeys = lpcSubKeys != nullptr || lpcbMaxSubKeyLen != nullptr;
    bool values = lpcValues != nullptr || lpcbMaxValueNameLen != nullptr || lpcbMaxValueLen != nullptr;
    // Only what is asked for is decoded.
    if (subkeys) ReportDamagedSubkeys(id);
    const std::vector<std::uint32_t>& children = subkeys ? reg.Subkeys(id) : reg.node(id).children;
    static const std::vector<Value> kNone;
    const std::vector<Value>& valueList = values ? reg.Values(id) : kNone;
    // Keys have no class names here.
    if (lpClass != nullptr) {
      if (*lpcchClass < 1) return ERROR_MORE_DATA;
      lpClass[0] = '\0';
    }
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpcSubKeys != nullptr) *lpcSubKeys = static_cast<DWORD>(children.size());
    if (lpcbMaxSubKeyLen != nullptr) {
      g_storeSteps += children.size();
      std::size_t longest = 0;
      for (std::uint32_t child : children) longest = std::max(longest, reg.node(child).name.size());
      *lpcbMaxSubKeyLen = static_cast<DWORD>(longest);
    }
    if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
    if (lpcValues != nullptr) *lpcValues = static_cast<DWORD>(valueList.size());
    if (lpcbMaxValueNameLen != nullptr || lpcbMaxValueLen != nullptr) {
      g_storeSteps += valueList.size();
      std::size_t longestName = 0;
      DWORD longestData = 0;
      for (const Value& v : valueList) {
        longestName = std::max(longestName, v.name.size());
        longestData = std::max<DWORD>(longestData, ServedSize(v));
      }
      if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = static_cast<DWORD>(longestName);
      if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = longestData;
    }
    if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

LONG EnumKey(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  return Counted("RegEnumKeyExA", hKey, nullptr, [&]() -> LONG {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
        (lpClass != nullptr && lpcchClass == nullptr)) {
      return ERROR_INVALID_PARAMETER;
    }
    std::uint32_t id;
    if (LONG r = Resolve(hKey, &id); r != ERROR_SUCCESS) return r;
    ReportDamagedSubkeys(id);
    Registry& reg = InstalledRegistry();
    const std::vector<std::uint32_t>& children = reg.Subkeys(id);
    if (dwIndex >= children.size()) return ERROR_NO_MORE_ITEMS;
    std::uint32_t child = children[dwIndex];
    if (LONG r = CopyName(reg.node(child).name, lpName, lpcchName); r != ERROR_SUCCESS) return r;
    if (std::uint32_t* listed = ListedUnder(hKey)) *listed = child;
    if (lpClass != nullptr) {
      if (*lpcchClass >= 1) lpClass[0] = '\0';
    }
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

LONG EnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return Counted("RegEnumValueA", hKey, nullptr, [&]() -> LONG {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr)) {
      return ERROR_INVALID_PARAMETER;
    }
    std::uint32_t id;
    if (LONG r = Resolve(hKey, &id); r != ERROR_SUCCESS) return r;
    const std::vector<Value>& values = InstalledRegistry().Values(id);
    if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& value = values[dwIndex];
    if (value.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
    LONG result = CopyData(value, lpType, lpData, lpcbData);
    if (result == ERROR_SUCCESS) CopyName(value.name, lpValueName, lpcchValueName);
    return result;
  });
}

LONG QueryValue(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  return Counted("RegQueryValueExA", hKey, lpValueName, [&]() -> LONG {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    std::uint32_t id;
    if (LONG r = Resolve(hKey, &id); r != ERROR_SUCCESS) return r;
    const Value* value = InstalledRegistry().FindValue(id, lpValueName != nullptr ? lpValueName : "");
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    return CopyData(*value, lpType, lpData, lpcbData);
  });
}

bool StoredValueSize(HKEY hKey, DWORD index, DWORD* size) {
  std::uint32_t id;
  if (Resolve(hKey, &id) != ERROR_SUCCESS) return false;
  const std::vector<Value>& values = InstalledRegistry().Values(id);
  if (index >= values.size()) return false;
  *size = static_cast<DWORD>(values[index].data.size());
  return true;
}

}  // namespace store
