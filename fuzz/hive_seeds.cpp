// Writes small hives of several shapes as seeds for the hive fuzz target.
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/hive_writer.h"

using hive_writer::Key;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hive_seeds DIRECTORY\n");
    return 2;
  }
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
  for (const Seed& seed : seeds) {
    std::ofstream out(std::string(argv[1]) + "/" + seed.name, std::ios::binary);
    std::string bytes = hive_writer::Write(*seed.tree, seed.options).bytes;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) return 1;
  }
  return 0;
}
