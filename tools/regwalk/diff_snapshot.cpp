#include "tools/regwalk/diff_snapshot.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "store/api.h"
#include "store/store.h"
#include "tools/registry_cli.h"

namespace tools::regwalk {

void DamageSet::Add(std::string_view path) {
  if (path.ends_with('\\')) {
    parents_.insert(store::FoldedName(path.substr(0, path.size() - 1)));
  } else {
    keys_.insert(store::FoldedName(path));
  }
}

namespace {

// Whether path is key or lies below it, names compared as Windows does.
bool AtOrBelow(std::string_view path, std::string_view key) {
  return path.size() >= key.size() && store::SameName(path.substr(0, key.size()), key) &&
         (path.size() == key.size() || path[key.size()] == '\\');
}

}  // namespace

Views Views::OfInstalled() {
  store::Registry& reg = store::InstalledRegistry();
  Views views;
  for (auto [root, name, later] : {std::tuple{store::Root::kClassesRoot, "HKEY_CLASSES_ROOT", false},
                                   std::tuple{store::Root::kCurrentUser, "HKEY_CURRENT_USER", false},
                                   std::tuple{store::Root::kCurrentConfig, "HKEY_CURRENT_CONFIG", true}}) {
    View v{name, {}, {}, later};
    v.target = reg.ViewTarget(root, &v.chooser);
    views.views_.push_back(std::move(v));
  }
  return views;
}

bool Views::Through(std::string_view path, std::string* stored, std::string_view* chooser) const {
  for (const View& v : views_) {
    if (!AtOrBelow(path, v.root)) continue;
    stored->clear();
    if (!v.target.empty()) (*stored += v.target) += path.substr(v.root.size());
    *chooser = v.chooser;
    return true;
  }
  return false;
}

bool Views::ShownLater(std::string_view path) const {
  for (const View& v : views_) {
    if (v.walkedLater && !v.target.empty() && AtOrBelow(path, v.target)) return true;
  }
  return false;
}

bool DamageSet::MayHide(std::string_view path) const {
  if (keys_.empty() && parents_.empty()) return false;
  std::string stored;
  std::string_view chooser;
  if (!views_.Through(path, &stored, &chooser)) return MayHideStored(path);
  // What the view shows is stored elsewhere, and it shows it only while
  // the key that chooses it can be read.
  return (!stored.empty() && MayHideStored(stored)) || (!chooser.empty() && MayHideStored(chooser));
}

bool DamageSet::MayHideStored(std::string_view path) const {
  std::string folded = store::FoldedName(path);
  std::string_view f = folded;
  for (std::size_t cut = store::FindSeparator(f, lead_);; cut = store::FindSeparator(f, lead_, cut + 1)) {
    std::string prefix(f.substr(0, cut));
    if (keys_.contains(prefix)) return true;
    if (cut == std::string_view::npos) return false;
    if (parents_.contains(prefix)) return true;
  }
}

std::uint64_t Snapshot::Hash(std::uint32_t parent, std::string_view name) {
  // FNV-1a over the name as Windows compares it: a-z folded.
  std::uint64_t h = 0xcbf29ce484222325ULL ^ parent;
  for (char c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  return h ^ (h >> 29);
}

void Snapshot::Index(std::uint32_t id) const {
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = keys_[id].hash & mask;; i = (i + 1) & mask) {
    if (slots_[i] == kNoKey) {
      slots_[i] = id;
      return;
    }
  }
}

const char* Snapshot::Keep(std::string_view a, std::string_view b) {
  // Blocks double from 1 MiB to 64 MiB: a small registry takes little, and
  // a large one few blocks, each backed by huge pages where the system
  // offers them (a fault every 2 MiB, not every 4 KiB, as it is filled).
  constexpr std::size_t kFirstBlockBytes = std::size_t{1} << 20;
  constexpr std::size_t kLargestBlockBytes = std::size_t{64} << 20;
  std::size_t size = a.size() + b.size();
  if (size > room_) {
    std::size_t next = std::min(kFirstBlockBytes << std::min<std::size_t>(blocks_.size(), 6), kLargestBlockBytes);
    std::size_t block = std::max(size, next);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
    tools::PreferHugePages(blocks_.back().get(), block);
    free_ = blocks_.back().get();
    room_ = block;
  }
  char* at = free_;
  if (!a.empty()) std::memcpy(at, a.data(), a.size());
  if (!b.empty()) std::memcpy(at + a.size(), b.data(), b.size());
  free_ += size;
  room_ -= size;
  return at;
}

void Snapshot::AddKey(std::string_view path) {
  auto id = static_cast<std::uint32_t>(keys_.size());
  std::string_view name;
  std::uint32_t parent = kNoKey;
  if (!chain_.Locate(path, &parent, &name)) parent = kNoKey;
  chain_.Take(path, id);
  keys_.push_back(Key{Keep(name), Hash(parent, name), parent, static_cast<std::uint32_t>(name.size()),
                      static_cast<std::uint32_t>(values_.size()), 0});
}

void Snapshot::AddValue(std::string_view name, std::uint32_t type, std::string_view data) {
  values_.push_back(Value{Keep(name, data), type, static_cast<std::uint32_t>(name.size()),
                          static_cast<std::uint32_t>(data.size())});
  ++keys_.back().valueCount;
}

void Snapshot::EndValues() {
  const Key& key = keys_.back();
  std::reverse(values_.begin() + key.firstValue, values_.end());
}

std::uint32_t Snapshot::Find(std::uint32_t parent, std::string_view name, std::uint32_t likely) const {
  if (likely < keys_.size()) {
    const Key& key = keys_[likely];
    if (key.parent == parent && store::SameName(Name(key), name)) return likely;
  }
  if (keys_.empty()) return kNoKey;
  if (slots_.empty()) {
    // At most half full, so that a miss ends after a probe or two; every
    // key in walk order, so that the first of a name is found first.
    std::size_t size = 1024;
    while (size < keys_.size() * 2) size *= 2;
    slots_.assign(size, kNoKey);
    for (std::uint32_t id = 0; id < keys_.size(); ++id) Index(id);
  }
  std::size_t mask = slots_.size() - 1;
  std::uint64_t hash = Hash(parent, name);
  for (std::size_t i = hash & mask; slots_[i] != kNoKey; i = (i + 1) & mask) {
    const Key& key = keys_[slots_[i]];
    if (key.hash == hash && key.parent == parent && store::SameName(Name(key), name)) return slots_[i];
  }
  return kNoKey;
}

std::string Snapshot::Path(std::uint32_t id) const {
  std::vector<std::uint32_t> up;
  for (std::uint32_t at = id; at != kNoKey; at = keys_[at].parent) up.push_back(at);
  std::string path;
  for (std::size_t i = up.size(); i-- > 0;) {
    if (i + 1 != up.size()) path += '\\';
    path += Name(keys_[up[i]]);
  }
  return path;
}

bool Snapshot::Holds(std::uint32_t id, const std::vector<KeptValue>& values) const {
  const Key& key = keys_[id];
  if (key.valueCount != values.size()) return false;
  for (std::uint32_t i = 0; i < key.valueCount; ++i) {
    const Value& v = values_[key.firstValue + i];
    if (v.type != values[i].type || std::string_view(v.name, v.nameLength) != values[i].name ||
        std::string_view(v.name + v.nameLength, v.dataLength) != values[i].data) {
      return false;
    }
  }
  return true;
}

std::vector<KeptValue> Snapshot::Values(std::uint32_t id) const {
  const Key& key = keys_[id];
  std::vector<KeptValue> values;
  for (std::uint32_t i = 0; i < key.valueCount; ++i) {
    const Value& v = values_[key.firstValue + i];
    values.push_back(KeptValue{std::string(v.name, v.nameLength), v.type,
                               std::string(v.name + v.nameLength, v.dataLength)});
  }
  return values;
}

}  // namespace tools::regwalk
