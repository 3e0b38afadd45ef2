// Writes the .reg loader's case files for the Wine differential
// (tests/windows/reg-import): NAME-4.reg and NAME-5.reg for each case and
// format Wine's regedit is asked about, and cases.tsv (file, case); the
// cases it is not asked about are listed on standard output with why.
#include <cstdio>
#include <fstream>
#include <string>

#include "testkit/reg_cases.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: write_reg_cases DIRECTORY\n");
    return 2;
  }
  std::string dir = argv[1];
  std::ofstream list(dir + "/cases.tsv", std::ios::binary);
  int number = 0;
  for (const reg_cases::RegCase& c : reg_cases::kCases) {
    ++number;
    if (*c.notWine != '\0') {
      std::printf("not asked of Wine: %s: %s\n", c.what, c.notWine);
      continue;
    }
    for (bool version5 : {false, true}) {
      if (c.formats == (version5 ? reg_cases::Formats::kOnly4 : reg_cases::Formats::kOnly5)) continue;
      std::string name = "case" + std::to_string(number) + (version5 ? "-5.reg" : "-4.reg");
      std::string bytes = reg_cases::FileBytes(c, version5);
      std::ofstream out(dir + "/" + name, std::ios::binary);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      list << name << '\t' << c.what << (version5 ? " (version 5)" : "") << '\n';
      if (!out) return 1;
    }
  }
  return list ? 0 : 1;
}
