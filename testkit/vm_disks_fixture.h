// The fixture the suites of VM disks share: a 48 MiB disk before a
// driver's install and after it (raw, FAT32 in one partition), and kormald
// run on a source, checked to leave the image as it was.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/image_fixture.h"
#include "testkit/test_support.h"
#include "testkit/vm_images.h"
#include "tools/registry_cli.h"

namespace image_fixture {

class VmDisks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTools("sfdisk mkfs.fat mcopy qemu-img qemu-io")) {
      GTEST_SKIP() << "the image tools are not installed";
    }
    dir_ = testing_support::ScratchDir();
    std::string before = testing_support::WriteFile(dir_ + "/before.dat", SmallHive("Before the driver"));
    std::string after = testing_support::WriteFile(dir_ + "/after.dat", SmallHive("After the driver"));
    // The disk before a driver's install and after it: the same disk, but
    // for the clusters of the registry the install rewrote.
    Fat32Disk(dir_ + "/before.img", before);
    Sh("cd '" + dir_ + "' && cp before.img after.img && mcopy -o -i after.img@@1M '" + after + "' ::/WINDOWS/SYSTEM.DAT");
  }

  testing_support::RunResult Kormald(const std::string& source) {
    std::string image = source.substr(0, source.find('#'));
    std::string before = Hash(image);
    auto result = testing_support::RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, source}});
    EXPECT_EQ(Hash(image), before) << "the image changed";
    return result;
  }
  void ExpectListing(const std::string& source, const std::string& description) {
    auto result = Kormald(source);
    EXPECT_EQ(result.status, 0) << source << ": " << result.err;
    EXPECT_EQ(result.out, Row(description)) << source;
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // Writes what the install changed into image, whose disk reads as before.
  void Install(const std::string& image, const std::string& format) {
    std::vector<std::string> args = {"-f", format};
    for (std::string& c : vm_images::WriteChanges(testing_support::ReadFile(Path("before.img")),
                                                  testing_support::ReadFile(Path("after.img")), dir_)) {
      args.push_back(std::move(c));
    }
    args.push_back(Path(image));
    ASSERT_GT(args.size(), 3u);
    auto result = testing_support::RunProgram("/usr/bin/qemu-io", args);
    ASSERT_EQ(result.status, 0) << result.err;
  }

  std::string dir_;
};

}  // namespace image_fixture
