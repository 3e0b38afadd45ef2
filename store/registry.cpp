#include <algorithm>
#include <cstring>
#include <utility>

#include "store/store.h"

namespace store {

std::uint64_t g_storeSteps = 0;
std::uint64_t StoreSteps() { return g_storeSteps; }

namespace {

constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFU;
constexpr std::uint32_t kTombstone = 0xFFFFFFFEU;
constexpr std::uint64_t kValueEmpty = 0;
constexpr std::uint64_t kValueTombstone = ~std::uint64_t{0};
// Up to this many values a scan is cheaper than a hash; beyond it a key's
// values are indexed, so that a key with many values costs linear time.
constexpr std::size_t kScannedValues = 8;
constexpr std::size_t kNoValue = ~std::size_t{0};

// Up to eight bytes of a name as one word, zeros past its end.
std::uint64_t Word(const char* bytes, std::size_t n) {
  std::uint64_t w = 0;
  if (n >= 8) {
    std::memcpy(&w, bytes, 8);
    return w;
  }
  for (std::size_t i = 0; i < n; ++i) w |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
  return w;
}

// a-z folded to A-Z in eight bytes at once; every other byte as it is.
std::uint64_t FoldWord(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::uint64_t low = w & ~kHigh;  // no byte carries into the next below
  std::uint64_t fromA = low + (0x80 - 'a') * kOnes;
  std::uint64_t pastZ = low + (0x80 - 'z' - 1) * kOnes;
  std::uint64_t lower = fromA & ~pastZ & ~w & kHigh;
  return w - (lower >> 2);  // 0x80 >> 2 is the 0x20 between the cases
}

std::uint32_t FoldedHash(std::string_view name) {
  std::uint64_t h = name.size();
  for (std::size_t i = 0; i < name.size(); i += 8) {
    h = (h ^ FoldWord(Word(name.data() + i, name.size() - i))) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 32;
  }
  return static_cast<std::uint32_t>(h);
}

std::size_t SlotOf(std::uint32_t parent, std::uint32_t nameHash, std::size_t mask) {
  std::uint64_t h = (static_cast<std::uint64_t>(parent) << 32 | nameHash) * 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(h >> 29) & mask;
}

// Where a key's entry goes in the index, and what tells entries apart
// without reading their keys: the high half of a multiplicative hash of
// its parent and folded name, whose low bits are the slot.
std::uint32_t KeyTag(std::uint32_t parent, std::string_view name) {
  std::uint64_t h = (static_cast<std::uint64_t>(parent) << 32 | FoldedHash(name)) * 0x9E3779B97F4A7C15ULL;
  return static_cast<std::uint32_t>(h >> 32);
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); i += 8) {
    std::uint64_t x = Word(a.data() + i, a.size() - i);
    std::uint64_t y = Word(b.data() + i, b.size() - i);
    if (x != y && FoldWord(x) != FoldWord(y)) return false;
  }
  return true;
}

Registry::Registry() {
  index_.assign(64, IndexEntry{kEmptySlot, 0});
  valueIndex_.assign(64, kValueEmpty);
  localMachine_ = NewNode(kNoNode, "HKEY_LOCAL_MACHINE");
  users_ = NewNode(kNoNode, "HKEY_USERS");
  dynData_ = NewNode(kNoNode, "HKEY_DYN_DATA");
  empty_ = NewNode(kNoNode, "");
}

std::uint32_t Registry::NewNode(std::uint32_t parent, std::string_view name) {
  auto id = static_cast<std::uint32_t>(nodes_.size());
  Node& n = nodes_.emplace_back();
  n.name = name;
  n.parent = parent;
  return id;
}

void Registry::DecodeSubkeysNow(std::uint32_t id) {
  Node& n = nodes_[id];
  // Cleared first: the source adds subkeys through calls that check it.
  n.flags &= static_cast<std::uint8_t>(~kSubkeysPending);
  sources_[n.lazySource - 1]->DecodeSubkeys(*this, id, n.lazyKey);
}

void Registry::DecodeValuesNow(std::uint32_t id) {
  Node& n = nodes_[id];
  n.flags &= static_cast<std::uint8_t>(~kValuesPending);
  if (lentKey_ == id) lentKey_ = kNoNode;
  sources_[n.lazySource - 1]->DecodeValues(*this, id, n.lazyKey, ValuesToChange(id));
}

std::vector<Value>& Registry::ValuesToChange(std::uint32_t id) {
  if (nodes_[id].values == 0) {
    valueLists_.emplace_back();
    nodes_[id].values = static_cast<std::uint32_t>(valueLists_.size());
  }
  return valueLists_[nodes_[id].values - 1];
}

