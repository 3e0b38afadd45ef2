// One registry's keys as --diff keeps them: the keys a pattern selects, in
// walk order, as a tree of names (a key knows its parent among the selected
// keys, not its whole path), so that a deep tree costs its names once, not
// each path again; paths are built only for what is printed or looked up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "store/lead_bytes.h"
#include "tools/regwalk/common.h"
#include "winreg/winreg.h"

namespace tools::regwalk {

inline constexpr std::uint32_t kNoKey = 0xFFFFFFFFU;

struct SnapshotKey {
  // Its own name below a selected parent; for a key whose parent the
  // pattern does not select (a top key), its whole path.
  std::string name;
  std::uint32_t parent = kNoKey;  // kNoKey: a top key
  std::vector<KeptValue> values;  // in index order
};

class Snapshot {
 public:
  explicit Snapshot(const store::LeadBytes& lead) : lead_(lead) {}
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  // Takes a key the walk visits (pre-order, as the walker goes) with its
  // values. The chain of selected keys above it tells its parent.
  void Add(std::string_view path, std::vector<KeptValue> values);
  // Notes a damaged key met: its path, or a parent's path and '\' for a
  // key whose name could not be read.
  void AddDamage(std::string_view path);

  std::size_t size() const { return keys_.size(); }
  const SnapshotKey& key(std::uint32_t id) const { return keys_[id]; }
  // The key of that name below parent (kNoKey: a top key of that path),
  // names compared as Windows compares them; kNoKey where there is none.
  std::uint32_t Find(std::uint32_t parent, std::string_view name) const;
  // The key's whole path, built now.
  std::string Path(std::uint32_t id) const;
  // Whether a key of this path may be missing only because it could not be
  // read: it, or a key above it, was damaged, or a key above it lost a
  // subkey whose name is unknown. Costs the path's depth in look-ups.
  bool MayHideDamage(std::string_view path) const;
  bool damaged() const { return !damagedKeys_.empty() || !damagedParents_.empty(); }

  int codepage = 0;
  bool incomplete = false;

 private:
  struct Name {
    std::uint32_t parent;
    std::string_view name;  // into the key's own, which the deque keeps in place
  };
  struct NameHash {
    std::size_t operator()(const Name& n) const;
  };
  struct SameKey {
    bool operator()(const Name& a, const Name& b) const;
  };

  store::LeadBytes lead_;
  std::deque<SnapshotKey> keys_;
  std::unordered_map<Name, std::uint32_t, NameHash, SameKey> index_;
  // The walk's chain of selected keys above the last one taken: each key
  // and the length of its path, a prefix of lastPath_.
  std::vector<std::pair<std::uint32_t, std::size_t>> chain_;
  std::string lastPath_;
  std::unordered_set<std::string> damagedKeys_;     // folded paths
  std::unordered_set<std::string> damagedParents_;  // folded paths of keys that lost a nameless subkey
};

}  // namespace tools::regwalk
