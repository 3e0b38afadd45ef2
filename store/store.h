// store/ owns the in-memory, read-only registry behind winreg.h and its
// Win32 call contracts: the key tree (keys with 8-bit names, values and
// subkeys in the order their source gave, never sorted), the handle table
// with generations, the Windows 9x views (HKEY_CLASSES_ROOT,
// HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG), the records of damaged keys,
// and the interface through which a lazy source decodes keys on demand.
// Loaders (hive/, regfile/) fill a Registry and install it (store/api.h);
// from then on it does not change. Lookups by name fold a-z only, as
// Windows does. It knows no file format, no charset conversion and no
// environment.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/arena.h"
#include "store/damage.h"
#include "store/lazy_source.h"
#include "store/lead_bytes.h"
#include "store/node_table.h"
#include "store/value.h"
#include "winreg/winreg.h"

namespace store {

// The store's own work in units of one probe or one entry scanned; read
// through StoreSteps() in store_testing.h.
extern std::uint64_t g_storeSteps;

// Registry names compare as Windows compares them: a-z folded to A-Z, every
// other byte as it is.
bool SameName(std::string_view a, std::string_view b);
// A name as such comparisons see it: a-z turned to A-Z, for keys of maps.
inline std::string FoldedName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  }
  return folded;
}

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
  // Where a view's keys are stored: the path of the key it shows
  // ("HKEY_LOCAL_MACHINE\SOFTWARE\Classes"), whether or not that key is
  // there; empty for a stored root, and for HKEY_CURRENT_CONFIG where the
  // current hardware profile is not recorded. *chooser: the path of the
  // key whose value chooses what the view shows, where one does (then a
  // chooser lost to damage hides the whole view); empty otherwise.
  std::string ViewTarget(Root root, std::string* chooser = nullptr);
  // The damage record of what hides a view's key (a key on the way to it,
  // or to its chooser, that cannot be read; a nameless damaged subkey where
  // the next name is missing), or 0: the view then shows an empty key, and
  // the damage is met when the view is read.
  std::uint32_t ViewDamage(Root root);

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
  // The number of a key's own damage record, or 0. An intact key costs
  // one test of a flag.
  std::uint32_t OwnDamage(std::uint32_t id) const {
    return (nodes_[id].flags & kDamagedKey) != 0 ? damages_.OwnOf(id) : 0;
  }
  // The number of the newest damaged subkey's record (a list through
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

  Damage& DamageRecord(std::uint32_t number) { return damages_[number]; }
  std::size_t DamageCount() const { return damages_.size(); }

  // Copies bytes into storage that lives as long as the registry.
  std::string_view Keep(std::string_view bytes) { return arena_.Keep(bytes); }

  // The full path text of a key, for messages and tests.
  std::string PathOf(std::uint32_t id) const;

  // The codepage of the registry's text, for whoever prints it; 0: keep
  // the stored bytes as they are. A fallback, where set, is to be taken
  // instead should this system not convert the codepage: finding that out
  // loads a conversion that most runs never use, so whoever first needs
  // the codepage decides (sources/codepage.h) and settles it here.
  void SetCodepage(int codepage, int fallback = 0) {
    codepage_ = codepage;
    fallback_ = fallback;
  }
  int Codepage() const { return codepage_; }
  int FallbackCodepage() const { return fallback_; }

  // The lead bytes of the registry's codepage, where it is a double-byte
  // one: key paths are split into names past them. Set before loading.
  void SetLeadBytes(const LeadBytes& lead) { lead_ = lead; }
  const LeadBytes& leadBytes() const { return lead_; }

  // Drops what later sources removed (keys, values), so that index order
  // counts only what is there. Installing a registry does it.
  void Compact();

  // What a source left out or changed that no key records (a .reg file's
  // lines Windows skips), as messages for whoever reports them; leftOut
  // says the registry lacks something its sources hold.
  void AddLoadNote(std::string message, bool leftOut) {
    loadNotes_.push_back(std::move(message));
    somethingLeftOut_ = somethingLeftOut_ || leftOut;
  }
  const std::vector<std::string>& LoadNotes() const { return loadNotes_; }
  bool SomethingLeftOut() const { return somethingLeftOut_; }

 private:
  std::uint32_t NewNode(std::uint32_t parent, std::string_view name);
  // What a view shows of the key it found: empty_ for none or a damaged one.
  std::uint32_t Shown(std::uint32_t id) const;
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
  DamageTable damages_;
  std::vector<std::string> loadNotes_;
  bool somethingLeftOut_ = false;
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
  LeadBytes lead_;
  Arena arena_;
  std::uint32_t localMachine_, users_, dynData_, empty_;
};



}  // namespace store
