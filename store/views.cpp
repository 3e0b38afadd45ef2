// The roots a running Windows 9x system shows beside its two stored trees:
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes,
// HKEY_CURRENT_USER is HKEY_USERS\.DEFAULT, and HKEY_CURRENT_CONFIG is
// HKEY_LOCAL_MACHINE\Config\NNNN for the current hardware profile;
// HKEY_DYN_DATA is an empty key.
#include "store/store.h"

namespace store {

namespace {

constexpr std::string_view kConfigDbPath = "System\\CurrentControlSet\\Control\\IDConfigDB";

// The configuration HKEY_CURRENT_CONFIG shows: the CurrentConfig string,
// without the terminator a hive may or may not have stored.
std::string_view CurrentConfigName(Registry& reg, std::uint32_t localMachine) {
  std::uint32_t db = reg.FindPath(localMachine, kConfigDbPath);
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
    case Root::kClassesRoot:
      return Shown(FindPath(localMachine_, "SOFTWARE\\Classes"));
    case Root::kCurrentUser:
      return Shown(FindChild(users_, ".DEFAULT"));
    case Root::kCurrentConfig: {
      std::string_view config = CurrentConfigName(*this, localMachine_);
      std::uint32_t parent = FindChild(localMachine_, "Config");
      return Shown(config.empty() || parent == kNoNode ? kNoNode : FindChild(parent, config));
    }
  }
  return empty_;
}

std::uint32_t Registry::Shown(std::uint32_t id) const {
  // A damaged key stands in the index under its name, but a view shows it
  // as an empty key: its damage is met through ViewDamage.
  return id == kNoNode || OwnDamage(id) != 0 ? empty_ : id;
}

std::uint32_t Registry::ViewDamage(Root root) {
  std::string chooser;
  std::string target = ViewTarget(root, &chooser);
  for (const std::string& path : {chooser, target}) {
    std::size_t cut = path.find('\\');
    if (cut == std::string::npos) continue;
    std::uint32_t at = root == Root::kCurrentUser ? users_ : localMachine_;
    bool whole = ForEachSegment(std::string_view(path).substr(cut + 1), lead_, [&](std::string_view name) {
      std::uint32_t child = FindChild(at, name);
      if (child == kNoNode) {
        for (std::uint32_t d = DamagedSubkeys(at); d != 0; d = damages_[d].next) {
          if (nodes_[damages_[d].node].name.empty()) {
            at = damages_[d].node;
            return false;
          }
        }
      }
      at = child;
      return child != kNoNode && OwnDamage(child) == 0;
    });
    if (!whole && at != kNoNode && OwnDamage(at) != 0) return OwnDamage(at);
  }
  return 0;
}

std::string Registry::ViewTarget(Root root, std::string* chooser) {
  if (chooser != nullptr) chooser->clear();
  std::string machine = PathOf(localMachine_);
  switch (root) {
    case Root::kClassesRoot:
      return machine + "\\SOFTWARE\\Classes";
    case Root::kCurrentUser:
      return PathOf(users_) + "\\.DEFAULT";
    case Root::kCurrentConfig: {
      if (chooser != nullptr) *chooser = machine + '\\' + std::string(kConfigDbPath);
      std::string_view config = CurrentConfigName(*this, localMachine_);
      return config.empty() ? std::string() : machine + "\\Config\\" + std::string(config);
    }
    default:
      return {};
  }
}

}  // namespace store
