// What --diff keeps of the old registry: the keys a pattern selects, in
// walk order, as a tree of names (a key knows its parent among the selected
// keys, not its whole path), names and values packed into one arena, and
// found by (parent, name) through one open-addressed table. A deep tree
// costs its names once, not each path again; paths are built only for what
// is printed. The new registry is compared while it is walked and kept in
// no snapshot at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "store/lead_bytes.h"
#include "tools/regwalk/common.h"

namespace tools::regwalk {

inline constexpr std::uint32_t kNoKey = 0xFFFFFFFFU;

// The views of one registry (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,
// HKEY_CURRENT_CONFIG) and where the keys they show are stored.
class Views {
 public:
  // Those of the installed registry.
  static Views OfInstalled();
  // Whether path names a key through a view: then *stored is its stored
  // path (empty where the view shows nothing chosen) and *chooser the key
  // that chooses what the view shows (or empty).
  bool Through(std::string_view path, std::string* stored, std::string_view* chooser) const;
  // Whether path lies in what a view shows, and that view is walked after
  // its stored tree (HKEY_CURRENT_CONFIG after HKEY_LOCAL_MACHINE; the
  // walker enters the other two only where a pattern names them alone).
  bool ShownLater(std::string_view path) const;

 private:
  struct View {
    std::string_view root;
    std::string target;
    std::string chooser;
    bool walkedLater;
  };
  std::vector<View> views_;
};

// Which keys a registry could not read, looked up by a key's ancestors.
// A key named through a view carries the damage of the tree the view
// shows.
class DamageSet {
 public:
  explicit DamageSet(const store::LeadBytes& lead) : lead_(lead) {}
  void SetViews(Views views) { views_ = std::move(views); }
  // A damaged key's path, or a parent's path and '\' for a key whose name
  // could not be read.
  void Add(std::string_view path);
  // Whether a key of this path may be missing only because it could not be
  // read: it, or a key above it, was damaged, or a key above it lost a
  // subkey whose name is unknown. Costs the path's depth in look-ups.
  bool MayHide(std::string_view path) const;

 private:
  bool MayHideStored(std::string_view path) const;

  store::LeadBytes lead_;
  Views views_;
  std::unordered_set<std::string> keys_;     // folded paths
  std::unordered_set<std::string> parents_;  // folded paths of keys that lost a nameless subkey
};

// Tells each visited key's parent among the visited ones. The walk goes
// depth first, a key before the keys below it, and the pattern selects
// every key below one it selects: a visited key's parent is visited, or
// none of its ancestors is.
template <typename Id>
class WalkChain {
 public:
  explicit WalkChain(const store::LeadBytes& lead) : lead_(lead) {}
  // Where the key at path lies: true with *parent where its parent was
  // visited, and *name its name below it; false for a key without one,
  // *name then its whole path. Then Take the key.
  bool Locate(std::string_view path, Id* parent, std::string_view* name) {
    while (!chain_.empty()) {
      std::size_t length = chain_.back().second;
      if (path.size() > length && path[length] == '\\' && path.compare(0, length, last_, 0, length) == 0) break;
      chain_.pop_back();
    }
    *name = path;
    if (chain_.empty()) return false;
    std::string_view rest = path.substr(chain_.back().second + 1);
    if (store::FindSeparator(rest, lead_) != std::string_view::npos) return false;
    *parent = chain_.back().first;
    *name = rest;
    return true;
  }
  // Takes the key just located into the chain, as id.
  void Take(std::string_view path, Id id) {
    chain_.emplace_back(id, path.size());
    last_.assign(path);
  }

 private:
  store::LeadBytes lead_;
  std::vector<std::pair<Id, std::size_t>> chain_;  // each key, and its path's length: a prefix of last_
  std::string last_;
};

class Snapshot {
 public:
  explicit Snapshot(const store::LeadBytes& lead) : damage(lead), chain_(lead) {}
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  // Takes a key the walk visits, in walk order, with its values as the
  // value walk hands them over, last first, each copied once: AddKey, then
  // AddValue for each, then EndValues.
  void AddKey(std::string_view path);
  void AddValue(std::string_view name, std::uint32_t type, std::string_view data);
  void EndValues();

  std::uint32_t size() const { return static_cast<std::uint32_t>(keys_.size()); }
  std::uint32_t Parent(std::uint32_t id) const { return keys_[id].parent; }
  // Its own name (its whole path for a top key).
  std::string_view NameOf(std::uint32_t id) const { return Name(keys_[id]); }
  // The key of that name below parent (kNoKey: a top key of that path),
  // names compared as Windows compares them; kNoKey where there is none.
  // likely is the key the caller expects (the one after the last it
  // found: two walks of like registries meet their keys in one order),
  // taken without a look-up where it is the one; the table of names is
  // built the first time a look-up is needed, whole.
  std::uint32_t Find(std::uint32_t parent, std::string_view name, std::uint32_t likely = kNoKey) const;
  // The key's whole path, built now.
  std::string Path(std::uint32_t id) const;
  // Whether the key holds exactly these values, in this order.
  bool Holds(std::uint32_t id, const std::vector<KeptValue>& values) const;
  // The key's values, unpacked.
  std::vector<KeptValue> Values(std::uint32_t id) const;

  DamageSet damage;
  int codepage = 0;
  bool incomplete = false;

 private:
  struct Key {
    const char* name;  // in the arena
    std::uint64_t hash;
    std::uint32_t parent;
    std::uint32_t nameLength;
    std::uint32_t firstValue;
    std::uint32_t valueCount;
  };
  struct Value {
    const char* name;  // in the arena, the data right after it
    std::uint32_t type;
    std::uint32_t nameLength;
    std::uint32_t dataLength;
  };

  static std::string_view Name(const Key& key) { return {key.name, key.nameLength}; }
  static std::uint64_t Hash(std::uint32_t parent, std::string_view name);
  // Copies bytes into the arena, which never moves what it holds: it grows
  // by blocks, not by copying.
  const char* Keep(std::string_view a, std::string_view b = {});
  void Index(std::uint32_t id) const;

  WalkChain<std::uint32_t> chain_;
  std::vector<Key> keys_;
  std::vector<Value> values_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t room_ = 0;  // left in the last block
  char* free_ = nullptr;
  mutable std::vector<std::uint32_t> slots_;  // open-addressed, by Hash; kNoKey: empty
};

}  // namespace tools::regwalk
