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
#include "tools/regexport.h"
#include "tools/registry_cli.h"

namespace {

constexpr char kProgram[] = "regwalk";
constexpr char kUsage[] =
    "usage: regwalk [-f FILE]... [-n] [-v | -e] [PATTERN]\n"
    "       regwalk --match PATTERN PATH...\n"
    "       regwalk --split PATTERN\n"
    "\n"
    "Walks the registry named by KORMALD_REGISTRY (or by -f, which may be\n"
    "repeated and takes precedence) and prints the path of every key that\n"
    "PATTERN selects. Without PATTERN every key is visited.\n"
    "\n"
    "  -n        do not descend below a key that matches exactly\n"
    "  -v        print each key's values after it, in .reg syntax\n"
    "  -e        print a REGEDIT4 file of the visited keys and their values\n"
    "  --match   print how PATTERN stands to each PATH\n"
    "  --split   print the literal leading part of PATTERN and the rest\n"
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

// Values of one key in index order (the value walk gives them last first).
struct ValueRecord {
  std::string name;
  DWORD type;
  std::string data;
};

int CollectValue(HKEY, std::intptr_t user, const char* name, DWORD type, DWORD size, const BYTE* data) {
  auto* values = reinterpret_cast<std::vector<ValueRecord>*>(user);
  values->push_back({name, type, std::string(reinterpret_cast<const char*>(data), size)});
  return 0;
}

int ValuesOf(HKEY key, std::vector<ValueRecord>& values) {
  int result = WalkValues(key, reinterpret_cast<std::intptr_t>(&values), CollectValue);
  std::reverse(values.begin(), values.end());
  return result;
}

enum class Mode { kPaths, kValues, kExport };

// The export's keys in walk order, to be written parents first and
// siblings in index order, which is how an import recreates that order.
struct ExportKey {
  std::string path;
  std::vector<ValueRecord> values;
  std::vector<std::size_t> children;  // in walk order: highest index first
};

struct WalkState {
  Mode mode;
  std::vector<ExportKey> keys;
  std::vector<std::size_t> topLevel;
  std::vector<std::size_t> stack;  // the chain of ancestors of the last key
  std::string problem;
};

bool IsBelow(const std::string& path, const std::string& ancestor) {
  return path.size() > ancestor.size() && path.starts_with(ancestor) && path[ancestor.size()] == '\\';
}

int Visit(HKEY key, const char* path, std::intptr_t user) {
  auto* state = reinterpret_cast<WalkState*>(user);
  if (state->mode == Mode::kPaths) {
    std::printf("%s\n", path);
    return 0;
  }
  std::vector<ValueRecord> values;
  if (int result = ValuesOf(key, values); result != 0) return result;
  if (state->mode == Mode::kValues) {
    std::printf("%s\n", path);
    for (const ValueRecord& v : values) std::printf("  %s\n", FormatValue(v.name, v.type, v.data, false).c_str());
    return 0;
  }
  if (!ExportableName(path)) {
    state->problem = "cannot export a key whose name holds a line break";
    return 1;
  }
  for (const ValueRecord& v : values) {
    if (!ExportableName(v.name)) {
      state->problem = std::string("cannot export a value of ") + path + " whose name holds a line break";
      return 1;
    }
  }
  std::size_t index = state->keys.size();
  state->keys.push_back({path, std::move(values), {}});
  while (!state->stack.empty() && !IsBelow(path, state->keys[state->stack.back()].path)) state->stack.pop_back();
  (state->stack.empty() ? state->topLevel : state->keys[state->stack.back()].children).push_back(index);
  state->stack.push_back(index);
  return 0;
}

// The key a path names the parent of; a root is its own group.
std::string_view ParentOf(std::string_view path) {
  std::size_t cut = path.rfind('\\');
  return cut == std::string_view::npos ? path : path.substr(0, cut);
}

void WriteExport(const WalkState& state) {
  std::fputs(kRegedit4Header, stdout);
  // Keys without a visited parent: roots in table order, and runs of
  // siblings, which the walk lists highest index first.
  std::vector<std::size_t> pending;
  for (std::size_t i = state.topLevel.size(); i-- > 0;) {
    std::size_t end = i;
    while (i > 0 && ParentOf(state.keys[state.topLevel[i - 1]].path) ==
                        ParentOf(state.keys[state.topLevel[end]].path)) {
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
    if (key.path.find('\\') == std::string::npos && key.values.empty()) continue;
    std::fputs("\r\n", stdout);
    std::fputs(FormatSection(key.path).c_str(), stdout);
    std::fputs("\r\n", stdout);
    for (const ValueRecord& v : key.values) {
      std::fputs(FormatValue(v.name, v.type, v.data, true).c_str(), stdout);
      std::fputs("\r\n", stdout);
    }
  }
  std::fputs("\r\n", stdout);
}

int WalkCommand(int argc, char** argv) {
  std::vector<std::string> files;
  bool nonRecursive = false;
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
    } else if (options && (arg == "-v" || arg == "-e")) {
      Mode chosen = arg == "-v" ? Mode::kValues : Mode::kExport;
      if (mode != Mode::kPaths && mode != chosen) return UsageError("-v and -e exclude each other");
      mode = chosen;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      return UsageError(("unknown option " + arg).c_str());
    } else if (pattern == nullptr) {
      pattern = argv[i];
    } else {
      return UsageError("only one pattern may be given");
    }
  }
  if (!OpenRegistryForTool(kProgram, files)) return 1;

  WalkState state{mode, {}, {}, {}, {}};
  int result = WalkKeys(pattern, nonRecursive ? 0 : 1, Visit, reinterpret_cast<std::intptr_t>(&state));
  if (!state.problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgram, state.problem.c_str());
    return 1;
  }
  // A walk that a registry failure ended still exports what it read: the
  // status and the message say what is missing.
  if (mode == Mode::kExport && result >= 0) WriteExport(state);
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
  if (argc >= 2 && std::strcmp(argv[1], "--match") == 0) return MatchCommand(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "--split") == 0) return SplitCommand(argc, argv);
  return WalkCommand(argc, argv);
}
