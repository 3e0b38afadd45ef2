// The selectors a listing offers for a qcow2 image's snapshots read what
// the listing says they read, whatever the snapshots are named: a name
// that is another snapshot's ID, a name two share, a name holding the
// selector's own separators, and the choices a refusal offers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/image_fixture.h"
#include "testkit/test_support.h"
#include "testkit/vm_images.h"
#include "tools/registry_cli.h"

namespace {

using image_fixture::Row;
using image_fixture::Sh;
using image_fixture::SmallHive;
using testing_support::RunProgram;

// A saved state: its name, and the description its registry gives.
struct State {
  std::string name;
  std::string description;
};

// The selector field of each snapshot record of a text listing.
std::vector<std::string> SnapshotSelectors(const std::string& listing) {
  std::vector<std::string> selectors;
  for (std::size_t at = 0; (at = listing.find("snapshot\t", at)) != std::string::npos; ++at) {
    if (at != 0 && listing[at - 1] != '\n') continue;
    std::size_t end = listing.find('\n', at);
    std::string line = listing.substr(at, end - at);
    selectors.push_back(line.substr(line.rfind('\t') + 1));
  }
  return selectors;
}

TEST(SnapshotSelectors, EachReadsTheStateItIsListedFor) {
  if (!image_fixture::HaveTools("sfdisk mkfs.fat mcopy qemu-img qemu-io")) GTEST_SKIP() << "no image tools";
  std::string dir = testing_support::ScratchDir();
  // IDs are given in this order, from 1: the second's name is "x&y", the
  // first's name is "2", the second's ID.
  const std::vector<State> states = {{"2", "Named two"},      {"x&y", "Ampersand"},     {"twin", "First twin"},
                                     {"twin", "Second twin"}, {"100% = #1", "Percent"}, {"hurt", "Damaged"}};
  image_fixture::Fat32Disk(dir + "/base.img");
  std::string previous = dir + "/base.img";
  Sh("cd '" + dir + "' && qemu-img convert -O qcow2 base.img states.qcow2");
  const std::string image = dir + "/states.qcow2";
  for (std::size_t i = 0; i <= states.size(); ++i) {
    // Each state's disk, written into the image over the one before.
    std::string bytes = SmallHive(i < states.size() ? states[i].description : "Current");
    // The last snapshot's hive damaged inside a key's record.
    if (i + 1 == states.size()) bytes.replace(bytes.find("RGDB") + 64, 8, 8, '\xFF');
    std::string hive = testing_support::WriteFile(dir + "/state.dat", bytes);
    std::string disk = dir + "/state" + std::to_string(i) + ".img";
    Sh("cp '" + previous + "' '" + disk + "' && mcopy -o -i '" + disk + "@@1M' '" + hive + "' ::/WINDOWS/SYSTEM.DAT");
    std::vector<std::string> args = {"-f", "qcow2"};
    for (std::string& c : vm_images::WriteChanges(testing_support::ReadFile(previous), testing_support::ReadFile(disk),
                                                  dir)) {
      args.push_back(std::move(c));
    }
    args.push_back(image);
    ASSERT_EQ(RunProgram("/usr/bin/qemu-io", args).status, 0);
    previous = disk;
    if (i < states.size()) Sh("qemu-img snapshot -c '" + states[i].name + "' '" + image + "'");
  }

  auto listed = RunProgram(REGWALK_BINARY, {"--list-images", image});
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::vector<std::string> selectors = SnapshotSelectors(listed.out);
  EXPECT_EQ(selectors, (std::vector<std::string>{image + "#snapshot=2", image + "#snapshot=x%26y",
                                                 image + "#snapshot-id=3", image + "#snapshot-id=4",
                                                 image + "#snapshot=100%25 %3D %231", image + "#snapshot=hurt"}));
  ASSERT_EQ(selectors.size(), states.size());
  for (std::size_t i = 0; i + 1 < states.size(); ++i) {
    auto read = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, selectors[i]}});
    EXPECT_EQ(read.status, 0) << selectors[i] << ": " << read.err;
    EXPECT_EQ(read.out, Row(states[i].description)) << selectors[i];
  }
  // Damage in a saved state's hive names the state, as its selector: a
  // diff of two states of one image says which is damaged.
  auto hurt = RunProgram(REGWALK_BINARY, {"--diff", image + "#snapshot=hurt", image, "HKLM\\**"});
  EXPECT_NE(hurt.err.find("regwalk: " + image + "#snapshot=hurt: partition 1 (C:): \\WINDOWS\\SYSTEM.DAT: "),
            std::string::npos)
      << hurt.err;

  // A name two snapshots share is refused, offering each by its ID, and
  // each offer reads its state.
  auto twins = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, image + "#snapshot=twin"}});
  EXPECT_EQ(twins.status, 1);
  EXPECT_EQ(twins.err, "kormald: " + image + ": 2 snapshots are named 'twin'; choose one by its ID:\n  twin   (ID 3; "
                       "choose it with " + image + "#snapshot-id=3)\n  twin   (ID 4; choose it with " + image +
                       "#snapshot-id=4)\n");
  // By ID, a name that is an ID is passed over.
  auto byId = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, image + "#snapshot-id=2"}});
  EXPECT_EQ(byId.out, Row("Ampersand")) << byId.err;
  auto none = RunProgram(KORMALD_BINARY, {}, {{tools::kRegistryVariable, image + "#snapshot-id=9"}});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find(": no snapshot has the ID '9'; its snapshots:\n  2   (ID 1; choose it with " + image +
                          "#snapshot=2)\n"),
            std::string::npos)
      << none.err;
}

}  // namespace
