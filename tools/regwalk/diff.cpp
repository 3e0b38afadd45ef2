// regwalk --diff OLD NEW: the .reg file that turns OLD into NEW within a
// pattern, or with -v a summary for people. OLD is opened and walked into a
// plain list of its selected keys and their values; then NEW is opened in
// its place and walked the same way; the two lists are compared by name, as
// Windows compares names (a-z folded). One walker, one registry installed at
// a time, and no more memory than the two lists of selected keys.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pathpattern/pathpattern.h"
#include "regfile/regexport.h"
#include "regwalk/regwalk.h"
#include "sources/sources.h"
#include "store/api.h"
#include "text/text.h"
#include "tools/registry_cli.h"
#include "tools/regwalk/common.h"
#include "tools/regwalk/run.h"

namespace tools::regwalk {

namespace {

using Value = KeptValue;

struct Key {
  std::string path;
  std::vector<Value> values;  // in index order
};

// One registry's selected keys, in walk order, and what could not be read.
struct Snapshot {
  std::vector<Key> keys;
  std::unordered_map<std::string, std::size_t> byPath;  // folded path -> index
  std::vector<std::string> damaged;  // folded: a key's path, or a parent's and '\'
  int codepage = 0;
  bool incomplete = false;

  const Key* Find(const std::string& path) const {
    auto it = byPath.find(store::FoldedName(path));
    return it == byPath.end() ? nullptr : &keys[it->second];
  }
  // Whether a key may be missing only because it could not be read: it, or
  // a key above it, was damaged, or its parent lost a key whose name is
  // unknown.
  bool MayHideDamage(const std::string& path) const {
    std::string folded = store::FoldedName(path);
    for (const std::string& d : damaged) {
      if (d.ends_with('\\')) {
        if (folded.starts_with(d)) return true;
      } else if (folded == d || (folded.starts_with(d) && folded[d.size()] == '\\')) {
        return true;
      }
    }
    return false;
  }
};

int KeepKey(HKEY key, const char* path, std::intptr_t user) {
  auto* snapshot = reinterpret_cast<Snapshot*>(user);
  Key k{path, {}};
  if (int result = ReadValues(key, &k.values); result != 0) return result;
  snapshot->byPath.emplace(store::FoldedName(k.path), snapshot->keys.size());
  snapshot->keys.push_back(std::move(k));
  return 0;
}

// Opens a list of sources and walks the pattern into a snapshot. False
// after a message for an error.
bool Take(const Options& options, const std::string& list, Snapshot* snapshot) {
  if (!OpenRegistryForTool(kProgram, sources::SplitSourceList(list))) return false;
  snapshot->codepage = TextCodepage();
  int result = 0;
  if (!WalkPattern(options, KeepKey, reinterpret_cast<std::intptr_t>(snapshot), &result)) return false;
  if (ReportWalkEnd(result, " of " + list, "keys after it are left out of the diff") == kExitFailure) return false;
  for (const std::string& path : DamagedPaths()) snapshot->damaged.push_back(store::FoldedName(path));
  snapshot->incomplete = result > 0 || RegistryIncomplete();
  return true;
}

bool SameValue(const Value& a, const Value& b) { return a.type == b.type && a.data == b.data; }

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
  // A value of a section: added, or changed from what it was.
  bool SetValue(const std::string& path, const Value& v, bool changed) {
    ++(changed ? valuesChanged_ : valuesAdded_);
    if (summary_) {
      Line(std::string(changed ? "value changed: " : "value added: ") + path + ": " + Shown(v.name));
      return true;
    }
    bool named = regfile::AppendFormattedValue(text_, v.name, v.type, v.data, true, toUtf16_, lead_);
    text_ += "\r\n";
    return named;
  }
  bool DeleteValue(const std::string& path, const std::string& name) {
    ++valuesRemoved_;
    if (summary_) {
      Line("value removed: " + path + ": " + Shown(name));
      return true;
    }
    bool named = regfile::AppendValueDeletion(text_, name, lead_);
    text_ += "\r\n";
    return named;
  }
  bool Differs() const {
    return keysAdded_ + keysRemoved_ + valuesAdded_ + valuesRemoved_ + valuesChanged_ != 0;
  }

