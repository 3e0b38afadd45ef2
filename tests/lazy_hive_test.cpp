// Lazy hives: what a hive decoded on demand serves equals what the same hive
// serves decoded whole, whatever the order of the calls; a file that
// shrinks while read, or that is not a regular file, is still read safely.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "hive/layout.h"
#include "regwalk/regwalk.h"
#include "testkit/hive_writer.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"
#include "sources/sources.h"
#include "store/store_testing.h"

namespace {

namespace layout = hive::layout;

using hive_writer::Key;

// Everything the registry calls hand out, and the damage they report.
struct Seen {
  std::vector<std::string> lines;
  std::vector<std::string> reports;
};
Seen* g_seen = nullptr;

int SeeValue(HKEY, std::intptr_t user, const char* name, DWORD type, DWORD size, const BYTE* data) {
  auto* lines = reinterpret_cast<std::vector<std::string>*>(user);
  lines->push_back(std::string("  ") + name + "|" + std::to_string(type) + "|" +
                   std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}

int SeeKey(HKEY key, const char* path, std::intptr_t) {
  g_seen->lines.push_back(path);
  return WalkValues(key, reinterpret_cast<std::intptr_t>(&g_seen->lines), SeeValue);
}

// Walks everything through the calls; first, if asked, decodes the whole
// registry, or touches it the way a kormald +ALL run does.
enum class First { kNothing, kDecodeAll, kListing };

Seen WalkAfter(const std::string& hive, First first) {
  Seen seen;
  g_seen = &seen;
  std::string error;
  EXPECT_TRUE(sources::InstallSources({hive}, &error)) << error;
  store::SetDamageReporter([](const store::Damage& d, const std::string& path) {
    g_seen->reports.push_back(path + " " + std::to_string(d.offset) + " " + d.what);
  });
  if (first == First::kDecodeAll) store::InstalledRegistry().DecodeAll();
  if (first == First::kListing) {
    WalkKeys("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc", 1,
             [](HKEY, const char*, std::intptr_t) { return WalkKeys("HKEY_LOCAL_MACHINE\\Enum", 1, SeeKey, 0); }, 0);
    seen = Seen{};
  }
  EXPECT_EQ(WalkKeys(nullptr, 1, SeeKey, 0), 0);
  EXPECT_EQ(WalkKeys("HKEY_CLASSES_ROOT", 1, SeeKey, 0), 0);
  EXPECT_EQ(WalkKeys("HKEY_CURRENT_USER", 1, SeeKey, 0), 0);
  store::SetDamageReporter(nullptr);
  std::sort(seen.reports.begin(), seen.reports.end());
  g_seen = nullptr;
  return seen;
}

void ExpectSameInEveryOrder(const std::string& hive) {
  Seen whole = WalkAfter(hive, First::kDecodeAll);
  Seen lazy = WalkAfter(hive, First::kNothing);
  Seen afterListing = WalkAfter(hive, First::kListing);
  EXPECT_EQ(lazy.lines, whole.lines);
  EXPECT_EQ(afterListing.lines, whole.lines);
  EXPECT_EQ(lazy.reports, whole.reports);
  EXPECT_GT(whole.lines.size(), 5U);
}

TEST(LazyHive, SharedHiveServesTheSameLazilyAsDecodedWhole) {
  std::string hive = testing_support::SharedHive();
  if (hive.empty()) GTEST_SKIP() << "no shared hive";
  ExpectSameInEveryOrder(hive);
}

Key Tree() {
  Key hdc{"hdc", {}, {}};
  for (int i = 0; i < 30; ++i) {
    hdc.children.push_back(Key{"000" + std::to_string(i), {{"PortDriver", 1, "P.PDR"}, {"DriverDesc", 1, "D"}},
                               {Key{"Sub", {{"x", 4, "abcd"}}, {}}}});
  }
  Key classKey{"Class", {}, {std::move(hdc)}};
  Key enumKey{"Enum", {}, {Key{"MF", {}, {Key{"C", {{"Driver", 1, "hdc\\0001"}}, {}}}}}};
  return Key{"", {}, {std::move(enumKey),
                      Key{"System", {}, {Key{"CurrentControlSet", {}, {Key{"Services", {}, {std::move(classKey)}}}}}},
                      Key{"SOFTWARE", {}, {Key{"Classes", {{"", 1, "root"}}, {Key{".txt", {}, {}}}}}}}};
}

// Written hives, intact and with damage of each kind that changes the tree.
// Depth-first indices in Tree(): 4 System, 9 + 2i instance i, 10 + 2i its Sub.
TEST(LazyHive, WrittenHivesServeTheSameLazilyAsDecodedWhole) {
  struct Row {
    const char* what;
    void (*damage)(hive_writer::Hive& hive);
  } rows[] = {
      {"intact", [](hive_writer::Hive&) {}},
      {"record not found", [](hive_writer::Hive& h) { hive_writer::PutU16(h.bytes, h.entryAt[12] + layout::entry::kRecord, 999); }},
      {"values run past their record", [](hive_writer::Hive& h) { hive_writer::PutU16(h.bytes, h.recordAt[14] + layout::record::kValueCount, 9); }},
      // The last instance's next sibling is the second one again.
      {"sibling loop", [](hive_writer::Hive& h) {
         hive_writer::PutU32(h.bytes, h.entryAt[67] + layout::entry::kNext, static_cast<std::uint32_t>(h.entryAt[11] - layout::rgkn::kAt));
       }},
      {"child loops to an ancestor", [](hive_writer::Hive& h) {
         hive_writer::PutU32(h.bytes, h.entryAt[15] + layout::entry::kFirstChild, static_cast<std::uint32_t>(h.entryAt[4] - layout::rgkn::kAt));
       }},
      {"entry outside", [](hive_writer::Hive& h) { hive_writer::PutU32(h.bytes, h.entryAt[3] + layout::entry::kFirstChild, 0x7FFFFFF0); }},
      {"records in many blocks", [](hive_writer::Hive& h) { (void)h; }},
  };
  std::string dir = testing_support::ScratchDir();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    hive_writer::Options options;
    if (std::string(row.what) == "records in many blocks") options = {3, true, true};
    hive_writer::Hive hive = hive_writer::Write(Tree(), options);
    row.damage(hive);
    ExpectSameInEveryOrder(testing_support::WriteFile(dir + "/SYSTEM.DAT", hive.bytes));
  }
}

// A mapped hive cut short under the reader: the lost keys read as damage,
// and the process goes on.
TEST(LazyHive, FileThatShrinksWhileMappedIsDamageNotACrash) {
  // qemu-user ends a program on a fault in a mapped file rather than hand
  // it to the program's handler: the handler is tested on a native build.
  if (std::string(KORMALD_EMULATOR).find("qemu") != std::string::npos) {
    GTEST_SKIP() << "under " << KORMALD_EMULATOR << ", which does not deliver SIGBUS to a handler";
  }
  std::string dir = testing_support::ScratchDir();
  hive_writer::Hive hive = hive_writer::Write(Tree(), {3, false, true});
  std::string path = testing_support::WriteFile(dir + "/SYSTEM.DAT", hive.bytes);
  std::string error;
  ASSERT_TRUE(sources::InstallSources({path}, &error)) << error;
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(hive.rgknSize + 0x20 + 0x1000)), 0);
  static int reports = 0;
  reports = 0;
  store::SetDamageReporter([](const store::Damage&, const std::string&) { ++reports; });
  Seen seen;
  g_seen = &seen;
  EXPECT_EQ(WalkKeys(nullptr, 1, SeeKey, 0), 0);
  g_seen = nullptr;
  store::SetDamageReporter(nullptr);
  EXPECT_GT(reports, 0);
  EXPECT_EQ(store::OpenHandleCount(), 0U);
}

