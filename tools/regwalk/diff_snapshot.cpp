#include "tools/regwalk/diff_snapshot.h"

#include "store/store.h"

namespace tools::regwalk {

std::size_t Snapshot::NameHash::operator()(const Name& n) const {
  // FNV-1a over the name as Windows compares it: a-z folded.
  std::uint64_t h = 0xcbf29ce484222325ULL ^ n.parent;
  for (char c : n.name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  return static_cast<std::size_t>(h);
}

bool Snapshot::SameKey::operator()(const Name& a, const Name& b) const {
  return a.parent == b.parent && store::SameName(a.name, b.name);
}

void Snapshot::Add(std::string_view path, std::vector<KeptValue> values) {
  // The walk goes depth first, a key before the keys below it: the keys of
  // the chain that the new path does not lie below are behind it now.
  while (!chain_.empty()) {
    std::size_t length = chain_.back().second;
    if (path.size() > length && path[length] == '\\' && path.compare(0, length, lastPath_, 0, length) == 0) break;
    chain_.pop_back();
  }
  SnapshotKey key;
  if (chain_.empty()) {
    key.name = path;
  } else {
    key.parent = chain_.back().first;
    key.name = path.substr(chain_.back().second + 1);
    // A selected key whose parent is selected lies right below it: the
    // pattern selects every key below one it selects.
    if (store::FindSeparator(key.name, lead_) != std::string_view::npos) {
      key.parent = kNoKey;
      key.name = path;
    }
  }
  key.values = std::move(values);
  auto id = static_cast<std::uint32_t>(keys_.size());
  keys_.push_back(std::move(key));
  const SnapshotKey& kept = keys_.back();
  index_.emplace(Name{kept.parent, kept.name}, id);
  chain_.emplace_back(id, path.size());
  lastPath_.assign(path);
}

void Snapshot::AddDamage(std::string_view path) {
  if (path.ends_with('\\')) {
    damagedParents_.insert(store::FoldedName(path.substr(0, path.size() - 1)));
  } else {
    damagedKeys_.insert(store::FoldedName(path));
  }
}

std::uint32_t Snapshot::Find(std::uint32_t parent, std::string_view name) const {
  auto it = index_.find(Name{parent, name});
  return it == index_.end() ? kNoKey : it->second;
}

std::string Snapshot::Path(std::uint32_t id) const {
  std::vector<std::uint32_t> up;
  for (std::uint32_t at = id; at != kNoKey; at = keys_[at].parent) up.push_back(at);
  std::string path;
  for (std::size_t i = up.size(); i-- > 0;) {
    if (i + 1 != up.size()) path += '\\';
    path += keys_[up[i]].name;
  }
  return path;
}

bool Snapshot::MayHideDamage(std::string_view path) const {
  if (!damaged()) return false;
  std::string folded = store::FoldedName(path);
  std::string_view f = folded;
  for (std::size_t cut = store::FindSeparator(f, lead_);; cut = store::FindSeparator(f, lead_, cut + 1)) {
    std::string_view prefix = f.substr(0, cut);
    if (damagedKeys_.contains(std::string(prefix))) return true;
    if (cut == std::string_view::npos) return false;
    if (damagedParents_.contains(std::string(prefix))) return true;
  }
}

}  // namespace tools::regwalk
