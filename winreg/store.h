// The read-only registry store served through winreg.h off Windows.
//
// One tree of keys. A key has an 8-bit name, its values in index order and
// its subkeys in index order; index order is the order the source gave, never
// sorted. Loaders fill a Registry and install it; from then on it does not
// change. Lookups by name fold a-z only, as Windows does.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "winreg/winreg.h"

namespace regstore {

inline constexpr std::uint32_t kNoNode = 0xFFFFFFFFU;

// The store's own work in units of one probe or one entry scanned; read
// through StoreSteps() in store_testing.h.
extern std::uint64_t g_storeSteps;

// Registry names compare as Windows compares them: a-z folded to A-Z, every
// other byte as it is.
bool SameName(std::string_view a, std::string_view b);

// Deeper nesting than Windows 9x ever writes. Loaders refuse it, so that a
// walk's recursion, one level per key, stays bounded.
inline constexpr int kMaxKeyDepth = 512;

// The longest key and value names Windows 95, 98 and Me accept: 255
// characters each (Microsoft, "Registry Element Size Limits", whose
// Windows Me/98/95 row gives 255 for value names too). Longer ones are
// damage in a hive and an error in a .reg file; the bound also keeps a
// walk's path buffers, one per level, small.
inline constexpr std::size_t kMaxKeyNameBytes = 255;
inline constexpr std::size_t kMaxValueNameBytes = 255;

struct Value {
  std::string_view name;  // empty: the key's default value
  std::string_view data;  // as the source stored it
  std::uint32_t type = 0;
  bool removed = false;  // deleted by a later source; gone once installed
};

// A key. Its subkeys and values may still wait in a lazy source (a hive
// that decodes a key the first time a call needs it): read them through
// Registry::Subkeys and Registry::Values, which decode first.
struct Node {
  std::string_view name;
  std::uint32_t parent = kNoNode;
  // A damaged key: 1 + index of its own damage record. An intact one: 1 +
  // index of its first damaged subkey's record. 0: none.
  std::uint32_t damage = 0;
  std::uint32_t lazyKey = 0;     // the lazy source's own reference to this key
  // 1 + index of the list of values the registry keeps for it; 0: none.
  // Kept aside, as most keys of a walked hive never keep theirs.
  std::uint32_t values = 0;
  std::uint16_t lazySource = 0;  // 1 + index of that source; 0: none
  std::uint8_t flags = 0;        // the k... flags below
  std::vector<std::uint32_t> children;  // intact subkeys only, in index order
};

inline constexpr std::uint8_t kDamagedKey = 1;
inline constexpr std::uint8_t kSubkeysPending = 2;
inline constexpr std::uint8_t kValuesPending = 4;
inline constexpr std::uint8_t kValuesIndexed = 8;  // its values are in the registry's value index
inline constexpr std::uint8_t kNameIndexed = 16;   // the index finds it: first of its name among its siblings
inline constexpr std::uint8_t kValuesLent = 32;    // its pending values were lent out once

// The keys by id, in blocks that never move: adding a key copies none, and
// a growing registry never holds two copies of its keys.
class NodeTable {
 public:
  Node& operator[](std::uint32_t id) { return blocks_[id >> kShift][id & kMask]; }
  const Node& operator[](std::uint32_t id) const { return blocks_[id >> kShift][id & kMask]; }
  std::size_t size() const { return size_; }
  Node& emplace_back() {
    if ((size_ & kMask) == 0) blocks_.push_back(std::make_unique<Node[]>(kMask + 1));
    return (*this)[static_cast<std::uint32_t>(size_++)];
  }

 private:
  static constexpr unsigned kShift = 10;
  static constexpr std::size_t kMask = (std::size_t{1} << kShift) - 1;
  std::vector<std::unique_ptr<Node[]>> blocks_;
  std::size_t size_ = 0;
};

class Registry;

// A source that hands a key's subkeys and values to the registry the first
// time a call needs them. The store asks for a key's subkeys once, and for
// its values at most three times.
class LazySource {
 public:
  virtual ~LazySource() = default;
  // Adds the subkeys of id with AddLazyChild or AddDamagedChild.
  virtual void DecodeSubkeys(Registry& reg, std::uint32_t id, std::uint32_t key) = 0;
  // Appends the values of id to into, in index order.
  virtual void DecodeValues(Registry& reg, std::uint32_t id, std::uint32_t key, std::vector<Value>& into) = 0;
};

// A key of a source file that cannot be read. It is not among its parent's
// subkeys: enumeration skips it, so that everything intact around it stays
// reachable, and it is reported when its parent's subkeys are listed, or
// when it is opened by name (ERROR_BADDB).
struct Damage {
  std::string file;
  std::uint64_t offset = 0;
  std::string what;
  std::uint32_t node = kNoNode;  // the damaged key
  std::uint32_t next = 0;        // 1 + index of the next damaged sibling's record
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