// regwalk -v of a hive's bytes as a file, and as a pipe, which is read
// whole first.
struct FileAndPipe {
  testing_support::RunResult file, pipe;
};
FileAndPipe WalkFileAndPipe(const std::string& bytes) {
  std::string dir = testing_support::ScratchDir();
  std::string file = testing_support::WriteFile(dir + "/SYSTEM.DAT", bytes);
  std::string fifo = dir + "/hive.pipe";
  EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    if (std::FILE* out = std::fopen(fifo.c_str(), "wb")) {
      std::fwrite(bytes.data(), 1, bytes.size(), out);
      std::fclose(out);
    }
  });
  FileAndPipe got;
  got.pipe = testing_support::RunProgram(REGWALK_BINARY, {"-v"}, {{tools::kRegistryVariable, fifo}});
  writer.join();
  got.file = testing_support::RunProgram(REGWALK_BINARY, {"-v"}, {{tools::kRegistryVariable, file}});
  return got;
}

// A source that is no regular file (a pipe) is read to its end.
TEST(LazyHive, PipeIsReadWhole) {
  FileAndPipe got = WalkFileAndPipe(hive_writer::Write(Tree()).bytes);
  EXPECT_EQ(got.pipe.status, 0) << got.pipe.err;
  EXPECT_EQ(got.pipe.out, got.file.out);
  EXPECT_NE(got.file.out.find("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\0009"),
            std::string::npos);
}

