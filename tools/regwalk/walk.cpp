// regwalk's runs, once the options are parsed: walking a registry under a
// path pattern and printing each visited key, its values, or a REGEDIT4
// export; explaining how a pattern stands to paths; splitting off a
// pattern's literal leading part.
#include "tools/regwalk/run.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pathpattern/pathpattern.h"
#include "regfile/regexport.h"
#include "regwalk/regwalk.h"
#include "sources/codepage.h"
#include "sources/seam.h"
#include "store/api.h"
#include "text/text.h"
#include "tools/backward_text.h"
#include "tools/registry_cli.h"
#include "tools/regwalk/common.h"
#include "tools/regwalk/json.h"

namespace tools::regwalk {

using regfile::AppendFormattedValue;
using regfile::ExportableName;

namespace {

std::string Meaning(int result) {
  if (result < 0) return "error";
  if (result == 0) return "none";
  std::string words;
  for (auto [bit, word] : {std::pair{MATCH_EXACT, "exact"}, {MATCH_ANCESTOR, "ancestor"}, {MATCH_BELOW, "below"}}) {
    if ((result & bit) == 0) continue;
    if (!words.empty()) words += '+';
    words += word;
  }
  return words;
}

}  // namespace

// Short root names are written out here as before a walk, in the pattern
// and in the paths alike: one rule for every option that takes a pattern.
int RunMatch(const Options& options) {
  std::string pattern = LongRootNames(options.pattern);
  for (const char* path : options.paths) {
    int result = MatchPath(pattern.c_str(), LongRootNames(path).c_str(), MATCH_FOLD_CASE);
    std::printf("%d\t%s\t%s\n", result, Meaning(result).c_str(), path);
  }
  return FinishOutput(kProgram) ? kExitSuccess : kExitFailure;
}

int RunSplit(const Options& options) {
  const char* rest = nullptr;
  std::string pattern = LongRootNames(options.pattern);
  char* leading = SplitLiteralPrefix(pattern.c_str(), &rest);
  if (leading == nullptr) {
    std::fprintf(stderr, "%s: the pattern holds a control character\n", kProgram);
    return kExitFailure;
  }
  std::printf("%s\n%s\n", leading, rest);
  FreeBytes(leading);
  return FinishOutput(kProgram) ? kExitSuccess : kExitFailure;
}

namespace {

// The values of one key, formatted as the value walk hands them over (last
// first) into one text.
struct FormattedValues {
  bool exporting = false;
  text::TextConverter* toUtf16 = nullptr;  // a version 5 export's string data
  // The registry's: a double-byte character is quoted whole.
  const store::LeadBytes* lead = &store::InstalledRegistry().leadBytes();
  std::string text;               // the lines back to back; an export's end in CR LF
  std::vector<std::size_t> ends;  // where each line ends, in the order made
  std::string badName;            // a value name that cannot be exported

  std::size_t LineCount() const { return ends.size(); }
  // The i-th line made: the value of index count - 1 - i.
  std::string_view Line(std::size_t i) const {
    std::size_t from = i == 0 ? 0 : ends[i - 1];
    return std::string_view(text).substr(from, ends[i] - from);
  }
};

int FormatOneValue(HKEY, std::intptr_t user, const char* name, DWORD type, DWORD size, const BYTE* data) {
  auto* values = reinterpret_cast<FormattedValues*>(user);
  if (!AppendFormattedValue(values->text, name, type, std::string_view(reinterpret_cast<const char*>(data), size),
                            values->exporting, values->toUtf16, *values->lead) &&
      values->exporting) {
    values->badName = name;
    return 1;
  }
  if (values->exporting) values->text += "\r\n";
  values->ends.push_back(values->text.size());
  return 0;
}

int FormatValuesOf(HKEY key, FormattedValues& values) {
  values.text.clear();
  values.ends.clear();
  return WalkValues(key, reinterpret_cast<std::intptr_t>(&values), FormatOneValue);
}

// A REGEDIT4 export in the making. The file lists parents first and
// siblings in index order, which is how an import recreates that order; the
// walk visits siblings highest index first. That order is the walk's
// post-order read backwards, so each key's section is laid down, backwards,
// when the walk leaves the key, and the text comes out in file order.
//
// Keys whose parent was not visited (the roots, or a pattern's matches)
// stand in runs of siblings; runs keep the walk's order and each run, being
// one backwards text, comes out in index order.
class Export {
 public:
  explicit Export(std::unique_ptr<text::TextConverter> toUtf16) : toUtf16_(std::move(toUtf16)) {}

  // A visited key: the keys left behind are laid down, then this one waits,
  // its values formatted, until the walk leaves it. Nonzero ends the walk.
  int Visit(HKEY key, std::string_view path) {
    while (depth_ > 0 && !IsBelow(path, open_[depth_ - 1].path)) Leave();
    // Below a visited parent only the key's own name is new to the export.
    std::string_view fresh = path;
    if (depth_ > 0) {
      fresh.remove_prefix(open_[depth_ - 1].path.size() + 1);
    } else {
      std::string_view parent = ParentOf(path);
      if (runs_.empty() || parent != lastParent_) runs_.push_back(text_.Length());
      lastParent_ = parent;
    }
    if (!ExportableName(fresh)) {
      problem_ = "cannot export a key whose name holds a line break";
      return 1;
    }
    if (!CarriedByKeyLine(fresh, *lead_)) uncarried_.emplace_back(path);
    if (depth_ == open_.size()) open_.emplace_back();
    OpenKey& open = open_[depth_];
    open.values.exporting = true;
    open.values.toUtf16 = toUtf16_.get();
    if (int result = FormatValuesOf(key, open.values); result != 0) {
      if (!open.values.badName.empty()) {
        problem_ = "cannot export a value of " + std::string(path) + " whose name holds a line break";
      }
      return result;
    }
    open.path = path;
    ++depth_;
    return 0;
  }

