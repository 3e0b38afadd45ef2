// The read-only registry store served through winreg.h off Windows.
//
// One tree of keys. A key has an 8-bit name, its values in index order and
// its subkeys in index order; index order is the order the source gave, never
// sorted. Loaders fill a Registry and install it; from then on it does not
// change. Lookups by name fold a-z only, as Windows does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "winreg/winreg.h"

namespace regstore {

inline constexpr std::uint32_t kNoNode = 0xFFFFFFFFU;

// Registry names compare as Windows compares them: a-z folded to A-Z, every
// other byte as it is.
bool SameName(std::string_view a, std::string_view b);

// Deeper nesting than Windows 9x ever writes. Loaders refuse it, so that a
// walk's recursion, one level per key, stays bounded.
inline constexpr int kMaxKeyDepth = 512;

struct Value {
  std::string_view name;  // empty: the key's default value
  std::string_view data;  // as the source stored it
  std::uint32_t type = 0;
};

struct Node {
  std::string_view name;
  std::uint32_t parent = kNoNode;
  std::uint32_t nameHash = 0;
  std::uint32_t damage = 0;  // nonzero: 1 + index of its damage record
  std::vector<std::uint32_t> children;
  std::vector<Value> values;
};

// Something wrong inside one key of a source file. Calls on that key fail
// with ERROR_BADDB; the rest of the registry stays readable.
struct Damage {
  std::string file;
  std::uint64_t offset = 0;
  std::string what;
  bool reported = false;
};

// The predefined roots, in the order of their handle values' low bits.
enum class Root : std::uint32_t {
  kClassesRoot = 0,
  kCurrentUser = 1,
  kLocalMachine = 2,
  kUsers = 3,
  kCurrentConfig = 5,
  kDynData = 6,
};

class Registry {
 public:
  Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The node a predefined root shows. HKEY_CLASSES_ROOT, HKEY_CURRENT_USER
  // and HKEY_CURRENT_CONFIG are views into the two stored trees, as on a
  // running Windows 9x system; with create, a missing target is made (a
  // loader writing through the view), otherwise it shows as an empty key.
  std::uint32_t RootNode(Root root, bool create = false);
  std::uint32_t RootNode(Root root) const;

  const Node& node(std::uint32_t id) const { return nodes_[id]; }
  std::size_t NodeCount() const { return nodes_.size(); }

  std::uint32_t FindChild(std::uint32_t parent, std::string_view name) const;
  // Follows a relative path of backslash-separated names.
  std::uint32_t FindPath(std::uint32_t from, std::string_view path) const;
  // Appends a subkey. The name must stay valid as long as the registry
  // (it comes from Keep or from a buffer handed to KeepBuffer).
  std::uint32_t AddChild(std::uint32_t parent, std::string_view name);
  std::uint32_t FindOrAddChild(std::uint32_t parent, std::string_view name);
  // Unlinks a key and its whole subtree.
  void RemoveSubtree(std::uint32_t id);

  // Replaces the value of that name, or appends it. Name and data must stay
  // valid as long as the registry.
  void SetValue(std::uint32_t id, std::string_view name, std::uint32_t type,
                std::string_view data);
  void AppendValue(std::uint32_t id, std::string_view name, std::uint32_t type,
                   std::string_view data) {
    nodes_[id].values.push_back(Value{name, data, type});
  }
  void DeleteValue(std::uint32_t id, std::string_view name);

  std::uint32_t AddDamage(std::string file, std::uint64_t offset, std::string what);
  void MarkDamaged(std::uint32_t id, std::uint32_t damage) { nodes_[id].damage = damage; }
  Damage& damage(std::uint32_t damage) { return damages_[damage - 1]; }

  // Copies bytes into storage that lives as long as the registry.
  std::string_view Keep(std::string_view bytes);
  // Keeps a whole buffer (a file image) alive as long as the registry.
  void KeepBuffer(std::unique_ptr<char[]> buffer) { buffers_.push_back(std::move(buffer)); }
  void ReserveNodes(std::size_t n) { nodes_.reserve(n); }

  // The full path text of a key, for messages and tests.
  std::string PathOf(std::uint32_t id) const;

 private:
  std::uint32_t NewNode(std::uint32_t parent, std::string_view name);
  std::uint32_t ViewTarget(Root root, bool create);
  void IndexInsert(std::uint32_t id);
  void IndexErase(std::uint32_t id);
  void IndexGrow();

  std::vector<Node> nodes_;
  std::vector<Damage> damages_;
  std::vector<std::uint32_t> index_;  // open addressing over node ids
  std::size_t indexUsed_ = 0;         // live entries plus tombstones
  std::vector<std::unique_ptr<char[]>> buffers_;
  char* arenaNext_ = nullptr;
  std::size_t arenaLeft_ = 0;
  std::uint32_t localMachine_, users_, dynData_, empty_;
};

// Whether a value's data is handed out with a NUL added (string types whose
// stored data does not end with one), and the size then reported.
bool AddsTerminator(const Value& value);
inline std::uint32_t ServedSize(const Value& value) {
  return static_cast<std::uint32_t>(value.data.size()) + (AddsTerminator(value) ? 1U : 0U);
}

// The registry that winreg.h serves. Installing replaces the previous one
// and invalidates every handle opened on it.
void InstallRegistry(std::unique_ptr<Registry> registry);
Registry& InstalledRegistry();

// Called the first time a call meets each damaged key.
using DamageReporter = void (*)(const Damage& damage);
void SetDamageReporter(DamageReporter reporter);

// Test hooks. Every call of winreg.h but RegCloseKey is counted; after
// FailRegistryCall(n, code) the nth counted call from then on fails with
// code and does nothing else (n = 0 lifts the fault).
void FailRegistryCall(std::uint64_t n, LONG code);
std::uint64_t RegistryCallCount();
std::size_t OpenHandleCount();

struct CallRecord {
  std::string function;
  std::uint32_t node;  // kNoNode for an unknown handle
  std::string name;    // subkey or value name, where the call takes one
  LONG result;
};
// Records every counted call into sink (null stops recording).
void TraceRegistryCalls(std::vector<CallRecord>* sink);

}  // namespace regstore
