// Writes seeds that are generated rather than committed: small hives of
// several shapes for the hive target, and for both the hive and the .reg
// targets one input of each hostile shape, large enough that a path which
// grows faster than its input exceeds the targets' work budget at once;
// and for the .reg target each file of the loader's case table.
#include <cstdio>
#include <fstream>
#include <string>

#include "testkit/hive_writer.h"
#include "testkit/hostile_shapes.h"
#include "testkit/reg_cases.h"

using hive_writer::Key;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz_seeds HIVE_DIRECTORY REG_DIRECTORY\n");
    return 2;
  }
  auto write = [](const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
  };
  Key small{"", {}, {Key{"Enum", {{"", 1, "x"}}, {Key{"MF", {{"Driver", 1, std::string("hdc\\0001\0", 9)}}, {}}}},
                     Key{"System", {{"Bin", 3, "\x01\x02"}, {"Empty", 3, ""}, {"N", 4, "abcd"}}, {}}}};
  Key user{"", {}, {Key{".DEFAULT", {}, {Key{"Control Panel", {{"A", 1, "1"}}, {}}}}}};
  Key deep{"", {}, {}};
  Key* at = &deep;
  for (int i = 0; i < 20; ++i) {
    at->children.push_back(Key{"D" + std::to_string(i), {}, {}});
    at = &at->children.back();
  }
  struct Seed {
    const char* name;
    const Key* tree;
    hive_writer::Options options;
  } seeds[] = {{"small.dat", &small, {200, false, false}},
               {"blocks.dat", &small, {1, true, false}},
               {"user.dat", &user, {200, false, false}},
               {"deep.dat", &deep, {4, false, false}}};
  std::string hives = argv[1];
  std::string regs = argv[2];
  for (const Seed& seed : seeds) {
    if (!write(hives + "/" + seed.name, hive_writer::Write(*seed.tree, seed.options).bytes)) return 1;
  }
  bool ok = write(hives + "/damaged-siblings.dat", hostile_shapes::DamagedSiblings(2000)) &&
            write(hives + "/same-named-siblings.dat", hostile_shapes::SameNamedSiblings(2000)) &&
            write(hives + "/same-numbered-blocks.dat", hostile_shapes::SameNumberedBlocks(2000, 2000)) &&
            write(regs + "/many-values.reg", hostile_shapes::ManyValues(2000)) &&
            write(regs + "/long-hex.reg", hostile_shapes::LongHex(500)) &&
            write(regs + "/deep-long-names.reg", hostile_shapes::DeepLongNames(100, 255)) &&
            write(regs + "/deleted-one-by-one.reg", hostile_shapes::DeletedOneByOne(1000));
  int number = 0;
  for (const reg_cases::RegCase& c : reg_cases::kCases) {
    ++number;
    for (bool version5 : {false, true}) {
      std::string name = regs + "/case-" + std::to_string(number) + (version5 ? "-5.reg" : "-4.reg");
      ok = ok && write(name, reg_cases::FileBytes(c, version5));
    }
  }
  return ok ? 0 : 1;
}
