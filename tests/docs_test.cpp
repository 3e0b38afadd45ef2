// The README and the manual pages say the same things: the same options,
// environment variables and exit statuses for each tool; and the pages
// render without warnings.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

#include "testkit/test_support.h"
#include "tools/exit_status.h"

namespace {

using Names = std::set<std::string>;

std::string Page(const std::string& tool) {
  std::string roff = testing_support::ReadFile(testing_support::SourceDir() + "/man/" + tool + ".1.in");
  // Font changes and escapes away: what a reader sees.
  roff = std::regex_replace(roff, std::regex(R"(\\f[BIRP])"), "");
  roff = std::regex_replace(roff, std::regex(R"(\\-)"), "-");
  return std::regex_replace(roff, std::regex(R"(\\e)"), "\\");
}

// The part of a page from a section heading to the next one.
std::string Section(const std::string& page, const std::string& heading) {
  std::size_t from = page.find(".SH " + heading + "\n");
  if (from == std::string::npos) return "";
  std::size_t to = page.find("\n.SH ", from + 1);
  return page.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// The first word after each .TP: the items of a tagged list.
Names Tags(const std::string& section) {
  Names tags;
  std::regex tag(R"(\.T[PQ]\n\.B[IR]? ([^ \n]+))");
  for (std::sregex_iterator it(section.begin(), section.end(), tag), end; it != end; ++it) tags.insert((*it)[1]);
  return tags;
}

// The part of the README from a heading to the next heading of any level.
std::string Part(const std::string& readme, const std::string& heading) {
  std::size_t from = readme.find(heading + "\n");
  EXPECT_NE(from, std::string::npos) << heading;
  std::size_t to = readme.find("\n#", from + 1);
  return readme.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// The first cells of a table's rows, taken from the first backquoted word
// (options) or the bare number (exit statuses).
Names FirstCells(const std::string& text, const std::string& header) {
  Names cells;
  std::size_t at = text.find(header);
  EXPECT_NE(at, std::string::npos) << header;
  std::regex row(R"(\n\| `?([^ `|]+))");
  std::string table = text.substr(at, text.find("\n\n", at) - at);
  for (std::sregex_iterator it(table.begin(), table.end(), row), end; it != end; ++it) {
    if ((*it)[1] != "---") cells.insert((*it)[1]);
  }
  return cells;
}

Names Variables(const std::string& text) {
  Names names;
  std::regex variable(R"(\bKORMALD_[A-Z_]+|\bLC_ALL\b|\bLC_CTYPE\b|\bLANG\b)");
  for (std::sregex_iterator it(text.begin(), text.end(), variable), end; it != end; ++it) names.insert(it->str());
  return names;
}

TEST(Docs, ReadmeAndManualPagesAgree) {
  std::string readme = testing_support::ReadFile(testing_support::SourceDir() + "/README.md");
  std::string kormald = Page("kormald");
  std::string regwalk = Page("regwalk");

  // The statuses the tools return, as their one header names them.
  auto statuses = [](const auto& list) {
    Names names;
    for (int status : list) names.insert(std::to_string(status));
    return names;
  };
  EXPECT_EQ(Tags(Section(kormald, "EXIT STATUS")), statuses(tools::kKormaldStatuses));
  EXPECT_EQ(Tags(Section(regwalk, "EXIT STATUS")), statuses(tools::kRegwalkStatuses));
  EXPECT_EQ(Tags(Section(kormald, "EXIT STATUS")), FirstCells(Part(readme, "### Exit values"), "| Value |"));
  EXPECT_EQ(Tags(Section(regwalk, "EXIT STATUS")), FirstCells(Part(readme, "## regwalk"), "| Exit status |"));

  // kormald's options are told apart by their first character: the README
  // names each by its example.
  Names kormaldOptions;
  std::string options = Part(readme, "### Options");
  std::regex example(R"(e\.g\. `([^`]+)`)");
  for (std::sregex_iterator it(options.begin(), options.end(), example), end; it != end; ++it) {
    kormaldOptions.insert((*it)[1]);
  }
  EXPECT_EQ(Tags(Section(kormald, "OPTIONS")), kormaldOptions);
  EXPECT_EQ(Tags(Section(regwalk, "OPTIONS")), FirstCells(Part(readme, "## regwalk"), "| Option |"));

  Names variables = Variables(readme);
  EXPECT_FALSE(variables.empty());
  EXPECT_EQ(Tags(Section(kormald, "ENVIRONMENT")), variables);
  EXPECT_EQ(Tags(Section(regwalk, "ENVIRONMENT")), variables);
}

TEST(Docs, ManualPagesRenderWithoutWarnings) {
  for (const char* tool : {"kormald", "regwalk"}) {
    std::string page = std::string(KORMALD_BINARY_DIR) + "/man/" + tool + ".1";
    auto result = testing_support::RunProgram("/usr/bin/groff", {"-ww", "-z", "-man", "-Tutf8", page});
    if (result.status == 127) GTEST_SKIP() << "groff is not installed";
    EXPECT_EQ(result.status, 0) << tool;
    EXPECT_EQ(result.err, "") << tool;
  }
}

TEST(Docs, RegwalkVersionAndHelp) {
  auto version = testing_support::RunProgram(REGWALK_BINARY, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("regwalk (kormald) ") + KORMALD_VERSION + "\n");
  auto help = testing_support::RunProgram(REGWALK_BINARY, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("usage: regwalk")) << help.out;
  EXPECT_EQ(help.err, "");
}

// The Windows download's README.txt is for a Windows user: one screen of
// ASCII (Notepad on Windows 9x shows nothing else right), double quotes
// around patterns, and the exit statuses both tools end with.
TEST(Docs, WindowsReadmeIsOneScreenOfAscii) {
  std::string text = testing_support::ReadFile(testing_support::SourceDir() + "/README-windows.txt");
  EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 150);
  for (unsigned char c : text) ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << "byte " << int{c};
  EXPECT_EQ(text.find("'HK"), std::string::npos) << "a pattern in single quotes, which the MS-DOS prompt keeps";
  EXPECT_NE(text.find("set KORMALD_REGISTRY="), std::string::npos);
  for (int status : tools::kRegwalkStatuses) EXPECT_NE(text.find("\n    " + std::to_string(status) + " "), std::string::npos) << status;
  for (int status : tools::kKormaldStatuses) EXPECT_NE(text.find("\n    " + std::to_string(status) + " "), std::string::npos) << status;
}

}  // namespace
