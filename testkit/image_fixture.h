// What the suites of disk images and VM disks share: a registry of one
// controller told apart by its description, the listing kormald gives of
// it, and the shell commands that build images.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "testkit/hive_writer.h"
#include "testkit/test_support.h"

namespace image_fixture {

inline std::string SmallHive(const std::string& description) {
  using hive_writer::Key;
  Key hdc{"hdc", {}, {Key{"0001", {{"PortDriver", 1, "ESDI_506.pdr"}, {"DriverDesc", 1, description}}, {}}}};
  Key services{"Services", {}, {Key{"Class", {}, {std::move(hdc)}}}};
  return hive_writer::Write(Key{"", {}, {Key{"Enum", {}, {Key{"MF", {}, {Key{"X", {{"Driver", 1, "hdc\\0001"}}, {}}}}}},
                                         Key{"System", {}, {Key{"CurrentControlSet", {}, {std::move(services)}}}}}})
      .bytes;
}

inline std::string Row(const std::string& description) {
  return "ID  PORT DRIVER      .INF FILE  DESCRIPTION\n\n01: ESDI_506.pdr             ?  " + description + "\n";
}

// Runs a shell command, failing the test when it fails.
inline void Sh(const std::string& command) {
  auto result = testing_support::RunProgram("/bin/sh", {"-c", command}, {{"MTOOLS_SKIP_CHECK", "1"}});
  ASSERT_EQ(result.status, 0) << command << "\n" << result.err;
}

// A 48 MiB disk at path, as a Windows 98 VM's: one FAT32 partition from
// 1 MiB holding \WINDOWS, and in it hive (a file on the host) as SYSTEM.DAT
// where one is given. Needs sfdisk, mkfs.fat and mtools.
inline void Fat32Disk(const std::string& path, const std::string& hive = "") {
  Sh("truncate -s 48M '" + path + "' && printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk -q '" + path +
     "' && mkfs.fat -F 32 --offset 2048 '" + path + "' 47104 >/dev/null 2>&1 && mmd -i '" + path + "@@1M' ::/WINDOWS" +
     (hive.empty() ? "" : " && mcopy -i '" + path + "@@1M' '" + hive + "' ::/WINDOWS/SYSTEM.DAT"));
}

// Whether every one of the shell's commands named is installed. Where CI
// asks for the references (KORMALD_REQUIRE_REFERENCE), one missing fails
// the test instead of letting it skip unseen.
inline bool HaveTools(const std::string& commands) {
  if (testing_support::RunProgram("/bin/sh", {"-c", "command -v " + commands}).status == 0) return true;
  if (std::getenv("KORMALD_REQUIRE_REFERENCE") != nullptr) {
    ADD_FAILURE() << "one of " << commands << " is not installed, and KORMALD_REQUIRE_REFERENCE asks for them";
  }
  return false;
}

inline std::string Hash(const std::string& file) {
  return testing_support::RunProgram("/usr/bin/sha256sum", {file}).out.substr(0, 64);
}

}  // namespace image_fixture
