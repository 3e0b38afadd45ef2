// regwalk: the walker library on the command line. Walks a registry under a
// path pattern and prints each visited key, its values, or a REGEDIT4
// export; explains how a pattern stands to paths; splits off a pattern's
// literal leading part.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pathpattern/pathpattern.h"
#include "regwalk/regwalk.h"
#include "tools/recover.h"
#include "tools/regexport.h"
#include "tools/registry_cli.h"
#include "winreg/store.h"
#include "winreg/text.h"

namespace {

constexpr char kProgram[] = "regwalk";
constexpr char kUsage[] =
    "usage: regwalk [-f FILE]... [-n] [-v | -e | -E] [PATTERN]\n"
    "       regwalk [-f FILE]... --deleted [-v | -e] [PATTERN]\n"
    "       regwalk --match PATTERN PATH...\n"
    "       regwalk --split PATTERN\n"
    "       regwalk --help | --version\n"
    "\n"
    "Walks the registry named by KORMALD_REGISTRY (or by -f, which may be\n"
    "repeated and takes precedence) and prints the path of every key that\n"
    "PATTERN selects. Without PATTERN every key is visited.\n"
    "\n"
    "  -n        do not descend below a key that matches exactly\n"
    "  -v        print each key's values after it, in .reg syntax\n"
    "  -e        print a REGEDIT4 file of the visited keys and their values\n"
    "  -E        the same as a version 5 file (UTF-16), for today's regedit\n"
    "  --deleted list the key records left in the hives' free space (deleted\n"
    "            keys, earlier versions of keys), whose names PATTERN selects\n"
    "  --match   print how PATTERN stands to each PATH\n"
    "  --split   print the literal leading part of PATTERN and the rest\n"
    "  --help    print this text\n"
    "  --version print the version\n"
    "\n"
    "Exit status: 0 when the walk ran to its end, 1 when it failed, 2 for\n"
    "bad usage, 3 when part of the registry could not be read (a damaged\n"
    "key, or a registry error that ended the walk; each is named).\n";

int UsageError(const char* what) {
  std::fprintf(stderr, "%s: %s\n%s", kProgram, what, kUsage);
  return 2;
}

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

int MatchCommand(int argc, char** argv) {
  if (argc < 4) return UsageError("--match needs a pattern and at least one path");
  for (int i = 3; i < argc; ++i) {
    int result = MatchPath(argv[2], argv[i], 0);
    std::printf("%d\t%s\t%s\n", result, Meaning(result).c_str(), argv[i]);
  }
  return FinishOutput(kProgram) ? 0 : 1;
}

int SplitCommand(int argc, char** argv) {
  if (argc != 3) return UsageError("--split needs exactly one pattern");
  const char* rest = nullptr;
  char* leading = SplitLiteralPrefix(argv[2], &rest);
  if (leading == nullptr) {
    std::fprintf(stderr, "%s: the pattern holds a control character\n", kProgram);
    return 1;
  }
  std::printf("%s\n%s\n", leading, rest);
  FreeBytes(leading);
  return FinishOutput(kProgram) ? 0 : 1;
}

enum class Mode { kPaths, kValues, kExport };

// The values of one key, formatted as the value walk hands them over (last
// first) into one text, to be taken back in index order.
struct FormattedValues {
  bool exporting = false;
  regstore::TextConverter* toUtf16 = nullptr;  // a version 5 export's string data
  std::string text;               // the lines back to back, without line ends
  std::vector<std::size_t> ends;  // where each line ends, in the order made
  std::string badName;            // a value name that cannot be exported
};

int FormatOneValue(HKEY, std::intptr_t user, const char* name, DWORD type, DWORD size, const BYTE* data) {
  auto* values = reinterpret_cast<FormattedValues*>(user);
  if (values->exporting && !ExportableName(name)) {
    values->badName = name;
    return 1;
  }
  AppendFormattedValue(values->text, name, type, std::string_view(reinterpret_cast<const char*>(data), size),
                       values->exporting, values->toUtf16);
  values->ends.push_back(values->text.size());
  return 0;
}

// Appends the key's value lines to out in index order, each after prefix
// and followed by lineEnd.
int FormatValuesOf(HKEY key, FormattedValues& values, std::string& out, std::string_view prefix,
                   std::string_view lineEnd) {
  values.text.clear();
  values.ends.clear();
  if (int result = WalkValues(key, reinterpret_cast<std::intptr_t>(&values), FormatOneValue); result != 0) {
    return result;
  }
  for (std::size_t i = values.ends.size(); i-- > 0;) {
    std::size_t from = i == 0 ? 0 : values.ends[i - 1];
    out += prefix;
    out.append(values.text, from, values.ends[i] - from);
    out += lineEnd;
  }
  return 0;
}

// The export's keys in walk order, to be written parents first and
// siblings in index order, which is how an import recreates that order.
struct ExportKey {
  // Where the key's path and its value lines (each ending in CR LF) stand
  // in the walk's text, one text for all keys.
  std::size_t pathAt, pathLength, valuesAt, valuesLength;
  std::vector<std::size_t> children;  // in walk order: highest index first
};

struct WalkState {
  Mode mode;
  std::vector<ExportKey> keys;
  std::vector<std::size_t> topLevel;
  std::vector<std::size_t> stack;  // the chain of ancestors of the last key
  std::string problem;
  FormattedValues scratch;
  std::string out;   // -v: what one key prints
  std::string text;  // -e: every key's path and value lines

