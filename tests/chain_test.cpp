// The chain's rules that every container format shares: where a parent a
// child names is looked for, and how a name from an image is shown.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "diskimage/chain.h"
#include "diskimage/messages.h"
#include "testkit/image_fixture.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

using testing_support::RunProgram;

TEST(LocateParent, EachNameAsWrittenThenBesideTheChild) {
  std::string dir = testing_support::ScratchDir();
  testing_support::WriteFile(dir + "/base", "b");
  std::filesystem::create_directory(dir + "/sub");
  testing_support::WriteFile(dir + "/sub/b2", "b");
  const std::string child = dir + "/child";
  struct Row {
    std::vector<std::string> names;
    std::string found;  // empty: missing, and error is
    std::string error = "";
  } rows[] = {
      {{"base"}, dir + "/base"},
      {{dir + "/base"}, dir + "/base"},
      {{"sub/b2"}, dir + "/sub/b2"},
      // The folder moved whole: an absolute path of the machine that wrote
      // it, or a Windows one, is found by its last name.
      {{"/nowhere/old/base"}, dir + "/base"},
      {{"C:\\VMs\\Win98\\base"}, dir + "/base"},
      {{"gone", "sub\\b2", "base"}, dir + "/base"},
      {{"../x/b2"}, "", child + ": its parent ../x/b2 is missing (looked for at " + dir + "/../x/b2 and " + dir + "/b2)"},
      {{"C:\\VMs\\gone"}, "", child + ": its parent C:\\VMs\\gone is missing (looked for at " + dir + "/gone)"},
      {{"evil\x1b[2J"}, "", child + ": its parent evil\\x1b[2J is missing (looked for at " + dir + "/evil\\x1b[2J)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.names.front());
    std::string error;
    EXPECT_EQ(diskimage::LocateParent(child, row.names, "parent", &error), row.found);
    EXPECT_EQ(error, row.error);
  }
}

TEST(ForTerminal, LinesStayAndNoOtherControlPasses) {
  EXPECT_EQ(diskimage::ForTerminal("a\x1b[31m\n  b\tc\x7f\xc3\xa4"), "a\\x1b[31m\n  b\\x09c\\x7f\xc3\xa4");
}

class Parents : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image_fixture::HaveTools("sfdisk mkfs.fat mcopy qemu-img")) GTEST_SKIP() << "no image tools";
    dir_ = testing_support::ScratchDir();
    testing_support::WriteFile(dir_ + "/hive.dat", image_fixture::SmallHive("Moved whole"));
    image_fixture::Fat32Disk(dir_ + "/disk.img", dir_ + "/hive.dat");
  }
  testing_support::RunResult Kormald(const std::string& source) {
    return RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, source}});
  }
  std::string dir_;
};

// A qcow2 image made over its backing file by an absolute path, its folder
// then moved, is read as a VMDK or VHD child moved so is.
TEST_F(Parents, AnAbsoluteBackingFileIsFoundBesideAChildMovedWithIt) {
  image_fixture::Sh("cd '" + dir_ + "' && mkdir old && qemu-img convert -O qcow2 disk.img old/base.qcow2 && "
                    "qemu-img create -q -f qcow2 -b '" + dir_ + "/old/base.qcow2' -F qcow2 old/child.qcow2 && mv old new");
  auto read = Kormald(dir_ + "/new/child.qcow2");
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, image_fixture::Row("Moved whole"));
}

// A name from a machine's file that would act on the terminal reaches it
// escaped, in the message that names it.
TEST_F(Parents, AMachinesDiskNameReachesNoTerminalRaw) {
  testing_support::WriteFile(dir_ + "/evil.vmx", "config.version = \"8\"\nide0:0.present = \"TRUE\"\n"
                                                 "ide0:0.fileName = \"x|1b]0;owned|07.vmdk\"\n");
  auto read = Kormald(dir_ + "/evil.vmx");
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.err.find('\x1b'), std::string::npos) << read.err;
  EXPECT_EQ(read.err.find('\x07'), std::string::npos) << read.err;
  EXPECT_NE(read.err.find("x\\x1b]0;owned\\x07.vmdk"), std::string::npos) << read.err;
}

}  // namespace
