// testkit/ owns what tests, benchmarks and fuzz targets share: the hive
// writer (hive_writer.h, laid out through the reader's layout header), the
// work budget that holds a load to its input's size (work_budget.h), the
// hostile shapes (hostile_shapes.h), the read-everything visitor
// (walk_everything.h), the lister's fixture registry (lister_fixture.h), the
// matcher's case tables (match_cases.h), and here the GoogleTest fixtures:
// registries built from .reg text, files in a scratch directory, and
// running the built programs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "store/api.h"

namespace testing_support {

// Installs the registry a REGEDIT4 text describes (the header is added).
void InstallReg(std::string_view body);

// The full path of each key of the installed registry below its stored
// roots, as "path" lines, and of each value as "path|name|type|hex data",
// the data as the registry calls hand it out.
std::vector<std::string> DumpRegistry();
// One value's line of that dump: "path|name|type|hex data".
std::string ValueLine(std::string_view path, std::string_view name, std::uint32_t type, std::string_view served);

// A fresh scratch directory for one test, removed at exit.
std::string ScratchDir();
std::string WriteFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  long peakKiB = -1;  // RunProgramWithPeak: the most memory the program held
};
// Runs a program with the given arguments and extra environment (a value of
// "\x01unset" removes the variable), standard input from /dev/null. Where
// KORMALD_WINDOWS_TWIN names the Windows build's tree, a run of kormald or
// regwalk runs that build's too, under Wine, and fails the test where its
// status, output or messages differ (but for VHDX and E01, which it
// refuses by name). Unless
// env says otherwise, LC_ALL is C and KORMALD_CODEPAGE is unset, so that
// output is the registry's bytes.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {},
              const std::string& stdoutPath = "");

// The same, and the most memory the program held (GNU time's count).
RunResult RunProgramWithPeak(const std::string& program, const std::vector<std::string>& args,
                              const std::map<std::string, std::string>& env = {});

// Within its scope, the programs run on Linux alone, not also as the
// Windows build under Wine (KORMALD_WINDOWS_TWIN): for what only Linux
// has, such as a block device.
struct LinuxOnly {
  LinuxOnly();
  ~LinuxOnly();
  LinuxOnly(const LinuxOnly&) = delete;
  LinuxOnly& operator=(const LinuxOnly&) = delete;
};

std::string SourceDir();
std::string SharedHive();  // the real Windows Me SYSTEM.DAT, or "" if absent

}  // namespace testing_support
