// The FAT reader against two readers that are not ours: every file of
// FAT12, FAT16 and FAT32 volumes made by mkfs.fat and mtools reads as The
// Sleuth Kit's icat reads it, and as mtools' mtype reads it under the
// name ours gives it; and hostile volumes, each a volume mkfs.fat made with
// one thing broken, refused naming the file, the cluster and the cause.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "diskimage/disk.h"
#include "diskimage/fat.h"
#include "testkit/image_fixture.h"
#include "testkit/test_support.h"

namespace {

using diskimage::FatEntry;
using diskimage::FatFileSystem;
using image_fixture::Sh;

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// What the tools that are not ours read, with the codepage mtools writes
// and reads short names in.
std::string Oracle(const std::string& command, int codepage) {
  auto result = testing_support::RunProgram(
      "/bin/sh", {"-c", command},
      {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}, {"DEFAULT_CODEPAGE", std::to_string(codepage)}});
  EXPECT_EQ(result.status, 0) << command << "\n" << result.err;
  return result.out;
}

struct Opened {
  std::unique_ptr<diskimage::Disk> disk;
  std::unique_ptr<FatFileSystem> fs;
  std::string error;
};

Opened Open(const std::string& image, int codepage = diskimage::kDefaultOemCodepage) {
  Opened o;
  o.disk = diskimage::OpenRawDisk(image, &o.error);
  if (o.disk != nullptr) o.fs = FatFileSystem::Open(*o.disk, 0, &o.error, nullptr, codepage);
  return o;
}

// Every file below a directory, by the names ours gives, '/' between.
void Files(FatFileSystem& fs, const FatEntry& dir, const std::string& path, std::vector<std::string>* out) {
  std::vector<FatEntry> entries;
  std::string error;
  ASSERT_TRUE(fs.List(dir, path, &entries, &error)) << error;
  for (const FatEntry& e : entries) {
    if (e.directory) {
      Files(fs, e, path + "/" + e.name, out);
    } else {
      out->push_back(path + "/" + e.name);
    }
  }
}

std::string ReadWhole(FatFileSystem& fs, const std::string& path) {
  std::string error, bytes;
  std::optional<FatEntry> file = fs.Find(path, &error);
  if (!file) return "not found: " + error;
  if (!fs.Read(*file, path, &bytes, &error)) return "unread: " + error;
  return bytes;
}

struct Volume {
  int bits;
  int sectorsPerCluster;
  int kib;       // the volume's size
  int codepage;  // the OEM codepage mtools writes short names in
  std::vector<std::string> names;  // files with names in that codepage, long and short
};

class FatOracle : public ::testing::TestWithParam<Volume> {};

