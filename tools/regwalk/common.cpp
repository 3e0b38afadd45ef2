#include "tools/regwalk/common.h"

#include <algorithm>
#include <cstdio>

#include "tools/registry_cli.h"

namespace tools::regwalk {

namespace {

int KeepValue(HKEY, std::intptr_t user, const char* name, DWORD type, DWORD size, const BYTE* data) {
  reinterpret_cast<std::vector<KeptValue>*>(user)->push_back(
      KeptValue{name, type, std::string(reinterpret_cast<const char*>(data), size)});
  return 0;
}

}  // namespace

int ReadValues(HKEY key, std::vector<KeptValue>* values) {
  values->clear();
  int result = WalkValues(key, reinterpret_cast<std::intptr_t>(values), KeepValue);
  std::reverse(values->begin(), values->end());  // handed over last first
  return result;
}

bool WalkPattern(const Options& options, KeyVisitor visit, std::intptr_t user, int* result) {
  std::string stored;
  bool matchesNothing = false;
  if (!ConvertPattern(kProgram, options.pattern, &stored, &matchesNothing)) return false;
  *result = matchesNothing ? 0
                           : WalkKeys(options.pattern != nullptr ? stored.c_str() : nullptr,
                                      options.nonRecursive ? 0 : 1, visit, user);
  return true;
}

int ReportWalkEnd(int result, std::string_view of, std::string_view lost) {
  if (result < 0) {
    std::fprintf(stderr, "%s: walk failed: %s\n", kProgram, DescribeResult(result).c_str());
    return kExitFailure;
  }
  if (result > 0) {
    std::fprintf(stderr, "%s: walk%.*s ended early: %s; %.*s\n", kProgram, static_cast<int>(of.size()), of.data(),
                 DescribeResult(result).c_str(), static_cast<int>(lost.size()), lost.data());
    return kExitIncomplete;
  }
  return kExitSuccess;
}

std::unique_ptr<text::TextConverter> OpenExportConverter(int codepage, const char* whose) {
  std::unique_ptr<text::TextConverter> toUtf16;
  if (codepage != 0) toUtf16 = text::TextConverter::Open(text::CodepageCharset(codepage), "UTF-16LE");
  if (!toUtf16) {
    std::fprintf(stderr, "%s: -E needs the %s codepage, and %s\n", kProgram, whose,
                 codepage == 0 ? "KORMALD_CODEPAGE=raw does not name one" : "this system cannot convert from it");
  }
  return toUtf16;
}

regfile::ExportFile StandardOutputExport(text::TextConverter* toUtf16) {
  BinaryOutput();
  return regfile::ExportFile(toUtf16, [](std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); });
}

}  // namespace tools::regwalk
