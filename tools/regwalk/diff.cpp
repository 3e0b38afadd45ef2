// regwalk --diff OLD NEW: the .reg file that turns OLD into NEW within a
// pattern, or with -v a summary for people. OLD is opened and walked into a
// snapshot of its selected keys and their values (diff_snapshot.h); then NEW
// is opened in its place and walked the same way; the two are matched name
// by name below matched parents, as Windows compares names (a-z folded).
// One walker, one registry installed at a time, and no more memory than the
// two snapshots.
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "regfile/regexport.h"
#include "sources/sources.h"
#include "store/api.h"
#include "store/store.h"
#include "text/text.h"
#include "tools/registry_cli.h"
#include "tools/regwalk/common.h"
#include "tools/regwalk/diff_snapshot.h"
#include "tools/regwalk/run.h"

namespace tools::regwalk {

namespace {

using Value = KeptValue;

int KeepKey(HKEY key, const char* path, std::intptr_t user) {
  std::vector<Value> values;
  if (int result = ReadValues(key, &values); result != 0) return result;
  reinterpret_cast<Snapshot*>(user)->Add(path, std::move(values));
  return 0;
}

// Opens a list of sources and walks the pattern into a snapshot. False
// after a message for an error.
bool Take(const Options& options, const std::string& list, std::unique_ptr<Snapshot>* snapshot) {
  if (!OpenRegistryForTool(kProgram, sources::SplitSourceList(list))) return false;
  *snapshot = std::make_unique<Snapshot>(store::InstalledRegistry().leadBytes());
  (*snapshot)->codepage = TextCodepage();
  int result = 0;
  if (!WalkPattern(options, KeepKey, reinterpret_cast<std::intptr_t>(snapshot->get()), &result)) return false;
  if (ReportWalkEnd(result, " of " + list, "keys after it are left out of the diff") == kExitFailure) return false;
  for (const std::string& path : DamagedPaths()) (*snapshot)->AddDamage(path);
  (*snapshot)->incomplete = result > 0 || RegistryIncomplete();
  return true;
}

bool SameValue(const Value& a, const Value& b) { return a.type == b.type && a.data == b.data; }

bool SameValues(const std::vector<Value>& a, const std::vector<Value>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || !SameValue(a[i], b[i])) return false;
  }
  return true;
}

// The values a key holds as the registry calls see them: one per name, the
// first of a name (as RegQueryValueExA finds it); a damaged hive can hold
// two of one name, and only the first counts.
std::vector<const Value*> Effective(const std::vector<Value>& values) {
  std::vector<const Value*> effective;
  effective.reserve(values.size());
  std::unordered_set<std::string> seen;
  for (const Value& v : values) {
    if (seen.insert(store::FoldedName(v.name)).second) effective.push_back(&v);
  }
  return effective;
}

std::string Plural(int n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

// What the diff writes: a .reg file's sections, or lines for people.
class Writer {
 public:
  Writer(bool summary, text::TextConverter* toUtf16, const store::LeadBytes& lead)
      : summary_(summary), toUtf16_(toUtf16), lead_(lead) {}

  void DeleteKey(const std::string& path) {
    ++keysRemoved_;
    if (summary_) return Line("key removed: " + path);
    text_ += "\r\n[-" + path + "]\r\n";
  }
  void Section(const std::string& path, bool added) {
    if (added) ++keysAdded_;
    if (summary_) {
      if (added) Line("key added: " + path);
      return;
    }
    text_ += "\r\n[" + path + "]\r\n";
  }
  // A value of a section: added, or changed from was.
  bool SetValue(const std::string& path, const Value& v, const Value* was) {
    ++(was != nullptr ? valuesChanged_ : valuesAdded_);
    if (summary_) {
      if (was == nullptr) return Line("value added: " + path + ": " + Shown(v)), true;
      std::string now = Shown(v);
      return Line("value changed: " + path + ": " + Shown(*was) + " -> " + now.substr(NameLength(v))), true;
    }
    bool named = regfile::AppendFormattedValue(text_, v.name, v.type, v.data, true, toUtf16_, lead_);
    text_ += "\r\n";
    return named;
  }
  bool DeleteValue(const std::string& path, const Value& v) {
    ++valuesRemoved_;
    if (summary_) return Line("value removed: " + path + ": " + Shown(v)), true;
    bool named = regfile::AppendValueDeletion(text_, v.name, lead_);
    text_ += "\r\n";
    return named;
  }
  bool Differs() const { return keysAdded_ + keysRemoved_ + valuesAdded_ + valuesRemoved_ + valuesChanged_ != 0; }

  void Write() {
    if (summary_) {
      Line(Plural(keysAdded_, "key") + " added, " + std::to_string(keysRemoved_) + " removed; " +
           Plural(valuesAdded_, "value") + " added, " + std::to_string(valuesRemoved_) + " removed, " +
           std::to_string(valuesChanged_) + " changed");
      return;
    }
    regfile::ExportFile file = StandardOutputExport(toUtf16_);
    file.Begin();
    file.Add(text_);
    file.End();
  }

 private:
  // A value as -v shows it: "name"=data, in the registry's text.
  std::string Shown(const Value& v) const {
    std::string shown;
    regfile::AppendFormattedValue(shown, v.name, v.type, v.data, false, nullptr, lead_);
    return shown;
  }
  // Where the data begins in what Shown gives: past the name and its '='
  // (a name no .reg line can carry is left out of it, and only '=' stays).
  std::size_t NameLength(const Value& v) const {
    std::string deletion;  // NAME=-
    return regfile::AppendValueDeletion(deletion, v.name, lead_) ? deletion.size() - 1 : 1;
  }
  void Line(const std::string& line) { PrintText(line + "\n"); }

  bool summary_;
  text::TextConverter* toUtf16_;
  const store::LeadBytes& lead_;
  std::string text_;
  int keysAdded_ = 0, keysRemoved_ = 0, valuesAdded_ = 0, valuesRemoved_ = 0, valuesChanged_ = 0;
};

// For each key of from, its counterpart in to, or kNoKey: a top key by its
// path, any other below its parent's counterpart. The pattern selects by
// path alone, so a key's parent is selected in both or in neither.
std::vector<std::uint32_t> Match(const Snapshot& from, const Snapshot& to) {
  std::vector<std::uint32_t> match(from.size(), kNoKey);
  for (std::uint32_t id = 0; id < from.size(); ++id) {
    const SnapshotKey& key = from.key(id);
    if (key.parent == kNoKey) {
      match[id] = to.Find(kNoKey, key.name);
    } else if (match[key.parent] != kNoKey) {
      match[id] = to.Find(match[key.parent], key.name);
    }
  }
  return match;
}

// What changed in a key both hold. False where a name cannot stand in a
// .reg file.
bool WriteChanges(Writer& writer, const std::string& path, const SnapshotKey& old, const SnapshotKey& now) {
  if (SameValues(old.values, now.values)) return true;
  std::unordered_map<std::string, const Value*> was;
  for (const Value* v : Effective(old.values)) was.emplace(store::FoldedName(v->name), v);
  std::vector<std::pair<const Value*, const Value*>> set;  // the value, and what it was
  std::unordered_set<std::string> names;
  for (const Value* v : Effective(now.values)) {
    std::string folded = store::FoldedName(v->name);
    names.insert(folded);
    auto it = was.find(folded);
    if (it != was.end() && SameValue(*it->second, *v)) continue;
    set.emplace_back(v, it != was.end() ? it->second : nullptr);
  }
  std::vector<const Value*> gone;
  for (const Value* v : Effective(old.values)) {
    if (!names.contains(store::FoldedName(v->name))) gone.push_back(v);
  }
  if (set.empty() && gone.empty()) return true;
  writer.Section(path, false);
  bool writable = true;
  for (auto [v, before] : set) writable &= writer.SetValue(path, *v, before);
  for (const Value* v : gone) writable &= writer.DeleteValue(path, *v);
  return writable;
}

}  // namespace