// A walk reads each key's values once, in one go: decoded into one list,
// lent and decoded over for the next key, they cost no memory per key. A
// key asked for again after another is kept for good, so that no order of
// calls decodes a key more than three times.
const std::vector<Value>& Registry::LendValues(std::uint32_t id) {
  Node& n = nodes_[id];
  if ((n.flags & kValuesLent) != 0) {
    DecodeValuesNow(id);
    return KeptValues(id);
  }
  n.flags |= kValuesLent;
  lentKey_ = id;
  lentValues_.clear();
  sources_[n.lazySource - 1]->DecodeValues(*this, id, n.lazyKey, lentValues_);
  return lentValues_;
}

std::uint32_t Registry::DamagedSubkeys(std::uint32_t id) {
  DecodeSubkeys(id);
  return nodes_[id].damagedSubkeys;
}

std::uint16_t Registry::AddSource(std::unique_ptr<LazySource> source) {
  sources_.push_back(std::move(source));
  return static_cast<std::uint16_t>(sources_.size());
}

void Registry::AttachLazy(std::uint32_t id, std::uint16_t source, std::uint32_t key, bool values) {
  Node& n = nodes_[id];
  n.lazySource = source;
  n.lazyKey = key;
  n.flags |= values ? kSubkeysPending | kValuesPending : kSubkeysPending;
}

std::uint32_t Registry::AddLazyChild(std::uint32_t parent, std::string_view name, std::uint16_t source,
                                     std::uint32_t key, std::uint8_t pending) {
  std::uint32_t id = AddChild(parent, name);
  Node& n = nodes_[id];
  n.lazySource = source;
  n.lazyKey = key;
  n.flags |= pending;
  return id;
}

void Registry::DecodeAll() {
  // Depth first, subkeys in index order: the order a full walk reads them.
  std::vector<std::uint32_t> pending;
  for (std::uint32_t id = 0; id < nodes_.size(); ++id) {
    if (nodes_[id].parent == kNoNode && (nodes_[id].flags & kDamagedKey) == 0) pending.push_back(id);
  }
  std::reverse(pending.begin(), pending.end());
  while (!pending.empty()) {
    std::uint32_t id = pending.back();
    pending.pop_back();
    DecodeValues(id);
    const std::vector<std::uint32_t>& children = Subkeys(id);
    pending.insert(pending.end(), children.rbegin(), children.rend());
  }
}

void Registry::IndexGrow() {
  std::vector<IndexEntry> old = std::move(index_);
  g_storeSteps += old.size();
  std::size_t live = 0;
  for (const IndexEntry& e : old) live += e.id < kTombstone ? 1 : 0;
  std::size_t capacity = 64;
  while (capacity < live * 4) capacity *= 2;
  index_.assign(capacity, IndexEntry{kEmptySlot, 0});
  indexUsed_ = 0;
  // The tags place the entries again: no key is read, no name hashed.
  std::size_t mask = capacity - 1;
  for (const IndexEntry& e : old) {
    if (e.id >= kTombstone) continue;
    std::size_t i = e.tag & mask;
    while (index_[i].id != kEmptySlot) {
      i = (i + 1) & mask;
      ++g_storeSteps;
    }
    index_[i] = e;
    ++indexUsed_;
  }
}

bool Registry::IndexInsertUnique(std::uint32_t id) {
  if ((indexUsed_ + 1) * 2 > index_.size()) IndexGrow();
  const Node& n = nodes_[id];
  std::uint32_t tag = KeyTag(n.parent, n.name);
  std::size_t mask = index_.size() - 1;
  std::size_t i = tag & mask;
  for (; index_[i].id != kEmptySlot; i = (i + 1) & mask) {
    ++g_storeSteps;
    const IndexEntry& other = index_[i];
    if (other.tag == tag && other.id != kTombstone && nodes_[other.id].parent == n.parent &&
        SameName(nodes_[other.id].name, n.name)) {
      return false;
    }
  }
  index_[i] = IndexEntry{id, tag};
  ++indexUsed_;
  nodes_[id].flags |= kNameIndexed;
  return true;
}

void Registry::IndexErase(std::uint32_t id) {
  const Node& n = nodes_[id];
  std::size_t mask = index_.size() - 1;
  for (std::size_t i = KeyTag(n.parent, n.name) & mask; index_[i].id != kEmptySlot; i = (i + 1) & mask) {
    ++g_storeSteps;
    if (index_[i].id == id) {
      index_[i].id = kTombstone;
      nodes_[id].flags &= static_cast<std::uint8_t>(~kNameIndexed);
      return;
    }
  }
}