// Files that put the reader to work: names of the volume's codepage (for
// 932 long ones alone: mtools 4.0.32 cuts a short name inside a character), a
// tree deeper than any Windows directory, and a file in pieces, written
// after every other of many small files was deleted.
TEST_P(FatOracle, EveryFileReadsAsTheSleuthKitAndMtoolsReadIt) {
  if (!image_fixture::HaveTools("mkfs.fat mcopy mtype fls icat")) GTEST_SKIP() << "no FAT tools";
  const Volume& v = GetParam();
  std::string dir = testing_support::ScratchDir();
  std::string image = dir + "/v.img";
  const std::uint32_t cluster = 512u * static_cast<std::uint32_t>(v.sectorsPerCluster);
  std::string script = "cd " + Quoted(dir) + " && mkfs.fat -C -F " + std::to_string(v.bits) + " -s " +
                       std::to_string(v.sectorsPerCluster) + " -S 512 v.img " + std::to_string(v.kib) + " >/dev/null";
  std::string small(cluster, 's');
  testing_support::WriteFile(dir + "/small", small);
  for (int i = 0; i < 40; ++i) script += " && mcopy -i v.img small ::/S" + std::to_string(i) + ".TMP";
  for (int i = 0; i < 40; i += 2) script += " && mdel -i v.img ::/S" + std::to_string(i) + ".TMP";
  std::string big;
  for (std::uint32_t i = 0; big.size() < std::uint64_t{cluster} * 30 + 123; ++i) big += std::to_string(i * 2654435761u) + ",";
  testing_support::WriteFile(dir + "/big", big);
  script += " && mcopy -i v.img big ::/PIECES.BIN";
  std::string deep;
  for (int level = 0; level < 24; ++level) {
    deep += "/Level " + std::to_string(level);
    script += " && mmd -i v.img " + Quoted("::" + deep);
  }
  script += " && mcopy -i v.img small " + Quoted("::" + deep + "/bottom.txt");
  for (const std::string& name : v.names) {
    testing_support::WriteFile(dir + "/named", "contents of " + name);
    script += " && mcopy -i v.img named " + Quoted("::/" + name);
  }
  Oracle(script, v.codepage);

  Opened o = Open(image, v.codepage);
  ASSERT_NE(o.fs, nullptr) << o.error;
  EXPECT_EQ(o.fs->bits(), v.bits);
  std::vector<std::string> ours;
  Files(*o.fs, o.fs->Root(), "", &ours);
  // mtools, under the name ours decoded: every file, byte for byte.
  for (const std::string& path : ours) {
    EXPECT_EQ(ReadWhole(*o.fs, path), Oracle("mtype -i " + Quoted(image) + " " + Quoted("::" + path), v.codepage))
        << path;
  }
  // The Sleuth Kit, by its own walk: every file it lists, as icat reads it.
  // It writes a short name's letters past ASCII as '^': those are left to
  // mtools.
  std::istringstream listing(Oracle("fls -r -p " + Quoted(image), v.codepage));
  std::size_t files = 0;
  for (std::string line; std::getline(listing, line);) {
    // Deleted entries ("r/r * 39:") are no file to read.
    if (!line.starts_with("r/r ") || line.starts_with("r/r * ")) continue;
    ++files;
    std::size_t colon = line.find(":\t");
    std::string inode = line.substr(4, colon - 4), path = line.substr(colon + 2);
    if (path.find('^') != std::string::npos) continue;
    EXPECT_EQ(ReadWhole(*o.fs, path), Oracle("icat " + Quoted(image) + " " + inode, v.codepage)) << path;
  }
  EXPECT_EQ(files, ours.size());
  EXPECT_EQ(ReadWhole(*o.fs, "PIECES.BIN"), big);
  EXPECT_EQ(ReadWhole(*o.fs, deep + "/BOTTOM.TXT"), small);
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, FatOracle,
    ::testing::Values(Volume{12, 1, 1440, 437, {"Größe der Datei.txt", "ÇA.TXT"}},
                      Volume{12, 8, 8192, 850, {"Ünïcödé Fïlé.txt", "ÜBER.TXT"}},
                      Volume{16, 4, 65536, 866, {"Реестр системы.dat", "ДАННЫЕ.TXT"}},
                      Volume{16, 64, 262144, 850, {"Ärger.dat"}},
                      Volume{32, 1, 40960, 932, {"レジストリ backup.dat", "登録 file.txt"}},
                      Volume{32, 8, 307200, 437, {"Ñame with spaces and ümlauts.txt"}}));

// A FAT16 volume of 512-byte clusters that mkfs.fat and mtools made, and
// where its structures lie, as its boot sector gives them.
class FatDamage : public ::testing::Test {
 public:
  void SetUp() override {
    if (!image_fixture::HaveTools("mkfs.fat mcopy")) GTEST_SKIP() << "no FAT tools";
    dir_ = testing_support::ScratchDir();
    testing_support::WriteFile(dir_ + "/three", std::string(1500, '3'));
    testing_support::WriteFile(dir_ + "/one", "one");
    Sh("cd " + Quoted(dir_) + " && mkfs.fat -C -F 16 -s 1 -S 512 v.img 4096 >/dev/null && mcopy -i v.img three ::/A.BIN"
       " && mmd -i v.img ::/D && mcopy -i v.img one ::/D/X.TXT && mcopy -i v.img one '::/Long Name File.txt'");
    bytes_ = testing_support::ReadFile(dir_ + "/v.img");
    fatAt_ = U16(14) * 512;
    rootAt_ = (U16(14) + bytes_[16] * U16(22)) * 512;
    dataAt_ = rootAt_ + U16(17) * 32;
  }

  std::uint32_t U16(std::size_t at) const {
    return static_cast<unsigned char>(bytes_[at]) | static_cast<unsigned char>(bytes_[at + 1]) << 8;
  }
  void Put16(std::size_t at, std::uint32_t value) {
    bytes_[at] = static_cast<char>(value);
    bytes_[at + 1] = static_cast<char>(value >> 8);
  }
  // The directory entry of a short name (11 bytes, blank-padded).
  std::size_t EntryOf(const std::string& name) const {
    std::size_t at = bytes_.find(name);
    EXPECT_NE(at, std::string::npos) << name;
    return at;
  }
  std::uint32_t FirstCluster(const std::string& name) const { return U16(EntryOf(name) + 26); }
  void SetNext(std::uint32_t cluster, std::uint32_t next) { Put16(fatAt_ + cluster * 2, next); }
  std::size_t ClusterAt(std::uint32_t cluster) const { return dataAt_ + (cluster - 2) * 512; }

  std::string dir_;
  std::string bytes_;
  std::size_t fatAt_ = 0, rootAt_ = 0, dataAt_ = 0;
};

struct Damage {
  const char* name;
  std::function<void(FatDamage&)> harm;
  const char* path;
  std::string said;  // what reading path says: its bytes' size, or the refusal's start
};