  // A key as it stands, its subkeys and values perhaps not yet decoded.
  const Node& node(std::uint32_t id) const { return nodes_[id]; }
  std::size_t NodeCount() const { return nodes_.size(); }
  // A key's intact subkeys, decoded first where a lazy source still holds
  // them; the reference stays valid until the next call that may decode or
  // add keys.
  const std::vector<std::uint32_t>& Subkeys(std::uint32_t id) {
    DecodeSubkeys(id);
    return nodes_[id].children;
  }
  // A key's values. Those a lazy source still holds are decoded into a
  // list the registry lends, valid until the next call that reads another
  // key's values or changes the registry.
  const std::vector<Value>& Values(std::uint32_t id) {
    if ((nodes_[id].flags & kValuesPending) == 0) return KeptValues(id);
    return id == lentKey_ ? lentValues_ : LendValues(id);
  }
  // 1 + index of a key's own damage record, or 0.
  std::uint32_t OwnDamage(std::uint32_t id) const {
    return (nodes_[id].flags & kDamagedKey) != 0 ? nodes_[id].damage : 0;
  }
  // 1 + index of the newest damaged subkey's record (a list through
  // Damage::next), or 0; decodes the subkeys first.
  std::uint32_t DamagedSubkeys(std::uint32_t id);

  // The subkey of that name; with siblings of the same name, the first.
  std::uint32_t FindChild(std::uint32_t parent, std::string_view name);
  // The same, where the caller knows a likely answer (the subkey it listed
  // last): taken without a look-up when it is the one the look-up gives.
  std::uint32_t FindChild(std::uint32_t parent, std::string_view name, std::uint32_t likely) {
    if (likely < nodes_.size()) {
      const Node& n = nodes_[likely];
      if (n.parent == parent && (n.flags & kNameIndexed) != 0 && n.name == name) return likely;
    }
    return FindChild(parent, name);
  }
  // Follows a relative path of backslash-separated names.
  std::uint32_t FindPath(std::uint32_t from, std::string_view path);
  // Appends a subkey. The name must stay valid as long as the registry
  // (it comes from Keep, or from bytes a lazy source keeps).
  std::uint32_t AddChild(std::uint32_t parent, std::string_view name);
  std::uint32_t FindOrAddChild(std::uint32_t parent, std::string_view name);
  // Records a subkey that cannot be read (name empty when unknown). It stays
  // out of the parent's subkeys; returns its node.
  std::uint32_t AddDamagedChild(std::uint32_t parent, std::string_view name, std::string file,
                                std::uint64_t offset, std::string what);
  // Hands a lazy source to the registry, which keeps it as long as itself;
  // returns the number AttachLazy and AddLazyChild take.
  std::uint16_t AddSource(std::unique_ptr<LazySource> source);
  // Leaves a key's subkeys (and with values, its values) to a source.
  void AttachLazy(std::uint32_t id, std::uint16_t source, std::uint32_t key, bool values);
  // Appends a subkey whose subkeys and values a source decodes later.
  std::uint32_t AddLazyChild(std::uint32_t parent, std::string_view name, std::uint16_t source,
                             std::uint32_t key, std::uint8_t pending);
  // Decodes every key still held by a lazy source, depth first.
  void DecodeAll();
  // Unlinks a key and its whole subtree.
  void RemoveSubtree(std::uint32_t id);

  // Replaces the value of that name, or appends it. Name and data must stay
  // valid as long as the registry.
  void SetValue(std::uint32_t id, std::string_view name, std::uint32_t type,
                std::string_view data);
  void AppendValue(std::uint32_t id, std::string_view name, std::uint32_t type,
                   std::string_view data);
  void DeleteValue(std::uint32_t id, std::string_view name);
  const Value* FindValue(std::uint32_t id, std::string_view name);

  Damage& damage(std::uint32_t damage) { return damages_[damage - 1]; }
  std::size_t DamageCount() const { return damages_.size(); }

  // Copies bytes into storage that lives as long as the registry.
  std::string_view Keep(std::string_view bytes);

  // The full path text of a key, for messages and tests.
  std::string PathOf(std::uint32_t id) const;