std::uint32_t Registry::FindChild(std::uint32_t parent, std::string_view name) {
  DecodeSubkeys(parent);
  std::uint32_t tag = KeyTag(parent, name);
  std::size_t mask = index_.size() - 1;
  for (std::size_t i = tag & mask; index_[i].id != kEmptySlot; i = (i + 1) & mask) {
    ++g_storeSteps;
    const IndexEntry& e = index_[i];
    if (e.tag != tag || e.id == kTombstone) continue;
    const Node& n = nodes_[e.id];
    if (n.parent == parent && SameName(n.name, name)) return e.id;
  }
  return kNoNode;
}

std::uint32_t Registry::FindPath(std::uint32_t from, std::string_view path) {
  std::uint32_t at = from;
  bool ok = ForEachSegment(path, lead_, [&](std::string_view name) {
    at = FindChild(at, name);
    return at != kNoNode;
  });
  return ok ? at : kNoNode;
}

std::uint32_t Registry::AddChild(std::uint32_t parent, std::string_view name) {
  DecodeSubkeys(parent);
  std::uint32_t id = NewNode(parent, name);
  nodes_[parent].children.push_back(id);
  IndexInsertUnique(id);
  return id;
}

std::uint32_t Registry::AddDamagedChild(std::uint32_t parent, std::string_view name, std::string file,
                                        std::uint64_t offset, std::string what) {
  DecodeSubkeys(parent);
  std::uint32_t id = NewNode(parent, name);
  // Newest first; the reporter puts them back in the order met.
  nodes_[parent].damagedSubkeys =
      damages_.Add(Damage{std::move(file), offset, std::move(what), id, nodes_[parent].damagedSubkeys, false});
  nodes_[id].flags = kDamagedKey;
  if (!name.empty()) IndexInsertUnique(id);
  return id;
}

std::uint32_t Registry::FindOrAddChild(std::uint32_t parent, std::string_view name) {
  std::uint32_t id = FindChild(parent, name);
  return id != kNoNode ? id : AddChild(parent, Keep(name));
}

void Registry::RemoveSubtree(std::uint32_t id) {
  // The parent's list is cleaned up once, in Compact: erasing here would
  // cost the siblings' count for every removal.
  if (nodes_[id].parent != kNoNode) shrunk_.push_back(nodes_[id].parent);
  std::vector<std::uint32_t> pending{id};
  while (!pending.empty()) {
    std::uint32_t at = pending.back();
    pending.pop_back();
    ++g_storeSteps;
    IndexErase(at);
    Node& n = nodes_[at];
    // What a source still holds of it is never decoded now.
    n.flags &= static_cast<std::uint8_t>(~(kSubkeysPending | kValuesPending));
    pending.insert(pending.end(), n.children.begin(), n.children.end());
    n.children = {};
    if (n.values != 0) valueLists_[n.values - 1] = {};
    n.parent = kNoNode;
  }
}

std::size_t Registry::ValueSlot(std::uint32_t id, std::string_view name) const {
  return SlotOf(id, FoldedHash(name), valueIndex_.size() - 1);
}

void Registry::ValueIndexGrow() {
  std::vector<std::uint64_t> old = std::move(valueIndex_);
  g_storeSteps += old.size();
  std::size_t live = 0;
  for (std::uint64_t e : old) live += e != kValueEmpty && e != kValueTombstone ? 1 : 0;
  std::size_t capacity = 64;
  while (capacity < live * 4) capacity *= 2;
  valueIndex_.assign(capacity, kValueEmpty);
  valueIndexUsed_ = 0;
  for (std::uint64_t e : old) {
    if (e != kValueEmpty && e != kValueTombstone) {
      ValueIndexInsert(static_cast<std::uint32_t>((e - 1) >> 32), static_cast<std::uint32_t>(e - 1));
    }
  }
}

void Registry::ValueIndexInsert(std::uint32_t id, std::uint32_t position) {
  if ((valueIndexUsed_ + 1) * 2 > valueIndex_.size()) ValueIndexGrow();
  std::size_t mask = valueIndex_.size() - 1;
  std::size_t i = ValueSlot(id, KeptValues(id)[position].name);
  while (valueIndex_[i] != kValueEmpty) {
    i = (i + 1) & mask;
    ++g_storeSteps;
  }
  valueIndex_[i] = (std::uint64_t{id} << 32 | position) + 1;
  ++valueIndexUsed_;
}

