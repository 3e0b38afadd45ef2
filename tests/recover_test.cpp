// Recovering the key records a hive keeps in its free space: deleted keys
// and earlier versions of keys, whole or partial, never guessed.
#include <gtest/gtest.h>

#include <cstring>

#include "hive/layout.h"
#include "testkit/hive_writer.h"
#include "testkit/test_support.h"
#include "hive/recover.h"

namespace {

namespace layout = hive::layout;

using hive_writer::Key;
using testing_support::RunProgram;

// Parent with ten subkeys of two values each; depth-first indices: 1 the
// parent, 2 + i subkey Ci. Five records a block: C0 to C3 close block 0
// after the parent, C4 to C8 fill block 1, C9 starts block 2.
Key Tree() {
  Key parent{"Parent", {}, {}};
  for (int i = 0; i < 10; ++i) {
    parent.children.push_back(Key{"C" + std::to_string(i), {{"S", 1, "text" + std::to_string(i)}, {"N", 4, "abcd"}}, {}});
  }
  return Key{"", {}, {std::move(parent)}};
}

// Deletes subkey Ci as Windows does: its record is marked free, and its
// entry leaves the chain of its siblings.
void Delete(hive_writer::Hive& hive, int i) {
  std::size_t k = 2 + static_cast<std::size_t>(i);
  hive_writer::PutU16(hive.bytes, hive.recordAt[k] + layout::record::kNumber, layout::kNoNumber);
  std::uint32_t next = hive_writer::GetU32(hive.bytes, hive.entryAt[k] + layout::entry::kNext);
  std::size_t link = i == 0 ? hive.entryAt[1] + layout::entry::kFirstChild : hive.entryAt[k - 1] + layout::entry::kNext;
  hive_writer::PutU32(hive.bytes, link, next);
}

hive::Recovery Recover(const std::string& bytes, std::string* error = nullptr) {
  hive::Recovery recovery;
  std::string ignored;
  bool ok = hive::RecoverDeletedKeys(hive::CopyHiveBytes(bytes), "T.DAT",
                                         &recovery, error != nullptr ? error : &ignored);
  EXPECT_TRUE(ok || error != nullptr);
  return recovery;
}

std::string Dump(const hive::RecoveredKey& key) {
  std::string out = std::string(key.name) + (key.lost.empty() ? "" : " (partial: " + key.lost + ")");
  for (const store::Value& v : key.values) out += "|" + std::string(v.name) + "=" + std::string(v.data);
  return out;
}

TEST(Recover, DeletedKeysAtTheStartMiddleAndEndOfABlock) {
  hive_writer::Hive hive = hive_writer::Write(Tree(), {5, false, true});
  for (int i : {4, 6, 8}) Delete(hive, i);  // block 1: its first, middle and last record
  hive::Recovery recovery = Recover(hive.bytes);
  ASSERT_EQ(recovery.keys.size(), 3U);
  for (std::size_t j = 0; j < 3; ++j) {
    int i = 4 + 2 * static_cast<int>(j);
    EXPECT_EQ(recovery.keys[j].offset, hive.recordAt[2 + static_cast<std::size_t>(i)]);
    EXPECT_EQ(Dump(recovery.keys[j]), "C" + std::to_string(i) + "|S=text" + std::to_string(i) + "|N=abcd");
  }
  // Three deleted records and the free record closing each of the three blocks.
  EXPECT_EQ(recovery.freeRecords, 6U);
}

TEST(Recover, RecordCutByDamageIsPartialAndSaysWhatIsLost) {
  hive_writer::Hive hive = hive_writer::Write(Tree(), {5, false, true});
  Delete(hive, 6);
  hive_writer::PutU16(hive.bytes, hive.recordAt[8] + layout::record::kValueCount, 5);  // five values said, two there
  hive::Recovery recovery = Recover(hive.bytes);
  ASSERT_EQ(recovery.keys.size(), 1U);
  EXPECT_EQ(Dump(recovery.keys[0]),
            "C6 (partial: 3 of 5 values run past the record's end and are lost)|S=text6|N=abcd");
}

TEST(Recover, FreeRecordReusingPartOfAnOlderOne) {
  hive_writer::Hive hive = hive_writer::Write(Tree(), {5, false, true});
  Delete(hive, 6);
  // A rewrite split the record after its first value: the old header still
  // starts there, now 40 bytes long, and the rest is a free record whose
  // first bytes are the old second value.
  std::size_t at = hive.recordAt[8];
  std::uint32_t size = hive_writer::GetU32(hive.bytes, at);
  hive_writer::PutU32(hive.bytes, at + layout::record::kSize, 40);
  hive_writer::PutU32(hive.bytes, at + 40 + layout::record::kSize, size - 40);
  hive_writer::PutU16(hive.bytes, at + 40 + layout::record::kNumber, layout::kNoNumber);
  hive::Recovery recovery = Recover(hive.bytes);
  ASSERT_EQ(recovery.keys.size(), 1U);
  EXPECT_EQ(Dump(recovery.keys[0]), "C6 (partial: 1 of 2 values run past the record's end and are lost)|S=text6");
  EXPECT_EQ(recovery.freeRecords, 5U);  // the two halves and the three closing records
}

TEST(Recover, NameThatNoKeyNameCanHoldIsPartial) {
  hive_writer::Hive hive = hive_writer::Write(Tree(), {5, false, true});
  Delete(hive, 6);
  hive.bytes[hive.recordAt[8] + layout::record::kName + 1] = '\\';
  hive::Recovery recovery = Recover(hive.bytes);
  ASSERT_EQ(recovery.keys.size(), 1U);
  EXPECT_EQ(Dump(recovery.keys[0]), "C\\ (partial: the key name holds bytes no key name can hold)|S=text6|N=abcd");
}

TEST(Recover, HostileBlocksGiveWhatDecodesAndACount) {
  // Every record free.
  hive_writer::Hive all = hive_writer::Write(Tree(), {5, false, true});
  for (std::size_t k = 1; k < all.recordAt.size(); ++k) hive_writer::PutU16(all.bytes, all.recordAt[k] + layout::record::kNumber, layout::kNoNumber);
  EXPECT_EQ(Recover(all.bytes).keys.size(), 11U);
  // A record that claims to run past its block's end ends the block's tiling.
  hive_writer::Hive over = hive_writer::Write(Tree(), {5, false, true});
  Delete(over, 4);
  Delete(over, 8);
  hive_writer::PutU32(over.bytes, over.recordAt[7], 0x7FFFFFFF);
  hive::Recovery cut = Recover(over.bytes);
  ASSERT_EQ(cut.keys.size(), 1U);
  EXPECT_EQ(cut.keys[0].name, "C4");
  // A block of garbage: nothing decodes, nothing breaks.
  hive_writer::Hive garbage = hive_writer::Write(Tree(), {5, false, true});
  std::size_t from = garbage.recordAt[6];
  for (std::size_t i = from; i < from + 600 && i < garbage.bytes.size(); ++i) {
    garbage.bytes[i] = static_cast<char>((i * 37) ^ 0xA5);
  }
  Recover(garbage.bytes);
  // A broken frame cannot be searched.
  std::string error;
  Recover(std::string("CREG"), &error);
  EXPECT_EQ(error, "T.DAT: offset 0x4: file ends inside the header (4 bytes)");
}

TEST(Recover, SharedHiveGivesItsDeletedDisplayAdapter) {
  std::string hive = testing_support::SharedHive();
  if (hive.empty()) GTEST_SKIP() << "no shared hive";
  auto list = RunProgram(REGWALK_BINARY, {"-f", hive, "--deleted"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.err, "regwalk: " + hive + ": 93 free records: 76 decode as key records (0 of them partial), 17 do not\n");
  std::size_t records = 0;
  for (std::size_t at = list.out.find(": offset 0x"); at != std::string::npos; at = list.out.find(": offset 0x", at + 1)) {
    ++records;
  }
  EXPECT_EQ(records, 76U);

  auto one = RunProgram(REGWALK_BINARY, {"-f", hive, "--deleted", "-v", "bus_00&dev_02&func_00"});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.out,
            hive + ": offset 0x9665e: BUS_00&DEV_02&FUNC_00\n"
            "  maybe an earlier version of HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_80EE&DEV_BEEF&SUBSYS_00000000&REV_00"
            "\\BUS_00&DEV_02&FUNC_00\n"
            "  \"Capabilities\"=hex:14,00,00,00\n"
            "  \"HardwareID\"=\"PCI\\\\VEN_80EE&DEV_BEEF&SUBSYS_00000000&REV_00,PCI\\\\VEN_80EE&DEV_BEEF&SUBSYS_00000000,"
            "PCI\\\\VEN_80EE&DEV_BEEF&REV_00,PCI\\\\VEN_80EE&DEV_BEEF,PCI\\\\VEN_80EE&DEV_BEEF&REV_00&CC_0300,"
            "PCI\\\\VEN_80EE&DEV_BEEF&CC_030000,PCI\\\\VEN_80EE&DEV_BEEF&CC_0300\"\n"
            "  \"CompatibleIDs\"=\"PCI\\\\VEN_80EE&CC_030000,PCI\\\\VEN_80EE&CC_0300,PCI\\\\VEN_80EE,PCI\\\\CC_030000,"
            "PCI\\\\CC_0300\"\n"
            "  \"DeviceDesc\"=\"Standard PCI Graphics Adapter (VGA)\"\n"
            "  \"HWRevision\"=\"000\"\n"
            "  \"ClassGUID\"=\"{4d36e968-e325-11ce-bfc1-08002be10318}\"\n"
            "  \"Class\"=\"DISPLAY\"\n"
            "  \"Driver\"=\"Display\\\\0000\"\n"
            "  \"Mfg\"=\"Anapa Corp.\"\n"
            "  \"ConfigFlags\"=hex:00,00,00,00\n"
            "  \"FailReasonString\"=\"None\"\n"
            "  \"FailReason\"=dword:00000000\n"
            "  \"FailReasonID\"=dword:00000100\n"
            "  \"InitAdapterPowerState\"=\"09\"\n");

  // The export loads in our own tools, each recovered key under a key that
  // names the hive and the offset, beside nothing live.
  std::string dir = testing_support::ScratchDir();
  auto exported = RunProgram(REGWALK_BINARY, {"-f", hive, "--deleted", "-e"}, {}, dir + "/recovered.reg");
  EXPECT_EQ(exported.status, 0);
  auto reloaded = RunProgram(REGWALK_BINARY, {"-f", dir + "/recovered.reg", "-v", "HKEY_LOCAL_MACHINE\\Recovered\\SYSTEM.DAT@9665e\\*"});
  EXPECT_EQ(reloaded.status, 0) << reloaded.err;
  EXPECT_TRUE(reloaded.out.starts_with("HKEY_LOCAL_MACHINE\\Recovered\\SYSTEM.DAT@9665e\\BUS_00&DEV_02&FUNC_00\n"
                                       "  \"Capabilities\"=hex:14,00,00,00\n"));
  EXPECT_EQ(std::count(reloaded.out.begin(), reloaded.out.end(), '\n'), 15);
}

TEST(Recover, SourcesWithoutAHiveAreRefused) {
  std::string sample = testing_support::SourceDir() + "/samples/win98se.reg";
  auto result = RunProgram(REGWALK_BINARY, {"-f", sample, "--deleted"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "regwalk: " + sample + ": not searched: a .reg export, which keeps no free records\n"
                        "regwalk: --deleted searches hives, and no source is one (SYSTEM.DAT or USER.DAT)\n");
}

}  // namespace

namespace {

// Many deleted records and many live keys of one name: what is printed
// grows with the hive, not with records times live keys (400 of each here
// printed 160,000 candidate lines before).
TEST(Recover, LiveKeysOfOneNameAreListedOnce) {
  constexpr int kEach = 400;
  Key live{"Live", {}, {}};
  Key gone{"Gone", {}, {}};
  for (int i = 0; i < kEach; ++i) {
    live.children.push_back(Key{"P" + std::to_string(i), {}, {Key{"Same", {}, {}}}});
    gone.children.push_back(Key{"Same", {{"v", 1, "x"}}, {}});
  }
  hive_writer::Hive hive = hive_writer::Write(Key{"", {}, {std::move(live), std::move(gone)}});
  // Depth first: Live, then each P with its Same, then Gone and its subkeys.
  std::size_t goneAt = 2 + 2 * kEach;
  hive_writer::PutU32(hive.bytes, hive.entryAt[goneAt] + layout::entry::kFirstChild, layout::kNone);
  for (std::size_t k = goneAt + 1; k < hive.recordAt.size(); ++k) {
    hive_writer::PutU16(hive.bytes, hive.recordAt[k] + layout::record::kNumber, layout::kNoNumber);
  }
  std::string file = testing_support::WriteFile(testing_support::ScratchDir() + "/SYSTEM.DAT", hive.bytes);
  for (const char* mode : {"-v", "-e"}) {
    auto result = RunProgram(REGWALK_BINARY, {"-f", file, "--deleted", mode, "Same"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_LE(result.out.size(), 4 * hive.bytes.size()) << mode;
    std::size_t listed = 0, named = 0;
    for (std::size_t at = 0; (at = result.out.find("maybe an earlier version of ", at)) != std::string::npos; ++at) {
      (result.out.compare(at + 28, 11, "one of the ") == 0 ? named : listed) += 1;
    }
    EXPECT_EQ(listed, std::size_t{kEach}) << mode;
    EXPECT_EQ(named, std::size_t{kEach} - 1) << mode;
    EXPECT_NE(result.out.find("maybe an earlier version of one of the 400 live keys of this name listed with " + file +
                              ": offset 0x"),
              std::string::npos);
  }
}

}  // namespace
