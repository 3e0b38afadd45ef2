// regwalk --diff OLD NEW: the .reg file that turns OLD into NEW within a
// pattern, or with -v a summary for people. OLD is opened and walked into a
// snapshot of its selected keys and their values (diff_snapshot.h); then NEW
// is opened in its place and walked the same way, each key matched as it
// comes, name by name below its matched parent, as Windows compares names
// (a-z folded), and what changed written; what NEW lacks is found last. One
// walker, one registry installed at a time, and no more memory than OLD's
// snapshot and the diff.
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
#include "tools/regwalk/json.h"
#include "tools/regwalk/run.h"

namespace tools::regwalk {

namespace {

using Value = KeptValue;

int KeepValue(HKEY, std::intptr_t user, const char* name, DWORD type, DWORD size, const BYTE* data) {
  reinterpret_cast<Snapshot*>(user)->AddValue(name, type, std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}

// OLD's keys go into the snapshot as the walk hands them over, each value
// copied once, straight from the registry call.
int KeepKey(HKEY key, const char* path, std::intptr_t user) {
  auto* snapshot = reinterpret_cast<Snapshot*>(user);
  snapshot->AddKey(path);
  int result = WalkValues(key, user, KeepValue);
  snapshot->EndValues();
  return result;
}

// Opens a list of sources. False after a message.
bool Open(const std::string& list) { return OpenRegistryForTool(kProgram, sources::SplitSourceList(list)); }

// A visitor that hands on each key once: a key a view shows
// (HKEY_CURRENT_CONFIG) that the walk has already visited where it is
// stored is left out, so that a change is listed and counted once, under
// the root that stores it, unless the pattern reaches the key only
// through the view.
struct OncePerKey {
  KeyVisitor visit;
  std::intptr_t user;
  const Views& views;
  std::unordered_set<std::string> shownLater = {};  // folded stored paths a view shows later in the walk
};

int VisitOnce(HKEY key, const char* path, std::intptr_t user) {
  auto* once = reinterpret_cast<OncePerKey*>(user);
  std::string stored;
  std::string_view chooser;
  if (once->views.Through(path, &stored, &chooser)) {
    if (!stored.empty() && once->shownLater.contains(store::FoldedName(stored))) return 0;
  } else if (once->views.ShownLater(path)) {
    once->shownLater.insert(store::FoldedName(path));
  }
  return once->visit(key, path, once->user);
}

// Walks the pattern over the registry opened from list with visit, and
// notes what it could not read. False after a message for an error.
bool Walk(const Options& options, const std::string& list, KeyVisitor visit, std::intptr_t user, DamageSet* damage,
          bool* incomplete, WalkEnd* end) {
  Views views = Views::OfInstalled();
  OncePerKey once{visit, user, views};
  if (!WalkPattern(options, VisitOnce, reinterpret_cast<std::intptr_t>(&once), end)) return false;
  if (ReportWalkEnd(*end, " of " + list, "keys after it are left out of the diff, and so is every deletion") ==
      kExitFailure) {
    return false;
  }
  for (const std::string& path : DamagedPaths()) damage->Add(path);
  damage->SetViews(std::move(views));
  *incomplete = end->result > 0 || RegistryIncomplete();
  return true;
}

bool SameValue(const Value& a, const Value& b) { return a.type == b.type && a.data == b.data; }

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

// What the diff writes: a .reg file's sections, lines for people, or a
// JSON object a change, for programs.
enum class Form { kReg, kSummary, kJson };

class Writer {
 public:
  Writer(Form form, text::TextConverter* toUtf16, const store::LeadBytes& lead, int codepage)
      : summary_(form == Form::kSummary), toUtf16_(toUtf16), lead_(lead),
        json_(form == Form::kJson ? std::make_unique<JsonText>(codepage) : nullptr) {}

  // Deletions come first in what is written, whenever they are found.
  void DeleteKey(const std::string& path) {
    ++keysRemoved_;
    if (json_) return Change(deletions_, "key_removed", path, nullptr, nullptr);
    if (summary_) return Line(deletions_, "key removed: " + path);
    deletions_ += "\r\n[-" + path + "]\r\n";
  }
  void Section(const std::string& path, bool added) {
    if (added) ++keysAdded_;
    if (json_) {
      if (added) Change(text_, "key_added", path, nullptr, nullptr);
      return;
    }
    if (summary_) {
      if (added) Line(text_, "key added: " + path);
      return;
    }
    text_ += "\r\n[" + path + "]\r\n";
  }
  // A value of a section: added, or changed from was.
  bool SetValue(const std::string& path, const Value& v, const Value* was) {
    ++(was != nullptr ? valuesChanged_ : valuesAdded_);
    if (json_) return Change(text_, was != nullptr ? "value_changed" : "value_added", path, was, &v), true;
    if (summary_) {
      if (was == nullptr) return Line(text_, "value added: " + path + ": " + Shown(v)), true;
      std::string now = Shown(v);
      return Line(text_, "value changed: " + path + ": " + Shown(*was) + " -> " + now.substr(NameLength(v))), true;
    }
    bool named = regfile::AppendFormattedValue(text_, v.name, v.type, v.data, true, toUtf16_, lead_);
    text_ += "\r\n";
    return named;
  }
  bool DeleteValue(const std::string& path, const Value& v) {
    ++valuesRemoved_;
    if (json_) return Change(text_, "value_removed", path, &v, nullptr), true;
    if (summary_) return Line(text_, "value removed: " + path + ": " + Shown(v)), true;
    bool named = regfile::AppendValueDeletion(text_, v.name, lead_);
    text_ += "\r\n";
    return named;
  }
  bool Differs() const { return keysAdded_ + keysRemoved_ + valuesAdded_ + valuesRemoved_ + valuesChanged_ != 0; }

  // To standard output, or to put where it is given: a summary then in
  // the registry's text, as it stands.
  void Write(const regfile::ExportFile::Put* put) {
    if (json_) {
      // UTF-8 already, whatever the locale: for programs.
      if (put != nullptr) return (*put)(deletions_), (*put)(text_);
      std::fwrite(deletions_.data(), 1, deletions_.size(), stdout);
      std::fwrite(text_.data(), 1, text_.size(), stdout);
      return;
    }
    if (summary_) {
      Line(text_, Plural(keysAdded_, "key") + " added, " + std::to_string(keysRemoved_) + " removed; " +
                      Plural(valuesAdded_, "value") + " added, " + std::to_string(valuesRemoved_) + " removed, " +
                      std::to_string(valuesChanged_) + " changed");
      if (put != nullptr) return (*put)(deletions_), (*put)(text_);
      PrintText(deletions_);
      PrintText(text_);
      return;
    }
    regfile::ExportFile file = put != nullptr ? regfile::ExportFile(toUtf16_, *put) : StandardOutputExport(toUtf16_);
    file.Begin();
    file.Add(deletions_);
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
  static void Line(std::string& to, const std::string& line) { (to += line) += '\n'; }
  // One line of JSON: {"op":..,"path":..,"old":{value},"new":{value}}, the
  // values in --json's schema, each where the change has it.
  void Change(std::string& to, const char* op, const std::string& path, const Value* old, const Value* now) {
    to += "{\"op\":\"";
    to += op;
    to += "\",";
    json_->Field(to, "path", path);
    for (auto [field, v] : {std::pair{",\"old\":", old}, std::pair{",\"new\":", now}}) {
      if (v != nullptr) json_->Value(to += field, v->name, v->type, v->data);
    }
    to += "}\n";
  }

  bool summary_;
  text::TextConverter* toUtf16_;
  const store::LeadBytes& lead_;
  std::unique_ptr<JsonText> json_;
  std::string deletions_;  // sections or lines
  std::string text_;       // the rest, in NEW's walk order
  int keysAdded_ = 0, keysRemoved_ = 0, valuesAdded_ = 0, valuesRemoved_ = 0, valuesChanged_ = 0;
};

// What changed in a key both hold. False where a name cannot stand in a
// .reg file.
bool WriteChanges(Writer& writer, const std::string& path, const std::vector<Value>& old,
                  const std::vector<Value>& now) {
  std::unordered_map<std::string, const Value*> was;
  for (const Value* v : Effective(old)) was.emplace(store::FoldedName(v->name), v);
  std::vector<std::pair<const Value*, const Value*>> set;  // the value, and what it was
  std::unordered_set<std::string> names;
  for (const Value* v : Effective(now)) {
    std::string folded = store::FoldedName(v->name);
    names.insert(folded);
    auto it = was.find(folded);
    if (it != was.end() && SameValue(*it->second, *v)) continue;
    set.emplace_back(v, it != was.end() ? it->second : nullptr);
  }
  std::vector<const Value*> gone;
  for (const Value* v : Effective(old)) {
    if (!names.contains(store::FoldedName(v->name))) gone.push_back(v);
  }
  if (set.empty() && gone.empty()) return true;
  writer.Section(path, false);
  bool writable = true;
  for (auto [v, before] : set) writable &= writer.SetValue(path, *v, before);
  for (const Value* v : gone) writable &= writer.DeleteValue(path, *v);
  return writable;
}

// NEW as it is walked: each key matched against OLD's snapshot and what
// changed written; which of OLD's keys NEW holds is noted for afterwards.
struct Comparing {
  const Snapshot& before;
  Writer& writer;
  WalkChain<std::uint32_t> chain;  // each visited key's counterpart in OLD
  std::vector<bool> held;          // by OLD's key: NEW holds it
  std::vector<Value> values;       // one key's, reused
  std::uint32_t likely = 0;        // OLD's key after the last one found
  bool writable = true;
  std::vector<std::string> uncarried = {};  // keys written that no .reg line carries
};

int CompareKey(HKEY key, const char* path, std::intptr_t user) {
  auto* c = reinterpret_cast<Comparing*>(user);
  if (int result = ReadValues(key, &c->values); result != 0) return result;
  std::string_view name;
  std::uint32_t parent = kNoKey;
  // A key's parent is selected in both registries or in neither: the
  // pattern selects by path alone.
  std::uint32_t old = kNoKey;
  if (!c->chain.Locate(path, &parent, &name)) {
    old = c->before.Find(kNoKey, name, c->likely);
  } else if (parent != kNoKey) {
    old = c->before.Find(parent, name, c->likely);
  }
  if (old != kNoKey) c->likely = old + 1;
  // The chain carries each key's counterpart, for the keys below it.
  c->chain.Take(path, old);
  bool carried = CarriedByKeyLine(name, store::InstalledRegistry().leadBytes());
  if (old != kNoKey) {
    c->held[old] = true;
    if (c->before.Holds(old, c->values)) return 0;
    c->writable &= WriteChanges(c->writer, path, c->before.Values(old), c->values);
    if (!carried) c->uncarried.emplace_back(path);
    return 0;
  }
  if (c->before.damage.MayHide(path)) return 0;
  if (!carried) c->uncarried.emplace_back(path);
  c->writer.Section(path, true);
  for (const Value* v : Effective(c->values)) c->writable &= c->writer.SetValue(path, *v, nullptr);
  return 0;
}

// Keys NEW lacks, the topmost of each subtree only, in OLD's walk order;
// never one NEW may only have failed to read.
void WriteDeletions(const Snapshot& before, const std::vector<bool>& held, const DamageSet& afterDamage,
                    Writer& writer, std::vector<std::string>* uncarried) {
  std::vector<bool> gone(before.size(), false);
  for (std::uint32_t id = 0; id < before.size(); ++id) {
    if (held[id]) continue;
    std::uint32_t parent = before.Parent(id);
    if (parent != kNoKey && gone[parent]) {
      gone[id] = true;
      continue;
    }
    std::string path = before.Path(id);
    if (afterDamage.MayHide(path)) continue;
    gone[id] = true;
    if (!CarriedByKeyLine(before.NameOf(id), store::InstalledRegistry().leadBytes())) uncarried->push_back(path);
    writer.DeleteKey(path);
  }
}

}  // namespace

int RunDiff(const Options& options) { return Diff(options, nullptr); }

int Diff(const Options& options, const regfile::ExportFile::Put* put) {
  if (!Open(options.diffOld)) return kExitFailure;
  Snapshot before(store::InstalledRegistry().leadBytes());
  before.codepage = TextCodepage();
  WalkEnd oldEnd, newEnd;
  if (!Walk(options, options.diffOld, KeepKey, reinterpret_cast<std::intptr_t>(&before), &before.damage,
            &before.incomplete, &oldEnd)) {
    return kExitFailure;
  }
  // The old registry's keys are kept in the snapshot: the new one takes
  // the store's place.
  // OLD's registry goes before NEW's is read: the two would be held at
  // once beside the snapshot.
  store::InstallRegistry(std::make_unique<store::Registry>());
  if (!Open(options.diffNew)) return kExitFailure;
  int codepage = TextCodepage();
  if (before.codepage != codepage) {
    Say("%s: %s and %s hold their text in different codepages (%d and %d); a diff would mix them\n",
        kProgram, options.diffOld.c_str(), options.diffNew.c_str(), before.codepage, codepage);
    return kExitFailure;
  }
  std::unique_ptr<text::TextConverter> toUtf16;
  if (options.unicode && !(toUtf16 = OpenExportConverter(codepage, "registries'"))) return kExitFailure;
  const store::LeadBytes& lead = store::InstalledRegistry().leadBytes();
  Form form = options.json ? Form::kJson : options.output == Output::kValues ? Form::kSummary : Form::kReg;
  Writer writer(form, toUtf16.get(), lead, codepage);
  Comparing comparing{before, writer, WalkChain<std::uint32_t>(lead), std::vector<bool>(before.size(), false), {}};
  DamageSet afterDamage(lead);
  bool afterIncomplete = false;
  if (!Walk(options, options.diffNew, CompareKey, reinterpret_cast<std::intptr_t>(&comparing), &afterDamage,
            &afterIncomplete, &newEnd)) {
    return kExitFailure;
  }
  std::vector<std::string> uncarried;
  // A walk of NEW that ended early never reached the keys after its end:
  // none of them is known to be gone.
  if (newEnd.result == 0) WriteDeletions(before, comparing.held, afterDamage, writer, &uncarried);
  uncarried.insert(uncarried.end(), comparing.uncarried.begin(), comparing.uncarried.end());
  // JSON carries every name exactly, in its bytes where need be.
  if (form == Form::kJson) uncarried.clear();
  if (!comparing.writable) {
    Say("%s: a value whose name holds a line break cannot stand in a .reg file\n", kProgram);
    return kExitFailure;
  }
  writer.Write(put);
  if (put == nullptr && !FinishOutput(kProgram)) return kExitFailure;
  for (const std::string& path : uncarried) ReportUncarried(path);
  if (before.incomplete || afterIncomplete || !uncarried.empty()) return kExitIncomplete;
  if (oldEnd.selected + newEnd.selected == 0) {
    if (!newEnd.explained) ReportNothingSelected(options, " in OLD or in NEW; in NEW");
    return kExitNothingSelected;
  }
  return writer.Differs() ? kExitDiffers : kExitSuccess;
}

}  // namespace tools::regwalk