std::size_t Registry::ValuePosition(std::uint32_t id, std::string_view name) {
  if (const std::vector<Value>& values = Values(id); values.size() <= kScannedValues) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      ++g_storeSteps;
      if (!values[i].removed && SameName(values[i].name, name)) return i;
    }
    return kNoValue;
  }
  // Indexed the first time a name is looked up: a walk that only
  // enumerates never pays for it. The index names positions in the key's
  // own list, so the values are kept with it first.
  DecodeValues(id);
  const std::vector<Value>& values = KeptValues(id);
  if ((nodes_[id].flags & kValuesIndexed) == 0) {
    nodes_[id].flags |= kValuesIndexed;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!values[i].removed) ValueIndexInsert(id, static_cast<std::uint32_t>(i));
    }
  }
  std::size_t mask = valueIndex_.size() - 1;
  for (std::size_t i = ValueSlot(id, name); valueIndex_[i] != kValueEmpty; i = (i + 1) & mask) {
    ++g_storeSteps;
    std::uint64_t e = valueIndex_[i];
    if (e == kValueTombstone || static_cast<std::uint32_t>((e - 1) >> 32) != id) continue;
    auto position = static_cast<std::uint32_t>(e - 1);
    if (SameName(values[position].name, name)) return position;
  }
  return kNoValue;
}

const Value* Registry::FindValue(std::uint32_t id, std::string_view name) {
  std::size_t position = ValuePosition(id, name);
  return position == kNoValue ? nullptr : &Values(id)[position];
}

void Registry::AppendValue(std::uint32_t id, std::string_view name, std::uint32_t type,
                           std::string_view data) {
  DecodeValues(id);
  std::vector<Value>& values = ValuesToChange(id);
  values.push_back(Value{name, data, type});
  if ((nodes_[id].flags & kValuesIndexed) != 0) {
    ValueIndexInsert(id, static_cast<std::uint32_t>(values.size() - 1));
  }
}

void Registry::SetValue(std::uint32_t id, std::string_view name, std::uint32_t type,
                        std::string_view data) {
  DecodeValues(id);
  std::size_t position = ValuePosition(id, name);
  if (position == kNoValue) {
    AppendValue(id, name, type, data);
    return;
  }
  // The stored name keeps the case it was first written with.
  Value& v = ValuesToChange(id)[position];
  v.data = data;
  v.type = type;
}

void Registry::DeleteValue(std::uint32_t id, std::string_view name) {
  DecodeValues(id);
  std::size_t position = ValuePosition(id, name);
  if (position == kNoValue) return;
  std::vector<Value>& values = ValuesToChange(id);
  values[position].removed = true;
  shrunk_.push_back(id);
  if ((nodes_[id].flags & kValuesIndexed) == 0) return;
  std::size_t mask = valueIndex_.size() - 1;
  for (std::size_t i = ValueSlot(id, name); valueIndex_[i] != kValueEmpty; i = (i + 1) & mask) {
    ++g_storeSteps;
    if (valueIndex_[i] == (std::uint64_t{id} << 32 | position) + 1) {
      valueIndex_[i] = kValueTombstone;
      return;
    }
  }
}

void Registry::Compact() {
  std::sort(shrunk_.begin(), shrunk_.end());
  shrunk_.erase(std::unique(shrunk_.begin(), shrunk_.end()), shrunk_.end());
  for (std::uint32_t id : shrunk_) {
    Node& n = nodes_[id];
    g_storeSteps += n.children.size() + KeptValues(id).size();
    std::erase_if(n.children, [&](std::uint32_t child) { return nodes_[child].parent != id; });
    if (n.values != 0) std::erase_if(valueLists_[n.values - 1], [](const Value& v) { return v.removed; });
  }
  // Positions moved: values are indexed afresh when next looked up.
  if (!shrunk_.empty()) {
    valueIndex_.assign(64, kValueEmpty);
    valueIndexUsed_ = 0;
    g_storeSteps += nodes_.size();
    for (std::uint32_t id = 0; id < nodes_.size(); ++id) {
      nodes_[id].flags &= static_cast<std::uint8_t>(~kValuesIndexed);
    }
  }
  shrunk_.clear();
}

std::string Registry::PathOf(std::uint32_t id) const {
  std::vector<std::string_view> names;
  for (std::uint32_t at = id; at != kNoNode; at = nodes_[at].parent) names.push_back(nodes_[at].name);
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += *it;
  }
  return path;
}

}  // namespace store
