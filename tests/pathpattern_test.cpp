#include "pathpattern/pathpattern.h"

#include "testkit/match_cases.h"

#include <gtest/gtest.h>

#include <limits>

#include <random>
#include <string>

namespace {

using match_cases::MatchRow;
using match_cases::Repeat;

class MatchTable : public ::testing::TestWithParam<MatchRow> {};

TEST_P(MatchTable, GivesTheDocumentedResult) {
  const MatchRow& row = GetParam();
  EXPECT_EQ(MatchPath(row.pattern.c_str(), row.text.c_str(), row.caseFlag), row.expected)
      << "pattern '" << row.pattern << "' text '" << row.text << "' case " << row.caseFlag;
  EXPECT_EQ(LiveAllocationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Literals, MatchTable, ::testing::ValuesIn(match_cases::kLiterals));
INSTANTIATE_TEST_SUITE_P(Wildcards, MatchTable, ::testing::ValuesIn(match_cases::kWildcards));
INSTANTIATE_TEST_SUITE_P(DeepStars, MatchTable, ::testing::ValuesIn(match_cases::kDeepStars));
INSTANTIATE_TEST_SUITE_P(StarRuns, MatchTable, ::testing::ValuesIn(match_cases::kStarRuns));
INSTANTIATE_TEST_SUITE_P(Colons, MatchTable, ::testing::ValuesIn(match_cases::kColons));
INSTANTIATE_TEST_SUITE_P(Limits, MatchTable, ::testing::ValuesIn(match_cases::kLimits));

struct CompileRow {
  std::string pattern;
  std::string codes;  // null for a pattern that must not compile
  bool compiles = true;
};

class CompileTable : public ::testing::TestWithParam<CompileRow> {};

TEST_P(CompileTable, EmitsTheDocumentedCodes) {
  const CompileRow& row = GetParam();
  char* codes = CompilePattern(row.pattern.c_str(), 0);
  if (!row.compiles) {
    EXPECT_EQ(codes, nullptr) << row.pattern.size() << " characters";
  } else {
    ASSERT_NE(codes, nullptr) << row.pattern.size() << " characters";
    if (!row.codes.empty() || row.pattern.empty()) {
      EXPECT_EQ(std::string(codes), row.codes);
    }
  }
  FreeBytes(codes);
  EXPECT_EQ(LiveAllocationCount(), 0);
}

const std::string S(1, CODE_STAR);
const std::string D(1, CODE_DEEP_STAR);
const std::string Q(1, CODE_ANY_CHAR);

INSTANTIATE_TEST_SUITE_P(StarRuns, CompileTable, ::testing::Values(
    CompileRow{"*", S},
    CompileRow{"**", D},
    CompileRow{"***", D + S},
    CompileRow{"****", S + D},
    CompileRow{"*****", S + D + S},
    CompileRow{"******", S + D},
    CompileRow{"*******", S + D + S},
    CompileRow{"********", S + D + S + D},
    CompileRow{"a?b", "A" + Q + "B"},
    CompileRow{"", ""}));

INSTANTIATE_TEST_SUITE_P(Limits, CompileTable, ::testing::Values(
    CompileRow{Repeat('x', 513), Repeat('X', 513)},
    CompileRow{Repeat('x', 514), "", false},
    CompileRow{Repeat('*', 1026), ""},
    CompileRow{Repeat('*', 1027), "", false},
    CompileRow{Repeat('*', 1028), ""},
    CompileRow{Repeat('*', 1029), "", false},
    CompileRow{Repeat('*', 2000), "", false}));

TEST(CompilePattern, StarLimitCountsCodesBeforeMerging) {
  char* codes = CompilePattern(Repeat('*', 1026).c_str(), 0);
  ASSERT_NE(codes, nullptr);
  EXPECT_EQ(std::string(codes).size(), 512U);
  FreeBytes(codes);
  codes = CompilePattern(Repeat('*', 1028).c_str(), 0);
  ASSERT_NE(codes, nullptr);
  EXPECT_EQ(std::string(codes).size(), 514U);
  FreeBytes(codes);
}

TEST(CompilePattern, CaseFlagKeepsLetters) {
  char* codes = CompilePattern("aB\xE9", 1);
  ASSERT_NE(codes, nullptr);
  EXPECT_STREQ(codes, "aB\xE9");
  FreeBytes(codes);
}

TEST(MatchCodes, UnknownCodeIsAnError) {
  const char codes[] = {'A', 0x02, 0};
  EXPECT_EQ(MatchCodes(codes, "AB", '\\'), MATCH_ERROR);
  EXPECT_EQ(MatchCompiled(codes, "AB", 1), MATCH_ERROR);
}

TEST(MatchCodes, ErrorStopsAStarScan) {
  const char codes[] = {CODE_STAR, 0x03, 0};
  EXPECT_EQ(MatchCompiled(codes, "XYZ", 1), MATCH_ERROR);
  const char deep[] = {CODE_DEEP_STAR, 0x03, 0};
  EXPECT_EQ(MatchCompiled(deep, "X\\Y", 1), MATCH_ERROR);
}

TEST(CopyText, PrefixAndUpper) {
  struct Row {
    const char* text;
    int n;
    const char* prefix;
  } rows[] = {{"HKEY", 2, "HK"}, {"HKEY", -1, "HKEY"}, {"HKEY", 0, ""}, {"", -1, ""}, {"AB", 9, "AB"}};
  for (const Row& row : rows) {
    char* copy = CopyPrefix(row.text, row.n);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, row.prefix) << row.text << " " << row.n;
    FreeBytes(copy);
  }
  char* upper = CopyUpper("abz{`@AZ\xE4\x01");
  ASSERT_NE(upper, nullptr);
  EXPECT_STREQ(upper, "ABZ{`@AZ\xE4\x01");
  FreeBytes(upper);
  EXPECT_EQ(LiveAllocationCount(), 0);
}

// Every allocation of a match failing in turn: the documented failure, and
// nothing left allocated.
TEST(MatchPath, AllocationFailureAtEachStep) {
  struct Row {
    int failAt;
    int caseFlag;
    int expected;
  } rows[] = {
      {0, 0, -1},          // the compiled codes
      {1, 0, MATCH_ERROR}, // the upper-case copy of the text
      {0, 1, -1},
  };
  for (const Row& row : rows) {
    FailAllocationsAfter(row.failAt);
    EXPECT_EQ(MatchPath("A\\*", "a\\x", row.caseFlag), row.expected) << row.failAt;
    FailAllocationsAfter(-1);
    EXPECT_EQ(LiveAllocationCount(), 0);
  }
  FailAllocationsAfter(2);
  EXPECT_EQ(MatchPath("A\\*", "a\\x", 0), 5);
  FailAllocationsAfter(-1);
}

// Several stars in one segment used to make the work exponential in the
// length of the segment; the answer must come quickly and be the one plain
// backtracking gives.
TEST(MatchPath, ManyStarsInOneSegmentFinish) {
  std::string pattern;
  for (int i = 0; i < 40; ++i) pattern += "*A";
  pattern += "*B";
  std::string text = Repeat('A', 300);
  EXPECT_EQ(MatchPath(pattern.c_str(), text.c_str(), 0), 0);
  EXPECT_EQ(MatchPath(pattern.c_str(), (text + "B").c_str(), 0), 1);
  std::string deep;
  for (int i = 0; i < 30; ++i) deep += "**A\\";
  deep += "**";
  std::string path;
  for (int i = 0; i < 200; ++i) path += "A\\";
  EXPECT_EQ(MatchPath(deep.c_str(), path.c_str(), 0), 7);
  EXPECT_EQ(LiveAllocationCount(), 0);
}

TEST(MatchPath, RememberingPositionsChangesNoResult) {
  std::mt19937 rng(1234);
  const char patternAlphabet[] = {'A', 'B', '\\', ':', '*', '?'};
  const char textAlphabet[] = {'A', 'b', '\\', ':'};
  for (int round = 0; round < 20000; ++round) {
    std::string pattern, text;
    int patternLength = static_cast<int>(rng() % 9);
    int textLength = static_cast<int>(rng() % 9);
    for (int i = 0; i < patternLength; ++i) pattern += patternAlphabet[rng() % sizeof patternAlphabet];
    for (int i = 0; i < textLength; ++i) text += textAlphabet[rng() % sizeof textAlphabet];
    SetMatchStepsBeforeMemo(std::numeric_limits<long>::max());
    int plain = MatchPath(pattern.c_str(), text.c_str(), 0);
    SetMatchStepsBeforeMemo(0);
    int remembered = MatchPath(pattern.c_str(), text.c_str(), 0);
    SetMatchStepsBeforeMemo(4096);
    ASSERT_EQ(plain, remembered) << "pattern '" << pattern << "' text '" << text << "'";
  }
  EXPECT_EQ(LiveAllocationCount(), 0);
}

// Patterns without wildcards give exactly one of the four answers the
// literal rules describe.
TEST(MatchPath, LiteralRules) {
  std::mt19937 rng(99);
  const char alphabet[] = {'a', 'B', '\\', ':'};
  auto fold = [](std::string s) {
    for (char& c : s) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    std::string pattern, text;
    for (int i = 0, n = static_cast<int>(rng() % 6); i < n; ++i) pattern += alphabet[rng() % 4];
    for (int i = 0, n = static_cast<int>(rng() % 6); i < n; ++i) text += alphabet[rng() % 4];
    std::string p = fold(pattern), t = fold(text);
    int expected = 0;
    auto endsWithSeparator = [](const std::string& s) {
      return !s.empty() && (s.back() == '\\' || s.back() == ':');
    };
    if (t == p) {
      expected = 1;
    } else if (t.size() > p.size() && t.starts_with(p) &&
               (t[p.size()] == '\\' || endsWithSeparator(p) ||
                (p.empty() && t.find(':') == std::string::npos))) {
      expected = 4;
    } else if (p.size() > t.size() && p.starts_with(t) &&
               (p[t.size()] == '\\' || endsWithSeparator(t) || t.empty())) {
      expected = 2;
    }
    ASSERT_EQ(MatchPath(pattern.c_str(), text.c_str(), 0), expected)
        << "pattern '" << pattern << "' text '" << text << "'";
  }
}

TEST(SplitLiteralPrefix, Table) {
  for (const match_cases::SplitRow& row : match_cases::kSplitRows) {
    const char sentinel[] = "unwritten";
    const char* rest = sentinel;
    char* leading = SplitLiteralPrefix(row.pattern.c_str(), &rest);
    if (row.leading == nullptr) {
      EXPECT_EQ(leading, nullptr) << row.pattern;
      EXPECT_EQ(rest, sentinel) << row.pattern;
    } else {
      ASSERT_NE(leading, nullptr) << row.pattern;
      EXPECT_STREQ(leading, row.leading) << row.pattern;
      EXPECT_EQ(std::string(rest), row.rest) << row.pattern;
      EXPECT_GE(rest, row.pattern.c_str());
      EXPECT_LE(rest, row.pattern.c_str() + row.pattern.size());
    }
    FreeBytes(leading);
    char* alone = SplitLiteralPrefix(row.pattern.c_str(), nullptr);
    EXPECT_EQ(alone == nullptr, row.leading == nullptr) << row.pattern;
    FreeBytes(alone);
  }
  EXPECT_EQ(LiveAllocationCount(), 0);
}

TEST(SplitLiteralPrefix, RestIsWrittenWhenTheCopyFails) {
  const char* pattern = "A\\B\\*";
  const char* rest = nullptr;
  FailAllocationsAfter(0);
  EXPECT_EQ(SplitLiteralPrefix(pattern, &rest), nullptr);
  FailAllocationsAfter(-1);
  EXPECT_EQ(rest, pattern + 4);
  EXPECT_EQ(LiveAllocationCount(), 0);
}

}  // namespace
