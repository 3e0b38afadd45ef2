#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "lister/lister.h"
#include "winreg/sources.h"

namespace {

void ReportDamage(const regstore::Damage& damage) {
  std::fprintf(stderr, "kormald: warning: %s: offset 0x%" PRIx64 ": %s; reads of this key fail\n",
               damage.file.c_str(), damage.offset, damage.what.c_str());
}

}  // namespace

int main(int argc, char* argv[]) {
  // The usage line needs no registry.
  int mode = 0;
  if (ReadOptions(argc, argv, &mode) == 0) {
    std::string error;
    if (!regstore::OpenRegistry({}, &error)) {
      std::fprintf(stderr, "kormald: %s\n", error.c_str());
      return 1;
    }
    regstore::SetDamageReporter(ReportDamage);
  }
  int result = KormaldMain(argc, argv);
  // A listing that did not reach its reader is not a success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "kormald: cannot write the listing: %s\n", std::strerror(errno));
    return 1;
  }
  return result;
}