  const std::string& problem() const { return problem_; }
  // The keys no .reg line can carry, written as regedit would write them.
  const std::vector<std::string>& uncarried() const { return uncarried_; }

  // The whole file, in the registry's codepage or, with toUtf16, as a
  // version 5 file in UTF-16LE.
  void Write() {
    while (depth_ > 0) Leave();
    runs_.push_back(text_.Length());
    regfile::ExportFile file = StandardOutputExport(toUtf16_.get());
    file.Begin();
    for (std::size_t i = 0; i + 1 < runs_.size(); ++i) file.Add(text_.Between(runs_[i], runs_[i + 1]));
    file.End();
  }

 private:
  struct OpenKey {
    std::string path;
    FormattedValues values;
  };

  static bool IsBelow(std::string_view path, std::string_view ancestor) {
    return path.size() > ancestor.size() && path.starts_with(ancestor) && path[ancestor.size()] == '\\';
  }

  // The key a path names the parent of; a root is its own group.
  static std::string_view ParentOf(std::string_view path) {
    std::size_t cut = path.rfind('\\');
    return cut == std::string_view::npos ? path : path.substr(0, cut);
  }

  // Lays down the section of the innermost waiting key, its value lines
  // last first.
  void Leave() {
    const OpenKey& open = open_[--depth_];
    // A root exists wherever the file is imported; its bare section would
    // only make a view's target key (HKEY_CURRENT_CONFIG) spring up.
    if (open.path.find('\\') == std::string::npos && open.values.LineCount() == 0) return;
    for (std::size_t i = 0; i < open.values.LineCount(); ++i) text_.Prepend(open.values.Line(i));
    text_.Prepend("]\r\n");
    text_.Prepend(open.path);
    text_.Prepend("\r\n[");
  }

  std::unique_ptr<text::TextConverter> toUtf16_;
  BackwardText text_;
  // The chain of visited keys the walk is inside of, each kept with its
  // text until the walk leaves it; entries past depth_ keep their room.
  std::vector<OpenKey> open_;
  std::size_t depth_ = 0;
  std::vector<std::size_t> runs_;  // where each run begins in text_
  std::string lastParent_;         // of the last key that began or joined a run
  std::string problem_;
  const store::LeadBytes* lead_ = &store::InstalledRegistry().leadBytes();
  std::vector<std::string> uncarried_;
};

struct WalkState {
  Output output;
  FormattedValues values;  // -v: one key's values
  std::string out;         // -v: what one key prints
  Export* exporting = nullptr;
  JsonText* json = nullptr;  // --json
  std::vector<KeptValue> raw;  // --json: one key's values
};

// One line of JSON: the key's path and its values in index order, each as
// its source stores it. UTF-8 whatever the locale, for programs to read.
int VisitJson(WalkState& state, HKEY key, const char* path) {
  if (int result = ReadStoredValues(key, &state.raw); result != 0) return result;
  std::string& out = state.out;
  out.assign(1, '{');
  state.json->Field(out, "path", path);
  out += ',';
  state.json->ValueList(out, state.raw);
  out += "}\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int Visit(HKEY key, const char* path, std::intptr_t user) {
  auto* state = reinterpret_cast<WalkState*>(user);
  if (state->output == Output::kExport) return state->exporting->Visit(key, path);
  if (state->json != nullptr) return VisitJson(*state, key, path);
  state->out = path;
  state->out += '\n';
  if (state->output == Output::kValues) {
    if (int result = FormatValuesOf(key, state->values); result != 0) return result;
    for (std::size_t i = state->values.LineCount(); i-- > 0;) {
      state->out += "  ";
      state->out += state->values.Line(i);
      state->out += '\n';
    }
  }
  PrintText(state->out);
  return 0;
}

}  // namespace

int RunWalk(const Options& options) {
  if (!OpenRegistryForTool(kProgram, options.files)) return kExitFailure;
  std::unique_ptr<Export> exporting;
  if (options.output == Output::kExport) {
    std::unique_ptr<text::TextConverter> toUtf16;
    if (options.unicode) {
      toUtf16 = OpenExportConverter(sources::RegistryCodepage(store::InstalledRegistry()), "registry's");
      if (!toUtf16) return kExitFailure;
    }
    exporting = std::make_unique<Export>(std::move(toUtf16));
  }
  std::unique_ptr<JsonText> json = options.json ? std::make_unique<JsonText>(TextCodepage()) : nullptr;
  WalkState state{options.output, {}, {}, exporting.get(), json.get(), {}};
  WalkEnd end;
  if (!WalkPattern(options, Visit, reinterpret_cast<std::intptr_t>(&state), &end)) return kExitFailure;
  int result = end.result;
  if (exporting && !exporting->problem().empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgram, exporting->problem().c_str());
    return kExitFailure;
  }
  // A walk that a registry failure ended still exports what it read: the
  // status and the message say what is missing.
  if (exporting && result >= 0) exporting->Write();
  if (!FinishOutput(kProgram)) return kExitFailure;
  if (exporting) {
    for (const std::string& path : exporting->uncarried()) ReportUncarried(path);
  }
  if (int status = ReportWalkEnd(end, "", "keys after it are missing"); status != kExitSuccess) return status;
  if (RegistryIncomplete() || (exporting && !exporting->uncarried().empty())) return kExitIncomplete;
  if (end.selected == 0) {
    if (!end.explained) ReportNothingSelected(options, "");
    return kExitNothingSelected;
  }
  return kExitSuccess;
}

}  // namespace tools::regwalk
