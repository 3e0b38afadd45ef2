// The matcher's edge cases, shared by the library tests and the tests of
// regwalk --match.
#pragma once

#include <string>
#include <vector>

namespace match_cases {

struct MatchRow {
  std::string pattern;
  std::string text;
  int expected;
  int caseFlag = 0;
};

inline std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

inline const std::vector<MatchRow> kLiterals = {
    {"A\\B", "A\\B", 1},
    {"A\\B", "a\\b", 1},
    {"A\\B", "a\\b", 0, 1},
    {"a\\b", "A\\B", 0, 1},
    {"A\\B", "A", 2},
    {"A\\B", "A\\", 2},
    {"A\\B", "A\\B\\C", 4},
    {"A\\B\\", "A\\B\\", 1},
    {"A\\B", "A\\BC", 0},
    {"A\\B", "A\\\\B", 0},
    {"A\\B\\", "A\\B", 2},
    {"", "", 1},
    {"", "X", 4},
    {"X", "", 2},
    {"\xE4\\B", "\xE4\\B", 1},
    {"\xE4", "\xC4", 0}};

inline const std::vector<MatchRow> kWildcards = {
    {"*", "X", 5},
    {"*", "X\\Y", 4},
    {"*", "", 3},
    {"?", "", 2},
    {"A?", "A", 0},
    {"A\\B*", "A\\BCD", 1},
    {"A\\*", "A\\X", 5},
    {"A\\*", "A\\X\\Y", 4},
    {"A\\*", "A\\", 3},
    {"A\\*\\C", "A\\X\\C", 1},
    {"A\\*\\C", "A\\X", 2},
    {"A\\?", "A\\XY", 0},
    {"A\\?", "A", 2},
    {"A\\?", "A\\\\", 0}};

inline const std::vector<MatchRow> kDeepStars = {
    {"A\\**", "A\\X\\Y", 7},
    {"A\\**C", "A\\C", 1},
    {"A\\**C", "A\\X\\Y\\C", 1},
    {"A\\**C", "A\\XC", 2},
    {"A\\**\\C", "A\\X\\C", 2},
    {"A**", "A\\X", 7},
    {"A**", "A", 3},
    {"**", "A", 7},
    {"**A", "A", 1},
    {"A**", "AB", 0}};

inline const std::vector<MatchRow> kStarRuns = {
    {"***", "X\\Y", 5},
    {"**", "X\\Y", 7},
    {"A***", "AX", 0},
    {"A****", "AX", 3}};

inline const std::vector<MatchRow> kColons = {
    {"A:**B", "A:X\\B", 1},
    {"A:**B", "A:X:B", 2},
    {"*", "C:\\X", 0},
    {"C:\\*", "C:\\X", 5},
    {"C:", "C:X", 4},
    {"", "C:", 0},
    {"C:?", "C::", 0}};

inline const std::vector<MatchRow> kLimits = {
    {Repeat('A', 513), "anything", 0},
    {Repeat('A', 513), Repeat('A', 513), 1},
    {Repeat('A', 514), "anything", -1},
    {"A\tB", "anything", -1},
    {"\x1F", "anything", -1},
    {"A", "A\tB", 0},
    {"A\tB", "A\tB", -1}};

struct SplitRow {
  std::string pattern;
  const char* leading;  // null: no result
  std::string rest;
};

inline const std::vector<SplitRow> kSplitRows = {
      {"HKEY_LOCAL_MACHINE\\Enum\\PCI\\*", "HKEY_LOCAL_MACHINE\\Enum\\PCI", "*"},
      {"HKEY_LOCAL_MACHINE\\Enum", "HKEY_LOCAL_MACHINE\\Enum", ""},
      {"A\\B?\\C", "A", "B?\\C"},
      {"*\\X", "", "*\\X"},
      {"C:\\X\\*", "C:\\X", "*"},
      {"A\\\\B\\*", "A\\\\B", "*"},
      {"A\\\\*", "A\\\\", "*"},
      {"A\\B\\", "A\\B\\", ""},
      {"\\\\A\\B*", "\\\\A", "B*"},
      {"*:X\\Y", "*:X\\Y", ""},
      {"\\*", "\\", "*"},
      {"C:\\*", "C:\\", "*"},
      {"A:B:C*", "A:B:", "C*"},
      {"A\x01\\*", nullptr, "unwritten"},
      {"A*\x01", "", "A*\x01"},
      {"", "", ""},
  };

inline std::vector<MatchRow> AllRows() {
  std::vector<MatchRow> all;
  for (const auto* table : {&kLiterals, &kWildcards, &kDeepStars, &kStarRuns, &kColons, &kLimits}) all.insert(all.end(), table->begin(), table->end());
  return all;
}

}  // namespace match_cases