int RunDiff(const Options& options) {
  std::unique_ptr<Snapshot> before, after;
  if (!Take(options, options.diffOld, &before)) return kExitFailure;
  // The old registry's keys are kept in the snapshot: the new one takes
  // the store's place.
  if (!Take(options, options.diffNew, &after)) return kExitFailure;
  if (before->codepage != after->codepage) {
    std::fprintf(stderr, "%s: %s and %s hold their text in different codepages (%d and %d); a diff would mix them\n",
                 kProgram, options.diffOld.c_str(), options.diffNew.c_str(), before->codepage, after->codepage);
    return kExitFailure;
  }
  std::unique_ptr<text::TextConverter> toUtf16;
  if (options.unicode && !(toUtf16 = OpenExportConverter(after->codepage, "registries'"))) return kExitFailure;
  Writer writer(options.output == Output::kValues, toUtf16.get(), store::InstalledRegistry().leadBytes());
  bool writable = true;

  // Keys NEW lacks, the topmost of each subtree only, in OLD's walk order;
  // never one NEW may only have failed to read.
  std::vector<std::uint32_t> inNew = Match(*before, *after);
  std::vector<bool> gone(before->size(), false);
  for (std::uint32_t id = 0; id < before->size(); ++id) {
    std::uint32_t parent = before->key(id).parent;
    if (inNew[id] != kNoKey || (parent != kNoKey && gone[parent])) {
      gone[id] = inNew[id] == kNoKey;
      continue;
    }
    std::string path = before->Path(id);
    if (after->MayHideDamage(path)) continue;
    gone[id] = true;
    writer.DeleteKey(path);
  }
  // Then NEW in its walk order, parents before children: keys OLD lacks
  // with all their values, and what changed in the others.
  std::vector<std::uint32_t> inOld = Match(*after, *before);
  for (std::uint32_t id = 0; id < after->size(); ++id) {
    const SnapshotKey& key = after->key(id);
    if (inOld[id] != kNoKey) {
      if (!SameValues(before->key(inOld[id]).values, key.values)) {
        writable &= WriteChanges(writer, after->Path(id), before->key(inOld[id]), key);
      }
      continue;
    }
    std::string path = after->Path(id);
    if (before->MayHideDamage(path)) continue;
    writer.Section(path, true);
    for (const Value* v : Effective(key.values)) writable &= writer.SetValue(path, *v, nullptr);
  }
  if (!writable) {
    std::fprintf(stderr, "%s: a value whose name holds a line break cannot stand in a .reg file\n", kProgram);
    return kExitFailure;
  }
  writer.Write();
  if (!FinishOutput(kProgram)) return kExitFailure;
  if (before->incomplete || after->incomplete) return kExitIncomplete;
  return writer.Differs() ? kExitDiffers : kExitSuccess;
}

}  // namespace tools::regwalk
