// Path patterns: wildcard patterns over registry path texts.
//
// A path text is an 8-bit, NUL-terminated string of segments joined by
// backslashes, e.g. HKEY_LOCAL_MACHINE\Enum\PCI. Pattern syntax:
//
//   byte >= 0x20   itself (other than * and ?)
//   \              segment separator, matched literally
//   :              matched literally; in a text it also ends a segment for
//                  * and ?, and marks a place where ** may start
//   *              any run of characters within one segment, maybe empty
//   **             any run of whole segments, maybe none, from a boundary
//   ?              one character other than \ and :
//   0x01..0x1F     not allowed: the pattern does not compile
//
// A match result is a set of bits, or negative on failure:
//
//   MATCH_EXACT     1   pattern and text are used up together
//   MATCH_ANCESTOR  2   a longer path through this text could still match
//   MATCH_BELOW     4   the text names a key below a matching key
//   0                   unrelated
//   MATCH_ERROR  -256   bad code string, or memory ran out
//   -1                  (MatchPath only) the pattern does not compile
//
// Texts returned by CopyPrefix, CopyUpper, CompilePattern and
// SplitLiteralPrefix belong to the caller, who frees them with FreeBytes.
#pragma once

#include "pathpattern/alloc.h"

inline constexpr int MATCH_EXACT = 1;
inline constexpr int MATCH_ANCESTOR = 2;
inline constexpr int MATCH_BELOW = 4;
inline constexpr int MATCH_ERROR = -256;

// Case flags: 0 folds a-z to capitals before comparing, any other value
// compares bytes exactly.
inline constexpr int MATCH_FOLD_CASE = 0;
inline constexpr int MATCH_EXACT_CASE = 1;

inline constexpr char CODE_STAR = 0x01;
inline constexpr char CODE_DEEP_STAR = 0x04;
inline constexpr char CODE_ANY_CHAR = 0x11;

// Steps after which the compiler stops; see CompilePattern for why the
// limit is counted per step and before deep stars are merged.
inline constexpr int MAX_PATTERN_CODES = 512;

// A fresh copy of the first n characters of text (all of it when n < 0).
char* CopyPrefix(const char* text, int n);
// A fresh copy of text with a-z turned into A-Z, every other byte kept.
char* CopyUpper(const char* text);

// The code string of a pattern, or null when it does not compile or memory
// runs out. MATCH_FOLD_CASE folds a-z to capitals.
char* CompilePattern(const char* pattern, int caseFlag);
// How text stands to pattern (compiled afresh for this call).
int MatchPath(const char* pattern, const char* text, int caseFlag);
// How text stands to a compiled pattern.
int MatchCompiled(const char* codes, const char* text, int caseFlag);
// The matcher proper, from code p and text position t, where prev is the
// text character before t (or the initial one chosen by MatchCompiled).
int MatchCodes(const char* p, const char* t, int prev);

// Test hook: how many matcher steps pass before positions are remembered
// (the results are the same either way; only the cost differs).
void SetMatchStepsBeforeMemo(long steps);

// The wildcard-free leading part of a pattern, ending at a segment boundary
// (a fresh text), or null for a control character or exhausted memory.
// When rest is given it receives where the rest of the pattern begins.
char* SplitLiteralPrefix(const char* pattern, const char** rest);