  std::string_view PathOf(const ExportKey& key) const { return {text.data() + key.pathAt, key.pathLength}; }
  std::string_view ValuesOf(const ExportKey& key) const { return {text.data() + key.valuesAt, key.valuesLength}; }
};

bool IsBelow(std::string_view path, std::string_view ancestor) {
  return path.size() > ancestor.size() && path.starts_with(ancestor) && path[ancestor.size()] == '\\';
}

int Visit(HKEY key, const char* path, std::intptr_t user) {
  auto* state = reinterpret_cast<WalkState*>(user);
  if (state->mode == Mode::kPaths) {
    state->out = path;
    state->out += '\n';
    PrintText(state->out);
    return 0;
  }
  if (state->mode == Mode::kValues) {
    state->out = path;
    state->out += '\n';
    if (int result = FormatValuesOf(key, state->scratch, state->out, "  ", "\n"); result != 0) return result;
    PrintText(state->out);
    return 0;
  }
  while (!state->stack.empty() && !IsBelow(path, state->PathOf(state->keys[state->stack.back()]))) {
    state->stack.pop_back();
  }
  // Below a visited parent only the key's own name is new to the export.
  std::string_view fresh = path;
  if (!state->stack.empty()) fresh.remove_prefix(state->keys[state->stack.back()].pathLength + 1);
  if (!ExportableName(fresh)) {
    state->problem = "cannot export a key whose name holds a line break";
    return 1;
  }
  state->scratch.exporting = true;
  std::size_t pathAt = state->text.size();
  state->text += path;
  std::size_t valuesAt = state->text.size();
  if (int result = FormatValuesOf(key, state->scratch, state->text, "", "\r\n"); result != 0) {
    if (!state->scratch.badName.empty()) {
      state->problem = std::string("cannot export a value of ") + path + " whose name holds a line break";
    }
    return result;
  }
  std::size_t index = state->keys.size();
  state->keys.push_back({pathAt, valuesAt - pathAt, valuesAt, state->text.size() - valuesAt, {}});
  (state->stack.empty() ? state->topLevel : state->keys[state->stack.back()].children).push_back(index);
  state->stack.push_back(index);
  return 0;
}

// The key a path names the parent of; a root is its own group.
std::string_view ParentOf(std::string_view path) {
  std::size_t cut = path.rfind('\\');
  return cut == std::string_view::npos ? path : path.substr(0, cut);
}

// Writes the export: REGEDIT4 in the registry's codepage, or with toUtf16
// a version 5 file in UTF-16LE.
void WriteExport(const WalkState& state, regstore::TextConverter* toUtf16) {
  // A REGEDIT4 export goes out piece by piece; a version 5 one is gathered
  // first, to be converted whole.
  std::string out;
  auto put = [&](std::string_view text) {
    if (toUtf16 != nullptr) {
      out += text;
    } else {
      std::fwrite(text.data(), 1, text.size(), stdout);
    }
  };
  put(toUtf16 != nullptr ? kRegedit5Header : kRegedit4Header);
  // Keys without a visited parent: roots in table order, and runs of
  // siblings, which the walk lists highest index first.
  std::vector<std::size_t> pending;
  for (std::size_t i = state.topLevel.size(); i-- > 0;) {
    std::size_t end = i;
    while (i > 0 && ParentOf(state.PathOf(state.keys[state.topLevel[i - 1]])) ==
                        ParentOf(state.PathOf(state.keys[state.topLevel[end]]))) {
      --i;
    }
    pending.insert(pending.end(), state.topLevel.begin() + static_cast<std::ptrdiff_t>(i),
                   state.topLevel.begin() + static_cast<std::ptrdiff_t>(end) + 1);
  }
  // Pushed highest index first, siblings pop lowest first, each before its
  // subtree: the order an import recreates.
  while (!pending.empty()) {
    std::size_t index = pending.back();
    pending.pop_back();
    const ExportKey& key = state.keys[index];
    pending.insert(pending.end(), key.children.begin(), key.children.end());
    // A root exists wherever the file is imported; its bare section would
    // only make a view's target key (HKEY_CURRENT_CONFIG) spring up.
    std::string_view path = state.PathOf(key);
    std::string_view values = state.ValuesOf(key);
    if (path.find('\\') == std::string_view::npos && values.empty()) continue;
    put("\r\n[");
    put(path);
    put("]\r\n");
    put(values);
  }
  put("\r\n");
  if (toUtf16 == nullptr) return;
  out = "\xFF\xFE" + toUtf16->Convert(out);
  std::fwrite(out.data(), 1, out.size(), stdout);
}

int WalkCommand(int argc, char** argv) {
  std::vector<std::string> files;
  bool nonRecursive = false;
  bool deleted = false;
  bool unicode = false;
  Mode mode = Mode::kPaths;
  const char* pattern = nullptr;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && arg == "-f") {
      if (++i == argc) return UsageError("-f needs a file");
      files.emplace_back(argv[i]);
    } else if (options && arg == "-n") {
      nonRecursive = true;
    } else if (options && arg == "--deleted") {
      deleted = true;
    } else if (options && (arg == "-v" || arg == "-e" || arg == "-E")) {
      Mode chosen = arg == "-v" ? Mode::kValues : Mode::kExport;
      if (mode != Mode::kPaths && (mode != chosen || unicode != (arg == "-E"))) {
        return UsageError("-v, -e and -E exclude each other");
      }
      mode = chosen;
      unicode = arg == "-E";
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      return UsageError(("unknown option " + arg).c_str());
    } else if (pattern == nullptr) {
      pattern = argv[i];
    } else {
      return UsageError("only one pattern may be given");
    }
  }
  if (deleted) {
    if (nonRecursive) return UsageError("-n does not go with --deleted");
    RecoverOutput output = mode == Mode::kValues   ? RecoverOutput::kValues
                           : mode == Mode::kExport ? RecoverOutput::kExport
                                                   : RecoverOutput::kList;
    return RecoverCommand(kProgram, files, output, pattern);
  }
  if (!OpenRegistryForTool(kProgram, files)) return 1;

  // The pattern comes in the user's charset; the names it is matched
  // against are in the registry's codepage.
  std::string stored = pattern != nullptr ? FromUser(pattern) : std::string();
  WalkState state{mode, {}, {}, {}, {}, {}, {}, {}};
  // Room the export's text will not outgrow for any Windows 9x registry:
  // reserved, not touched, so it costs nothing until written, and the text
  // is never moved as it grows.
  if (mode == Mode::kExport) state.text.reserve(std::size_t{64} << 20);
  std::unique_ptr<regstore::TextConverter> toUtf16;
  if (unicode) {
    int codepage = regstore::InstalledRegistry().Codepage();
    if (codepage != 0) toUtf16 = regstore::TextConverter::Open(regstore::CodepageCharset(codepage), "UTF-16LE");
    if (!toUtf16) {
      std::fprintf(stderr, "%s: -E needs the registry's codepage, and %s\n", kProgram,
                   codepage == 0 ? "KORMALD_CODEPAGE=raw does not name one" : "this system cannot convert from it");
      return 1;
    }
    state.scratch.toUtf16 = toUtf16.get();
  }
  int result = WalkKeys(pattern != nullptr ? stored.c_str() : nullptr, nonRecursive ? 0 : 1, Visit, reinterpret_cast<std::intptr_t>(&state));
  if (!state.problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgram, state.problem.c_str());
    return 1;
  }
  // A walk that a registry failure ended still exports what it read: the
  // status and the message say what is missing.
  if (mode == Mode::kExport && result >= 0) {
    BinaryOutput();
    WriteExport(state, toUtf16.get());
  }
  if (!FinishOutput(kProgram)) return 1;
  if (result < 0) {
    std::fprintf(stderr, "%s: walk failed: %s\n", kProgram, DescribeResult(result).c_str());
    return 1;
  }
  if (result > 0) {
    std::fprintf(stderr, "%s: walk ended early: %s; keys after it are missing\n", kProgram,
                 DescribeResult(result).c_str());
    return kExitIncomplete;
  }
  return DamagedKeyMet() ? kExitIncomplete : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return FinishOutput(kProgram) ? 0 : 1;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::fputs("regwalk (kormald) " KORMALD_VERSION "\n", stdout);
    return FinishOutput(kProgram) ? 0 : 1;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--match") == 0) return MatchCommand(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "--split") == 0) return SplitCommand(argc, argv);
  return WalkCommand(argc, argv);
}