TEST_F(FatDamage, EachIsRefusedByNameOrReadAsDosWould) {
  const std::uint32_t a = FirstCluster("A       BIN"), d = FirstCluster("D          ");
  const std::vector<Damage> table = {
      {"whole", [](FatDamage&) {}, "/A.BIN", "1500 bytes"},
      {"a chain that loops", [a](FatDamage& f) { f.SetNext(a + 2, a); }, "/A.BIN",
       "\\A.BIN: its chain loops back to cluster " + std::to_string(a)},
      {"a chain that leaves the volume", [a](FatDamage& f) { f.SetNext(a + 1, 0xFFF0); }, "/A.BIN",
       "\\A.BIN: its chain leaves the volume (cluster 65520; its clusters are 2 to "},
      {"a chain shorter than the size", [a](FatDamage& f) { f.SetNext(a + 1, 0xFFFF); }, "/A.BIN",
       "\\A.BIN: its chain ends at cluster " + std::to_string(a + 1) + " after 2 clusters, short of the 3 its size needs"},
      {"a chain longer than the size", [a](FatDamage& f) { f.SetNext(a + 2, 7000), f.SetNext(7000, 0xFFFF); }, "/A.BIN",
       "\\A.BIN: its chain runs on past cluster " + std::to_string(a + 2)},
      {"a chain through a free cluster", [a](FatDamage& f) { f.SetNext(a, 0); }, "/A.BIN",
       "\\A.BIN: its chain reaches a free cluster after cluster " + std::to_string(a)},
      {"a chain through a bad cluster", [a](FatDamage& f) { f.SetNext(a, 0xFFF7); }, "/A.BIN",
       "\\A.BIN: its chain reaches a cluster marked bad"},
      {"a first cluster past the volume", [](FatDamage& f) { f.Put16(f.EntryOf("A       BIN") + 26, 0xFFF0); },
       "/A.BIN", "\\A.BIN: its first cluster, 65520, is none of the volume's"},
      {"a directory that loops", [d](FatDamage& f) { f.SetNext(d, d); }, "/D/X.TXT",
       "\\D: its chain loops back to cluster " + std::to_string(d)},
      {"a directory past 65,536 entries",
       [d](FatDamage& f) {
         f.SetNext(d, 3000);
         for (std::uint32_t c = 3000; c < 3000 + 4096; ++c) f.SetNext(c, c + 1);
         f.SetNext(3000 + 4096, 0xFFFF);
       },
       "/D/X.TXT", "\\D: it holds more than 65536 entries"},
      {"a directory that holds itself",
       [d](FatDamage& f) {
         // X.TXT's entry made a folder D2 whose cluster is D's own.
         std::size_t x = f.EntryOf("X       TXT");
         f.bytes_.replace(x, 11, "D2         ");
         f.bytes_[x + 11] = 0x10;
         f.Put16(x + 26, d);
       },
       "/D/D2/D2/D2/D2/D2/D2/D2/D2/D2/D2/X.TXT", "not found"},
      {"a long name whose checksum is not its short name's",
       [](FatDamage& f) { f.bytes_[f.EntryOf("LONGNA~1TXT") - 32 + 13] ^= 1; }, "/Long Name File.txt", "not found"},
      {"the short name of a long name whose checksum fails",
       [](FatDamage& f) { f.bytes_[f.EntryOf("LONGNA~1TXT") - 32 + 13] ^= 1; }, "/longna~1.txt", "3 bytes"},
      {"a long name in any letter case", [](FatDamage&) {}, "/LONG NAME FILE.TXT", "3 bytes"},
      {"a deleted file", [](FatDamage& f) { f.bytes_[f.EntryOf("A       BIN")] = '\xE5'; }, "/A.BIN", "not found"},
  };
  for (const Damage& row : table) {
    SCOPED_TRACE(row.name);
    const std::string whole = bytes_;
    row.harm(*this);
    std::string image = testing_support::WriteFile(dir_ + "/harmed.img", bytes_);
    bytes_ = whole;
    Opened o = Open(image);
    ASSERT_NE(o.fs, nullptr) << o.error;
    std::string error, bytes;
    std::optional<FatEntry> file = o.fs->Find(row.path, &error);
    std::string said = !file                                  ? (error.empty() ? "not found" : error)
                       : !o.fs->Read(*file, row.path, &bytes, &error) ? error
                                                                       : std::to_string(bytes.size()) + " bytes";
    EXPECT_TRUE(said.starts_with(row.said)) << said;
  }
}