  void Write() {
    if (summary_) {
      Line(std::to_string(keysAdded_) + " keys added, " + std::to_string(keysRemoved_) + " removed; " +
           std::to_string(valuesAdded_) + " values added, " + std::to_string(valuesRemoved_) + " removed, " +
           std::to_string(valuesChanged_) + " changed");
      return;
    }
    regfile::ExportFile file = StandardOutputExport(toUtf16_);
    file.Begin();
    file.Add(text_);
    file.End();
  }

 private:
  static std::string Shown(const std::string& name) { return name.empty() ? "@" : "\"" + name + "\""; }
  void Line(const std::string& line) { PrintText(line + "\n"); }

  bool summary_;
  text::TextConverter* toUtf16_;
  const store::LeadBytes& lead_;
  std::string text_;
  int keysAdded_ = 0, keysRemoved_ = 0, valuesAdded_ = 0, valuesRemoved_ = 0, valuesChanged_ = 0;
};

// Whether an ancestor of path (in the folded set) was deleted already.
bool UnderDeleted(const std::string& folded, const std::unordered_set<std::string>& deleted) {
  for (std::size_t cut = folded.rfind('\\'); cut != std::string::npos && cut > 0; cut = folded.rfind('\\', cut - 1)) {
    if (deleted.contains(folded.substr(0, cut))) return true;
  }
  return false;
}

}  // namespace

int RunDiff(const Options& options) {
  Snapshot before;
  Snapshot after;
  if (!Take(options, options.diffOld, &before)) return kExitFailure;
  // The old registry's keys are kept as plain text: the new one takes the
  // store's place.
  if (!Take(options, options.diffNew, &after)) return kExitFailure;
  if (before.codepage != after.codepage) {
    std::fprintf(stderr, "%s: %s and %s hold their text in different codepages (%d and %d); a diff would mix them\n",
                 kProgram, options.diffOld.c_str(), options.diffNew.c_str(), before.codepage, after.codepage);
    return kExitFailure;
  }
  std::unique_ptr<text::TextConverter> toUtf16;
  if (options.unicode && !(toUtf16 = OpenExportConverter(after.codepage, "registries'"))) return kExitFailure;
  Writer writer(options.output == Output::kValues, toUtf16.get(), store::InstalledRegistry().leadBytes());
  bool unwritable = false;

  // Keys NEW lacks, the topmost of each subtree only, in OLD's walk order;
  // never one NEW may only have failed to read.
  std::unordered_set<std::string> deleted;
  for (const Key& key : before.keys) {
    std::string folded = store::FoldedName(key.path);
    if (after.byPath.contains(folded) || after.MayHideDamage(key.path) || UnderDeleted(folded, deleted)) continue;
    deleted.insert(folded);
    writer.DeleteKey(key.path);
  }
  // Then NEW in its walk order, parents before children: keys OLD lacks
  // with all their values, and what changed in the others.
  for (const Key& key : after.keys) {
    const Key* old = before.Find(key.path);
    if (old == nullptr) {
      if (before.MayHideDamage(key.path)) continue;
      writer.Section(key.path, true);
      for (const Value& v : key.values) unwritable |= !writer.SetValue(key.path, v, false);
      continue;
    }
    std::unordered_map<std::string, const Value*> was;
    for (const Value& v : old->values) was.emplace(store::FoldedName(v.name), &v);
    std::vector<const Value*> set;
    std::vector<bool> changed;
    std::unordered_set<std::string> now;
    for (const Value& v : key.values) {
      std::string folded = store::FoldedName(v.name);
      now.insert(folded);
      auto it = was.find(folded);
      if (it != was.end() && SameValue(*it->second, v)) continue;
      set.push_back(&v);
      changed.push_back(it != was.end());
    }
    std::vector<const Value*> gone;
    for (const Value& v : old->values) {
      if (!now.contains(store::FoldedName(v.name))) gone.push_back(&v);
    }
    if (set.empty() && gone.empty()) continue;
    writer.Section(key.path, false);
    for (std::size_t i = 0; i < set.size(); ++i) unwritable |= !writer.SetValue(key.path, *set[i], changed[i]);
    for (const Value* v : gone) unwritable |= !writer.DeleteValue(key.path, v->name);
  }
  if (unwritable) {
    std::fprintf(stderr, "%s: a value whose name holds a line break cannot stand in a .reg file\n", kProgram);
    return kExitFailure;
  }
  writer.Write();
  if (!FinishOutput(kProgram)) return kExitFailure;
  if (before.incomplete || after.incomplete) return kExitIncomplete;
  return writer.Differs() ? kExitDiffers : kExitSuccess;
}

}  // namespace tools::regwalk
