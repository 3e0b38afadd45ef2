// The .reg loader: every syntax it reads, and input it must refuse.
#include "regfile/regfile.h"

#include <gtest/gtest.h>

#include "testkit/reg_cases.h"
#include "testkit/test_support.h"
#include "text/text.h"

namespace {

using testing_support::DumpRegistry;

// Loads bytes as one file; returns the error, or "" after installing it.
std::string Load(std::string_view bytes) {
  auto reg = std::make_unique<store::Registry>();
  std::string error;
  if (!regfile::LoadRegFile(*reg, bytes, "x.reg", &error)) return error;
  store::InstallRegistry(std::move(reg));
  return "";
}

std::vector<std::string> Values() {
  std::vector<std::string> values;
  for (const std::string& line : DumpRegistry()) {
    if (line.find('|') != std::string::npos) values.push_back(line);
  }
  return values;
}

const std::string K = "HKEY_LOCAL_MACHINE\\K|";

TEST(RegFile, KeysMergeAndDelete) {
  ASSERT_EQ(Load("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"x\"=\"1\"\r\n"
                 "[HKEY_LOCAL_MACHINE\\C]\r\n[hkey_local_machine\\a\\b]\r\n\"y\"=\"2\"\r\n"
                 "[HKEY_LOCAL_MACHINE\\D\\E]\r\n[-HKEY_LOCAL_MACHINE\\D]\r\n[-HKEY_LOCAL_MACHINE\\Never]\r\n"),
            "");
  std::vector<std::string> expected = {
      "HKEY_LOCAL_MACHINE",     "HKEY_LOCAL_MACHINE\\A", "HKEY_LOCAL_MACHINE\\A\\B",
      K.substr(0, 19) + "A\\B|x|1|3100",
      K.substr(0, 19) + "A\\B|y|1|3200",
      "HKEY_LOCAL_MACHINE\\C",  "HKEY_USERS", "HKEY_DYN_DATA"};
  EXPECT_EQ(DumpRegistry(), expected);
}

TEST(RegFile, ViewsWriteIntoTheirTargets) {
  ASSERT_EQ(Load("REGEDIT4\n[HKEY_CLASSES_ROOT\\.txt]\n[HKEY_CURRENT_USER\\Software]\n"
                 "[HKEY_CURRENT_CONFIG\\Display]\n"),
            "");
  std::vector<std::string> expected = {
      "HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE\\SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes",
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.txt", "HKEY_LOCAL_MACHINE\\Config",
      "HKEY_LOCAL_MACHINE\\Config\\0001", "HKEY_LOCAL_MACHINE\\Config\\0001\\Display",
      "HKEY_USERS", "HKEY_USERS\\.DEFAULT", "HKEY_USERS\\.DEFAULT\\Software", "HKEY_DYN_DATA"};
  EXPECT_EQ(DumpRegistry(), expected);
}

std::string Utf16(std::string_view text) { return "\xff\xfe" + reg_cases::Utf16Le(text); }

TEST(RegFile, Version5Encodings) {
  const std::string body =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"t\"\r\n"
      "\"E\"=hex(2):25,00,41,00,25,00,00,00\r\n";
  std::vector<std::string> expected = {K + "A|1|7400", K + "E|2|25412500"};
  ASSERT_EQ(Load(Utf16(body)), "");
  EXPECT_EQ(Values(), expected);
  ASSERT_EQ(Load("\xEF\xBB\xBF" + body), "");
  EXPECT_EQ(Values(), expected);
  ASSERT_EQ(Load(body), "");
  EXPECT_EQ(Values(), expected);
  // Characters beyond ASCII become UTF-8, surrogate pairs included.
  std::string utf16 = Utf16("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\K]\n\"");
  utf16 += std::string("\xe4\x00\x3d\xd8\x00\xde", 6);
  utf16 += Utf16("\"=\"\"\n").substr(2);
  ASSERT_EQ(Load(utf16), "");
  EXPECT_EQ(Values(), std::vector<std::string>{K + "\xc3\xa4\xf0\x9f\x98\x80|1|00"});
}

struct BadRow {
  const char* what;
  std::string bytes;
  std::string error;
};

void PrintTo(const BadRow& row, std::ostream* os) { *os << row.what; }

class NotAnExport : public ::testing::TestWithParam<BadRow> {};

// Only a file that is no registry export is refused whole.
TEST_P(NotAnExport, IsRefusedWhole) {
  const BadRow& row = GetParam();
  EXPECT_EQ(Load(row.bytes), row.error) << row.what;
}

INSTANTIATE_TEST_SUITE_P(Errors, NotAnExport, ::testing::Values(
    BadRow{"empty", "", "x.reg:1: empty file: expected REGEDIT4 or Windows Registry Editor Version 5.00"},
    BadRow{"empty UTF-16", "\xff\xfe",
           "x.reg:1: empty file: expected REGEDIT4 or Windows Registry Editor Version 5.00"},
    BadRow{"no header", "[HKEY_LOCAL_MACHINE\\K]\n",
           "x.reg:1: not a registry export: expected REGEDIT4 or Windows Registry Editor Version 5.00, "
           "found '[HKEY_LOCAL_MACHINE\\K]'"},
    BadRow{"a header regedit imports nothing from", "REGEDIT 4\n[HKEY_LOCAL_MACHINE\\K]\n",
           "x.reg:1: not a registry export: expected REGEDIT4 or Windows Registry Editor Version 5.00, "
           "found 'REGEDIT 4'"},
    BadRow{"control bytes in the header are shown escaped", "REGEDIT4\x1b[2J\n",
           "x.reg:1: not a registry export: expected REGEDIT4 or Windows Registry Editor Version 5.00, "
           "found 'REGEDIT4\\x1b[2J'"},
    BadRow{"Windows 3.1", "REGEDIT\r\nHKEY_CLASSES_ROOT\\.txt = txtfile\r\n",
           "x.reg:1: a Windows 3.1 registration file (REGEDIT): not read, only REGEDIT4 and version 5 exports"}));

// --- The case table: the registry regedit leaves, and the lines named. ---

// What a case's file leaves below the case's key, written from "K".
std::vector<std::string> CaseRegistry() {
  const std::string stored = "HKEY_USERS\\.DEFAULT\\Software\\KormaldCase";
  std::vector<std::string> lines;
  for (const std::string& line : DumpRegistry()) {
    if (!line.starts_with(stored)) continue;
    std::string rest = line.substr(stored.size());
    if (!rest.empty() && rest.front() != '\\' && rest.front() != '|') continue;
    lines.push_back("K" + rest);
  }
  return lines;
}

struct CaseRun {
  const reg_cases::RegCase* c;
  bool version5;
};

void PrintTo(const CaseRun& run, std::ostream* os) { *os << run.c->what << (run.version5 ? " (version 5)" : ""); }

class Cases : public ::testing::TestWithParam<CaseRun> {};

TEST_P(Cases, LeaveTheRegistryWindowsLeavesAndNameWhatIsLeftOut) {
  const reg_cases::RegCase& c = *GetParam().c;
  static auto toWestern = text::TextConverter::Open("UTF-8", "CP1252");
  std::string bytes = reg_cases::FileBytes(c, GetParam().version5);
  auto reg = std::make_unique<store::Registry>();
  std::string error;
  regfile::RegFileReport report;
  ASSERT_TRUE(regfile::LoadRegFile(*reg, bytes, "case.reg", &error, toWestern.get(), &report)) << error;
  std::vector<std::string> notes;
  for (const std::string& note : reg->LoadNotes()) notes.push_back(note.substr(std::string("case.reg:").size()));
  ASSERT_EQ(notes.size(), c.notes.size()) << ::testing::PrintToString(notes);
  for (std::size_t i = 0; i < notes.size(); ++i) {
    EXPECT_TRUE(notes[i].starts_with(c.notes[i])) << notes[i] << "\nexpected to begin: " << c.notes[i];
  }
  bool anyLeftOut = report.leftOut > 0;
  EXPECT_EQ(reg->SomethingLeftOut(), anyLeftOut);
  EXPECT_EQ(report.linesTaken + report.linesLeftOut, report.lines);
  EXPECT_EQ(report.leftOut + report.changed, c.notes.size());
  store::InstallRegistry(std::move(reg));
  EXPECT_EQ(CaseRegistry(), c.registry);
}

std::vector<CaseRun> AllRuns() {
  std::vector<CaseRun> runs;
  for (const reg_cases::RegCase& c : reg_cases::kCases) {
    if (c.formats != reg_cases::Formats::kOnly5) runs.push_back({&c, false});
    if (c.formats != reg_cases::Formats::kOnly4) runs.push_back({&c, true});
  }
  return runs;
}

INSTANTIATE_TEST_SUITE_P(Table, Cases, ::testing::ValuesIn(AllRuns()));

// Notes past the first twenty of a file are counted in one more line; a
// value's continuation lines are left out with it, counted once.
TEST(RegFile, NotesPastTheCapAreCounted) {
  std::string body = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n";
  for (int i = 0; i < 30; ++i) body += "junk\n";
  body += "\"v\"=hex:01,\\\n  02,\\\n  zz\n\"w\"=\"kept\"\n";
  auto reg = std::make_unique<store::Registry>();
  std::string error;
  regfile::RegFileReport report;
  ASSERT_TRUE(regfile::LoadRegFile(*reg, body, "x.reg", &error, nullptr, &report)) << error;
  ASSERT_EQ(reg->LoadNotes().size(), 21U);
  EXPECT_EQ(reg->LoadNotes()[0], "x.reg:3: line left out: not a key, a value or a comment: 'junk'");
  EXPECT_EQ(reg->LoadNotes()[20], "x.reg: 1 more value and 10 more lines left out or changed, not named one by one");
  // Broken values, each of two lines: the count is of values.
  std::string values = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n";
  for (int i = 0; i < 25; ++i) values += "\"v\"=hex:01,\\\n  zz\n";
  auto other = std::make_unique<store::Registry>();
  ASSERT_TRUE(regfile::LoadRegFile(*other, values, "y.reg", &error)) << error;
  EXPECT_EQ(other->LoadNotes().back(), "y.reg: 5 more values left out or changed, not named one by one");
  EXPECT_EQ(report.leftOut, 31U);
  EXPECT_EQ(report.lines, 36U);
  EXPECT_EQ(report.linesLeftOut, 33U);
  EXPECT_EQ(report.linesTaken, 3U);
}

// UTF-16 that is no text leaves out its line alone.
TEST(RegFile, BrokenUtf16LeavesOutItsLine) {
  std::string utf16 = Utf16("Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"a\"=\"");
  utf16 += std::string("\x00\xd8", 2);
  utf16 += reg_cases::Utf16Le("\"\r\n\"b\"=\"1\"\r\n\"c\"=\"2\"");
  utf16 += 'x';  // half a character at the end
  auto reg = std::make_unique<store::Registry>();
  std::string error;
  ASSERT_TRUE(regfile::LoadRegFile(*reg, utf16, "x.reg", &error)) << error;
  std::vector<std::string> expected = {
      "x.reg:3: line left out: is not UTF-16 text (a lone surrogate or half a character)",
      "x.reg:5: line left out: is not UTF-16 text (a lone surrogate or half a character)"};
  EXPECT_EQ(reg->LoadNotes(), expected);
  store::InstallRegistry(std::move(reg));
  EXPECT_EQ(Values(), std::vector<std::string>{K + "b|1|3100"});
}

}  // namespace