// A hive too large to map is read piece by piece: its key area through a
// cache of chunks that fills and starts over here, its blocks' headers
// alone. What it serves equals what the same bytes serve read whole.
TEST(LazyHive, LargeHiveReadInPiecesServesWhatItServesReadWhole) {
  Key root{"", {}, {}};
  for (int a = 0; a < 40; ++a) {
    Key top{"Branch" + std::to_string(a), {}, {}};
    for (int b = 0; b < 5000; ++b) {
      top.children.push_back(Key{"Key" + std::to_string(b), {{"Driver", 1, "hdc\\0001"}}, {}});
    }
    root.children.push_back(std::move(top));
  }
  std::string bytes = hive_writer::Write(root).bytes;
  ASSERT_GT(bytes.size(), std::size_t{16} << 20);
  FileAndPipe got = WalkFileAndPipe(bytes);
  EXPECT_EQ(got.file.status, 0) << got.file.err;
  EXPECT_EQ(got.file.out.size(), got.pipe.out.size());
  EXPECT_TRUE(got.file.out == got.pipe.out);
  EXPECT_NE(got.file.out.find("HKEY_LOCAL_MACHINE\\Branch39\\Key4999\n  \"Driver\"=\"hdc\\\\0001\"\n"),
            std::string::npos);
}

// Values read in any order: round robin over several open keys, each
// read of a key's values decoding another key's, by name through a scan
// or through the index a key with more than eight values gets, and after
// a .reg file changed one of them.
TEST(LazyHive, ValuesReadInAnyOrderAreTheSame) {
  const int counts[] = {3, 5, 8, 12, 1};
  constexpr int kKeys = static_cast<int>(std::size(counts));
  Key root{"", {}, {}};
  for (int k = 0; k < kKeys; ++k) {
    Key key{"K" + std::to_string(k), {}, {}};
    for (int v = 0; v < counts[k]; ++v) {
      key.values.push_back({"v" + std::to_string(v), 1, std::to_string(k) + "/" + std::to_string(v) + '\0'});
    }
    root.children.push_back(std::move(key));
  }
  std::string dir = testing_support::ScratchDir();
  std::string hive = testing_support::WriteFile(dir + "/SYSTEM.DAT", hive_writer::Write(root).bytes);
  std::string change = testing_support::WriteFile(dir + "/change.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K2]\n\"v5\"=\"new\"\n");
  for (bool changed : {false, true}) {
    std::string error;
    std::vector<std::string> sources{hive};
    if (changed) sources.push_back(change);
    ASSERT_TRUE(sources::InstallSources(sources, &error)) << error;
    auto expected = [&](int k, int v) {
      return changed && k == 2 && v == 5 ? std::string("new") : std::to_string(k) + "/" + std::to_string(v);
    };
    HKEY keys[kKeys];
    for (int k = 0; k < kKeys; ++k) {
      ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("K" + std::to_string(k)).c_str(), 0, 0, &keys[k]), ERROR_SUCCESS);
    }
    for (int round = 0; round < 2; ++round) {
      for (int v = 0; v < 12; ++v) {
        for (int k = 0; k < kKeys; ++k) {
          char name[16], data[16];
          DWORD nameLength = sizeof name, size = sizeof data, type = 0;
          int other = (k + 1) % kKeys;
          LONG rc = RegQueryValueExA(keys[other], ("v" + std::to_string(v)).c_str(), nullptr, &type,
                                     reinterpret_cast<BYTE*>(data), &size);
          ASSERT_EQ(rc, v < counts[other] ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND) << "K" << other << " v" << v;
          if (rc == ERROR_SUCCESS) {
            EXPECT_EQ(std::string(data), expected(other, v)) << changed;
          }
          size = sizeof data;
          rc = RegEnumValueA(keys[k], static_cast<DWORD>(v), name, &nameLength, nullptr, &type,
                             reinterpret_cast<BYTE*>(data), &size);
          ASSERT_EQ(rc, v < counts[k] ? ERROR_SUCCESS : ERROR_NO_MORE_ITEMS) << "K" << k << " v" << v;
          if (rc != ERROR_SUCCESS) continue;
          EXPECT_EQ(std::string(name), "v" + std::to_string(v));
          EXPECT_EQ(std::string(data), expected(k, v)) << changed << " K" << k;
        }
      }
    }
    for (HKEY key : keys) RegCloseKey(key);
  }
}

}  // namespace
