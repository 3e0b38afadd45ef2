// The roots a running Windows 9x system shows beside its two stored trees:
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes,
// HKEY_CURRENT_USER is HKEY_USERS\.DEFAULT, and HKEY_CURRENT_CONFIG is
// HKEY_LOCAL_MACHINE\Config\NNNN for the current hardware profile;
// HKEY_DYN_DATA is an empty key.
#include "store/store.h"

namespace store {

namespace {

// The configuration HKEY_CURRENT_CONFIG shows: the CurrentConfig string,
// without the terminator a hive may or may not have stored.
std::string_view CurrentConfigName(Registry& reg, std::uint32_t localMachine) {
  std::uint32_t db = reg.FindPath(localMachine, "System\\CurrentControlSet\\Control\\IDConfigDB");
  if (db == kNoNode) return {};
  const Value* v = reg.FindValue(db, "CurrentConfig");
  if (v == nullptr) return {};
  std::string_view name = v->data.substr(0, v->data.find('\0'));
  if (name.find('\\') != std::string_view::npos) return {};
  return name;
}

}  // namespace

std::uint32_t Registry::RootNode(Root root, bool create) {
  if (create) {
    switch (root) {
      case Root::kClassesRoot:
        return FindOrAddChild(FindOrAddChild(localMachine_, "SOFTWARE"), "Classes");
      case Root::kCurrentUser:
        return FindOrAddChild(users_, ".DEFAULT");
      case Root::kCurrentConfig: {
        // Windows 9x names its first hardware profile 0001.
        std::string_view config = CurrentConfigName(*this, localMachine_);
        return FindOrAddChild(FindOrAddChild(localMachine_, "Config"), config.empty() ? "0001" : config);
      }
      default:
        break;
    }
  }
  switch (root) {
    case Root::kLocalMachine:
      return localMachine_;
    case Root::kUsers:
      return users_;
    case Root::kDynData:
      return dynData_;
    case Root::kClassesRoot: {
      std::uint32_t id = FindPath(localMachine_, "SOFTWARE\\Classes");
      return id != kNoNode ? id : empty_;
    }
    case Root::kCurrentUser: {
      std::uint32_t id = FindChild(users_, ".DEFAULT");
      return id != kNoNode ? id : empty_;
    }
    case Root::kCurrentConfig: {
      std::string_view config = CurrentConfigName(*this, localMachine_);
      std::uint32_t parent = FindChild(localMachine_, "Config");
      std::uint32_t id = config.empty() || parent == kNoNode ? kNoNode : FindChild(parent, config);
      return id != kNoNode ? id : empty_;
    }
  }
  return empty_;
}

}  // namespace store
