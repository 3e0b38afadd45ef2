// The fixture the suites of disk images share: a scratch folder with three
// small registries and two MSDOS.SYS files, disks made by sfdisk, FAT
// volumes by mkfs.fat and mtools, and kormald run on them, each run checked
// to leave the image as it was.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "testkit/image_fixture.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace image_fixture {

inline bool HaveImageTools() { return image_fixture::HaveTools("sfdisk mkfs.fat mcopy qemu-img ewfacquire gcab"); }

// A FAT volume at offset (MiB) of image, made and filled with files
// (path in the volume -> file on the host).
inline void Volume(const std::string& image, int offsetMiB, int sizeMiB, int fat,
            const std::vector<std::pair<std::string, std::string>>& files) {
  Sh("mkfs.fat -F " + std::to_string(fat) + " --offset " + std::to_string(offsetMiB * 2048) + " '" + image + "' " +
     std::to_string(sizeMiB * 1024) + " >/dev/null 2>&1");
  std::string at = "'" + image + "@@" + std::to_string(offsetMiB) + "M'";
  for (const auto& [path, host] : files) {
    std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty()) Sh("mmd -D s -i " + at + " ::" + dir + " 2>/dev/null || true");
    Sh("mcopy -i " + at + " '" + host + "' ::" + path);
  }
}


class Images : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveImageTools()) GTEST_SKIP() << "the image tools are not installed";
    dir_ = testing_support::ScratchDir();
    a_ = testing_support::WriteFile(dir_ + "/a.dat", SmallHive("First install"));
    b_ = testing_support::WriteFile(dir_ + "/b.dat", SmallHive("Second install"));
    backup_ = testing_support::WriteFile(dir_ + "/backup.dat", SmallHive("Yesterday"));
    msdosC_ = testing_support::WriteFile(dir_ + "/msdos-c.sys", "[Paths]\r\nWinDir=C:\\WIN98\r\nWinBootDir=C:\\WIN98\r\n");
    msdosD_ = testing_support::WriteFile(dir_ + "/msdos-d.sys", "[Options]\r\nBootGUI=1\r\n[paths]\r\nwindir = d:\\windows\r\n");
  }

  // A disk with the partitions sfdisk's script describes.
  std::string Disk(const std::string& name, int sizeMiB, const std::string& table) {
    std::string image = dir_ + "/" + name;
    Sh("truncate -s " + std::to_string(sizeMiB) + "M '" + image + "' && printf '" + table + "' | sfdisk -q '" + image + "'");
    return image;
  }

  // kormald on a source, checked to leave the image as it was.
  testing_support::RunResult Kormald(const std::string& source, const std::string& image) {
    std::string before = Hash(image);
    auto result = testing_support::RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, source}});
    EXPECT_EQ(Hash(image), before) << "the image changed";
    return result;
  }

  void ExpectListing(const std::string& source, const std::string& image, const std::string& description) {
    auto result = Kormald(source, image);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Row(description)) << source;
  }

  std::string dir_, a_, b_, backup_, msdosC_, msdosD_;
};

}  // namespace image_fixture