// Names as DOS compares them: the same in any letter case of the scripts
// Windows 9x shipped codepages for, and nothing more.
TEST(FatNames, AreOneInAnyLetterCase) {
  struct Row {
    const char* a;
    const char* b;
    bool same;
  } rows[] = {
      {"system.dat", "SYSTEM.DAT", true},      {"größe", "GRÖSSE", false},        {"größe", "GRÖßE", true},
      {"ÿ", "Ÿ", true},                         {"łódź", "ŁÓDŹ", true},            {"žluťoučký", "ŽLUŤOUČKÝ", true},
      {"ſ", "Ž", false},                        {"ı", "I", false},                 {"αβγ", "ΑΒΓ", true},
      {"ς", "Σ", false},                        {"реестр", "РЕЕСТР", true},        {"ёж", "ЁЖ", true},
      {"レジストリ", "レジストリ", true},       {"a", "ab", false},                {"\xE9", "\xC9", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(diskimage::SameFatName(row.a, row.b), row.same) << row.a << " ~ " << row.b;
    EXPECT_EQ(diskimage::SameFatName(row.b, row.a), row.same) << row.b << " ~ " << row.a;
  }
}

TEST_F(FatDamage, APathDeeperThanDosGoesIsRefused) {
  Opened o = Open(testing_support::WriteFile(dir_ + "/v2.img", bytes_));
  ASSERT_NE(o.fs, nullptr) << o.error;
  std::string path;
  for (int i = 0; i < 65; ++i) path += "/D";
  std::string error;
  EXPECT_FALSE(o.fs->Find(path, &error).has_value());
  EXPECT_NE(error.find("deeper than the 64 levels DOS follows"), std::string::npos) << error;
}

// Boot sectors written here: the type follows from the count of clusters
// alone, at Microsoft's thresholds, and numbers that make no volume are
// refused.
std::string BootSector(std::uint32_t sectors, std::uint32_t fatSectors, std::uint16_t rootEntries,
                       std::uint8_t perCluster = 1, std::uint16_t bytesPerSector = 512) {
  std::string s(512, '\0');
  auto put = [&](std::size_t at, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i, v >>= 8) s[at + static_cast<std::size_t>(i)] = static_cast<char>(v);
  };
  s[0] = '\xEB';
  put(11, bytesPerSector, 2);
  put(13, perCluster, 1);
  put(14, 1, 2);  // reserved
  put(16, 2, 1);  // FATs
  put(17, rootEntries, 2);
  put(21, 0xF8, 1);
  if (rootEntries != 0) {
    put(22, fatSectors, 2);
  } else {
    put(36, fatSectors, 4);
    put(44, 2, 4);  // the root's cluster
  }
  put(32, sectors, 4);
  return s;
}

class MemoryDisk : public diskimage::Disk {
 public:
  explicit MemoryDisk(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  std::int64_t Read(std::uint64_t offset, char* out, std::size_t length, std::string*) override {
    if (offset >= bytes_.size()) return 0;
    std::size_t n = std::min<std::size_t>(length, bytes_.size() - offset);
    std::copy_n(bytes_.data() + offset, n, out);
    return static_cast<std::int64_t>(n);
  }

 private:
  std::string bytes_;
};

TEST(FatBootSector, TheTypeIsTheCountOfClustersAndNonsenseIsRefused) {
  // A FAT16 root of 512 entries is 32 sectors; data starts after 1
  // reserved, two FATs and the root.
  auto fat1x = [](std::uint32_t clusters, std::uint32_t fat) { return BootSector(1 + 2 * fat + 32 + clusters, fat, 512); };
  auto fat32 = [](std::uint32_t clusters) {
    std::uint32_t fat = (clusters + 2) * 4 / 512 + 1;
    return BootSector(1 + 2 * fat + clusters, fat, 0);
  };
  struct Row {
    const char* name;
    std::string boot;
    std::string said;  // "FAT12"..., or the refusal's end
  } rows[] = {
      {"4084 clusters", fat1x(4084, 12), "FAT12"},
      {"4085 clusters", fat1x(4085, 16), "FAT16"},
      {"65524 clusters", fat1x(65524, 256), "FAT16"},
      {"65525 clusters", fat32(65525), "FAT32"},
      {"3 bytes a sector", BootSector(9000, 16, 512, 1, 3), "3 bytes a sector"},
      {"3 sectors a cluster", BootSector(9000, 16, 512, 3), "3 sectors a cluster"},
      {"a FAT too small for its clusters", fat1x(5000, 4), "a FAT of 2048 bytes for 5000 clusters"},
      {"no room for data", BootSector(40, 16, 512), "leave no room for data in its 40"},
      {"no jump", std::string(512, '\0'), "it begins with no jump"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MemoryDisk disk(row.boot + std::string(4096, '\0'));
    std::string error;
    std::unique_ptr<FatFileSystem> fs = FatFileSystem::Open(disk, 0, &error);
    std::string said = fs != nullptr ? "FAT" + std::to_string(fs->bits()) : error;
    EXPECT_TRUE(said.ends_with(row.said)) << said;
  }
}

}  // namespace
