// The keys of a registry by id, and what the store keeps of each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace store {

inline constexpr std::uint32_t kNoNode = 0xFFFFFFFFU;

// A key. Its subkeys and values may still wait in a lazy source (a hive
// that decodes a key the first time a call needs it): read them through
// Registry::Subkeys and Registry::Values, which decode first.
struct Node {
  std::string_view name;
  std::uint32_t parent = kNoNode;
  // 1 + index of the newest of its damaged subkeys' records (a list
  // through Damage::next); 0: none. A damaged key's own record is kept in
  // the damage table.
  std::uint32_t damagedSubkeys = 0;
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

}  // namespace store
