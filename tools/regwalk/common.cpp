#include "tools/regwalk/common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pathpattern/pathpattern.h"
#include "store/api.h"
#include "store/store.h"
#include "tools/registry_cli.h"

namespace tools::regwalk {

namespace {

// A visitor that counts the keys it hands on.
struct Counting {
  KeyVisitor visit;
  std::intptr_t user;
  std::size_t selected = 0;
  bool watchRoots = false;          // -n: which root was visited last tells why a walk ended
  const char* lastRoot = nullptr;  // the root visited last, a name of the walker's table
};

int CountingVisit(HKEY key, const char* path, std::intptr_t user) {
  auto* counting = reinterpret_cast<Counting*>(user);
  ++counting->selected;
  if (counting->watchRoots) {
    for (const RootKey& root : RootKeyTable) {
      if (std::strcmp(root.name, path) == 0) counting->lastRoot = root.name;
    }
  }
  return counting->visit(key, path, counting->user);
}

}  // namespace

bool WalkPattern(const Options& options, KeyVisitor visit, std::intptr_t user, WalkEnd* end) {
  std::string stored;
  bool matchesNothing = false;
  if (!ConvertPattern(kProgram, options.pattern, &stored, &matchesNothing)) return false;
  *end = WalkEnd{};
  if (matchesNothing) {
    end->explained = true;
    return true;
  }
  stored = LongRootNames(stored);
  Counting counting{visit, user, 0, options.nonRecursive};
  end->result = WalkKeys(options.pattern != nullptr ? stored.c_str() : nullptr, options.nonRecursive ? 0 : 1,
                         CountingVisit, reinterpret_cast<std::intptr_t>(&counting));
  end->selected = counting.selected;
  if (end->result != WALK_FAILED) return true;
  switch (WhyWalkFailed(stored, options.nonRecursive, counting.lastRoot)) {
    case WalkFailure::kStoppedAtRoot:
      // The walk did what -n asks.
      Say("%s: -n: the walk stops at %s, a root key the pattern matches exactly\n", kProgram, counting.lastRoot);
      end->result = 0;
      break;
    case WalkFailure::kDoesNotCompile:
      end->cause = "the pattern does not compile";
      break;
    case WalkFailure::kUnknown:
      break;
  }
  return true;
}

WalkFailure WhyWalkFailed(const std::string& stored, bool nonRecursive, const char* lastRoot) {
  // The walker's one failure has three causes; two can be told from here.
  if (nonRecursive && lastRoot != nullptr && MatchPath(stored.c_str(), lastRoot, 0) == MATCH_EXACT) {
    return WalkFailure::kStoppedAtRoot;
  }
  char* code = CompilePattern(stored.c_str(), 0);
  if (code == nullptr) return WalkFailure::kDoesNotCompile;
  FreeBytes(code);
  return WalkFailure::kUnknown;
}

void ReportNothingSelected(const Options& options, std::string_view where) {
  std::string stored;
  PatternFromUser(options.pattern != nullptr ? options.pattern : "", &stored);
  std::string pattern = LongRootNames(stored);
  char* leading = SplitLiteralPrefix(pattern.c_str(), nullptr);
  std::string literal = leading != nullptr ? leading : "";
  FreeBytes(leading);
  std::string said = std::string(kProgram) + ": the pattern selects no key" + std::string(where);
  // The first name: a root, as the walker enters it.
  const store::LeadBytes& lead = store::InstalledRegistry().leadBytes();
  std::size_t cut = store::FindSeparator(literal, lead);
  std::string_view rootName = std::string_view(literal).substr(0, cut);
  const RootKey* root = nullptr;
  for (const RootKey& r : RootKeyTable) {
    if (store::SameName(rootName, r.name)) root = &r;
  }
  if (literal.empty()) {
    Say("%s\n", said.c_str());
    return;
  }
  if (root == nullptr) {
    Say("%s: %s is no root key (HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, "
        "HKEY_CURRENT_CONFIG or HKEY_DYN_DATA; or HKLM and the like)\n",
        said.c_str(), ToUser(rootName).c_str());
    return;
  }
  if (rootName != root->name && (root == &RootKeyTable[0] || root == &RootKeyTable[1])) {
    Say("%s: the walk enters %s only where the pattern names it so, in capitals\n", said.c_str(),
        root->name);
    return;
  }
  // Then each name below it, opened one by one as the walker opens them.
  HKEY key = root->handle;
  std::string path = root->name;
  for (std::size_t from = cut; from != std::string::npos && from + 1 < literal.size();) {
    std::size_t next = store::FindSeparator(literal, lead, from + 1);
    std::string name = literal.substr(from + 1, next == std::string::npos ? std::string::npos : next - from - 1);
    from = next;
    if (name.empty()) continue;
    HKEY sub = nullptr;
    LONG opened = RegOpenKeyExA(key, name.c_str(), 0, 0, &sub);
    if (key != root->handle) RegCloseKey(key);
    if (opened != ERROR_SUCCESS) {
      Say("%s: %s does not exist\n", said.c_str(), ToUser(path + "\\" + name).c_str());
      return;
    }
    key = sub;
    path += "\\" + name;
  }
  if (key != root->handle) RegCloseKey(key);
  Say("%s: %s holds no key the rest of it selects\n", said.c_str(), ToUser(path).c_str());
}

int ReportWalkEnd(const WalkEnd& end, std::string_view of, std::string_view lost) {
  int result = end.result;
  if (result < 0) {
    Say("%s: walk failed: %s\n", kProgram, end.cause.empty() ? DescribeResult(result).c_str() : end.cause.c_str());
    return kExitFailure;
  }
  if (result > 0) {
    Say("%s: walk%.*s ended early: %s; %.*s\n", kProgram, static_cast<int>(of.size()), of.data(),
        DescribeResult(result).c_str(), static_cast<int>(lost.size()), lost.data());
    return kExitIncomplete;
  }
  return kExitSuccess;
}

std::unique_ptr<text::TextConverter> OpenExportConverter(int codepage, const char* whose) {
  std::unique_ptr<text::TextConverter> toUtf16;
  if (codepage != 0) toUtf16 = text::TextConverter::Open(text::CodepageCharset(codepage), "UTF-16LE");
  if (!toUtf16) {
    Say("%s: -E needs the %s codepage, and %s\n", kProgram, whose,
        codepage == 0 ? "KORMALD_CODEPAGE=raw does not name one" : "this system cannot convert from it");
  }
  return toUtf16;
}

bool CarriedByKeyLine(std::string_view name, const store::LeadBytes& lead) {
  if (lead.empty() || name.empty()) return true;
  bool loneLead = false;  // the last character: a lead byte alone
  for (std::size_t i = 0; i < name.size(); ++i) {
    loneLead = !lead.Pairs(name, i) && lead[static_cast<unsigned char>(name[i])];
    if (lead.Pairs(name, i)) ++i;
  }
  auto last = static_cast<unsigned char>(name.back());
  return !loneLead || (!lead.TakesAfter(last, ']') && !lead.TakesAfter(last, '\\'));
}

void ReportUncarried(std::string_view path) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : path) (hex += kHex[c >> 4]) += kHex[c & 0xF];
  Say("%s: a key (path in hex %s) whose name ends in a lead byte that takes the ']' or '\\' after it: no "
      ".reg line carries it, in Windows either; written as regedit writes it\n",
      kProgram, hex.c_str());
}

regfile::ExportFile StandardOutputExport(text::TextConverter* toUtf16) {
  BinaryOutput();
  return regfile::ExportFile(toUtf16, [](std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); });
}

}  // namespace tools::regwalk