  // The codepage of the registry's text, for whoever prints it; 0: keep
  // the stored bytes as they are. With a fallback, the codepage holds only
  // where this system converts it, the fallback elsewhere; that is found
  // out when the codepage is first asked for, as finding out loads a
  // conversion that most runs never use.
  void SetCodepage(int codepage, int fallback = 0) {
    codepage_ = codepage;
    fallback_ = fallback;
  }
  int Codepage();

  // Drops what later sources removed (keys, values), so that index order
  // counts only what is there. Installing a registry does it.
  void Compact();

 private:
  std::uint32_t NewNode(std::uint32_t parent, std::string_view name);
  // Every call that reads a key asks these first; what is already decoded
  // costs one test of a flag.
  void DecodeSubkeys(std::uint32_t id) {
    if ((nodes_[id].flags & kSubkeysPending) != 0) DecodeSubkeysNow(id);
  }
  // Keeps a key's values with it for good: before they change, and before
  // they are indexed.
  void DecodeValues(std::uint32_t id) {
    if ((nodes_[id].flags & kValuesPending) != 0) DecodeValuesNow(id);
  }
  void DecodeSubkeysNow(std::uint32_t id);
  void DecodeValuesNow(std::uint32_t id);
  const std::vector<Value>& LendValues(std::uint32_t id);
  const std::vector<Value>& KeptValues(std::uint32_t id) const {
    return nodes_[id].values == 0 ? noValues_ : valueLists_[nodes_[id].values - 1];
  }
  // The list a key keeps, made when it has none.
  std::vector<Value>& ValuesToChange(std::uint32_t id);
  // Inserts unless a sibling of the same name is there; false then.
  bool IndexInsertUnique(std::uint32_t id);
  void IndexErase(std::uint32_t id);
  void IndexGrow();
  std::size_t ValueSlot(std::uint32_t id, std::string_view name) const;
  std::size_t ValuePosition(std::uint32_t id, std::string_view name);
  void ValueIndexInsert(std::uint32_t id, std::uint32_t position);
  void ValueIndexGrow();

  NodeTable nodes_;
  std::vector<Damage> damages_;
  std::vector<std::unique_ptr<LazySource>> sources_;
  // Open addressing over node ids, one entry per (parent, folded name):
  // siblings of the same name and unnamed damaged keys are left out, so
  // that no chain grows with them.
  struct IndexEntry {
    std::uint32_t id;
    std::uint32_t tag;  // KeyTag of its parent and name
  };
  std::vector<IndexEntry> index_;
  std::size_t indexUsed_ = 0;  // live entries plus tombstones
  // Values by (key, folded name), for keys with more values than a scan
  // costs; entries are (key << 32 | position) + 1, 0 when empty.
  std::vector<std::uint64_t> valueIndex_;
  std::size_t valueIndexUsed_ = 0;
  std::vector<std::uint32_t> shrunk_;  // keys that lost subkeys or values
  // The lists of values keys keep: a deque, so that a list stays where it
  // is while others are added.
  std::deque<std::vector<Value>> valueLists_;
  const std::vector<Value> noValues_;
  std::vector<Value> lentValues_;      // the pending values of lentKey_
  std::uint32_t lentKey_ = kNoNode;
  int codepage_ = 0;
  int fallback_ = 0;
  std::vector<std::unique_ptr<char[]>> buffers_;
  char* arenaNext_ = nullptr;
  std::size_t arenaLeft_ = 0;
  std::uint32_t localMachine_, users_, dynData_, empty_;
};

// Whether a value's data is handed out with a NUL added (string types whose
// stored data does not end with one), and the size then reported.
inline bool AddsTerminator(const Value& value) {
  bool isString = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
  return isString && (value.data.empty() || value.data.back() != '\0');
}
inline std::uint32_t ServedSize(const Value& value) {
  return static_cast<std::uint32_t>(value.data.size()) + (AddsTerminator(value) ? 1U : 0U);
}

// The registry that winreg.h serves. Installing replaces the previous one
// and invalidates every handle opened on it, for good: no later handle
// equals one of them.
void InstallRegistry(std::unique_ptr<Registry> registry);
Registry& InstalledRegistry();

// Called the first time a call meets each damaged key, with the key's path
// as far as it is known: its own, or for a key whose name cannot be read,
// its parent's path followed by a backslash.
using DamageReporter = void (*)(const Damage& damage, const std::string& path);
void SetDamageReporter(DamageReporter reporter);

}  // namespace regstore
