// The one search for the Windows directory, as a read makes it and as the
// listing shows it: every selector the listing gives reads the directory
// it is listed for, and MSDOS.SYS on the boot volume chooses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/image_fixture.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

using image_fixture::Row;
using image_fixture::Sh;
using image_fixture::SmallHive;
using testing_support::RunProgram;

// A text listing's field, its escapes undone as regwalk(1) says.
std::string Unescaped(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    char next = field[++i];
    if (next == 'x' && i + 2 < field.size()) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
  }
  return out;
}

class WindowsSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image_fixture::HaveTools("mkfs.fat mcopy sfdisk")) GTEST_SKIP() << "no image tools";
    dir_ = testing_support::ScratchDir();
    testing_support::WriteFile(dir_ + "/windows.dat", SmallHive("In WINDOWS"));
    testing_support::WriteFile(dir_ + "/win98.dat", SmallHive("In WIN98"));
    // A bare volume with two Windows directories.
    Sh("cd '" + dir_ + "' && truncate -s 16M two.img && mkfs.fat -F 16 two.img >/dev/null && mmd -i two.img ::/WINDOWS"
       " ::/WIN98 && mcopy -i two.img windows.dat ::/WINDOWS/SYSTEM.DAT && mcopy -i two.img win98.dat ::/WIN98/SYSTEM.DAT");
  }
  testing_support::RunResult Kormald(const std::string& source) {
    return RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, source}});
  }
  // The selector of each windows record, and the directory it is for.
  std::vector<std::pair<std::string, std::string>> Listed(const std::string& image) {
    auto listed = RunProgram(REGWALK_BINARY, {"--list-images", image});
    EXPECT_EQ(listed.status, 0) << listed.err;
    std::vector<std::pair<std::string, std::string>> records;
    for (std::size_t at = 0; (at = listed.out.find("windows\t", at)) != std::string::npos; ++at) {
      std::string line = listed.out.substr(at, listed.out.find('\n', at) - at);
      std::size_t last = line.rfind('\t'), before = line.rfind('\t', last - 1);
      records.emplace_back(Unescaped(line.substr(last + 1)), Unescaped(line.substr(before + 1, last - before - 1)));
    }
    return records;
  }
  std::string dir_;
};

TEST_F(WindowsSearch, EachListedSelectorReadsItsDirectory) {
  std::string image = dir_ + "/two.img";
  auto records = Listed(image);
  // Two on one volume: each named by its path, \WINDOWS too.
  ASSERT_EQ(records, (std::vector<std::pair<std::string, std::string>>{
                         {image + "#part=0&path=\\WINDOWS", "C:\\WINDOWS"}, {image + "#part=0&path=\\WIN98", "C:\\WIN98"}}));
  EXPECT_EQ(Kormald(records[0].first).out, Row("In WINDOWS"));
  EXPECT_EQ(Kormald(records[1].first).out, Row("In WIN98"));
  auto neither = Kormald(image);
  EXPECT_EQ(neither.status, 1);
  EXPECT_NE(neither.err.find("2 Windows directories, and no MSDOS.SYS to choose between them"), std::string::npos);
}

TEST_F(WindowsSearch, MsdosSysOnTheBootVolumeChooses) {
  std::string image = dir_ + "/two.img";
  testing_support::WriteFile(dir_ + "/msdos.sys", "[Paths]\r\nWinDir=C:\\WIN98\r\n");
  // A bare volume has no letter: a disk of one partition gives it C:.
  Sh("cd '" + dir_ + "' && truncate -s 20M disk.img && printf 'label: dos\\nstart=2048, type=6\\n' | sfdisk -q disk.img"
     " && dd if=two.img of=disk.img bs=1M seek=1 conv=notrunc 2>/dev/null && mcopy -i disk.img@@1M msdos.sys ::/MSDOS.SYS");
  std::string disk = dir_ + "/disk.img";
  auto read = Kormald(disk);
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, Row("In WIN98"));
  // An MSDOS.SYS no DOS wrote is refused as what it is.
  Sh("cd '" + dir_ + "' && head -c 1048577 /dev/zero | tr '\\0' ' ' > big.sys && mcopy -o -i disk.img@@1M big.sys ::/MSDOS.SYS");
  auto big = Kormald(disk);
  EXPECT_EQ(big.status, 1);
  EXPECT_EQ(big.err, "kormald: " + disk + ": partition 1 (C:): \\MSDOS.SYS is too large for an MSDOS.SYS (1048577 bytes; "
                     "at most 1048576 are read of one)\n");
}

}  // namespace
