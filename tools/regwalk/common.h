// What the regwalk commands share: reading a key's values, walking the
// pattern the user typed and saying how the walk ended, opening -E's
// converter, and writing an export file to standard output.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "regfile/regexport.h"
#include "store/lead_bytes.h"
#include "regwalk/regwalk.h"
#include "text/text.h"
#include "tools/keys.h"
#include "tools/regwalk/options.h"
#include "winreg/winreg.h"

namespace tools::regwalk {

// How a walk of the user's pattern ended.
struct WalkEnd {
  int result = 0;            // the walk's
  std::size_t selected = 0;  // keys handed to the visitor
  bool explained = false;    // it selected none, and why was said already
  std::string cause = {};    // why it failed, where that is known
};

// Walks the pattern of options (typed in the user's charset, converted to
// the registry's, short root names written out) with visit over the
// installed registry. False after a message when the pattern is not text
// at all; a pattern with a character the codepage lacks walks nothing,
// after a message.
bool WalkPattern(const Options& options, KeyVisitor visit, std::intptr_t user, WalkEnd* end);

// What the walker's one failure (WALK_FAILED) was, for a pattern (as the
// walker took it) and the root the walk visited last (a name of the
// walker's table, or null): it stopped at a root the pattern matches
// exactly, as -n asks (no failure at all), the pattern does not compile,
// or memory ran out (which cannot be told from here).
enum class WalkFailure { kStoppedAtRoot, kDoesNotCompile, kUnknown };
WalkFailure WhyWalkFailed(const std::string& stored, bool nonRecursive, const char* lastRoot);

// Says on standard error that the pattern selected no key, naming the
// first key of its literal leading part that the installed registry does
// not hold (where: " in NEW", say, or nothing).
void ReportNothingSelected(const Options& options, std::string_view where);

// Says on standard error how a walk ended when it did not run to its end
// ("walk failed: ..." or "walk<of> ended early: ...; <lost>"), and returns
// the status that means: kExitFailure, kExitIncomplete, or kExitSuccess
// for a walk that ran to its end.
int ReportWalkEnd(const WalkEnd& end, std::string_view of, std::string_view lost);

// The converter -E writes a version 5 file with, from codepage; null after
// a message naming whose codepage it needs where there is none to take.
std::unique_ptr<text::TextConverter> OpenExportConverter(int codepage, const char* whose);

// Whether a key's name can stand in a .reg file's key line: one that ends
// in a lead byte taking the ']' or the '\' after it as its second byte
// (both are, in codepage 932) can stand in none, in Windows either. Names,
// not paths: in a path such a name and the next one read as one.
bool CarriedByKeyLine(std::string_view name, const store::LeadBytes& lead);
// Says so on standard error for such a key, its path in hex: the export
// writes its line as regedit would, and the run ends incomplete.
void ReportUncarried(std::string_view path);

// An export file written to standard output, in binary: it writes its own
// CR LF.
regfile::ExportFile StandardOutputExport(text::TextConverter* toUtf16);

}  // namespace tools::regwalk
