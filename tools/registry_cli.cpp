#include "tools/registry_cli.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "winreg/sources.h"

namespace {

const char* g_program = "";

void ReportDamage(const regstore::Damage& damage) {
  std::fprintf(stderr, "%s: warning: %s: offset 0x%" PRIx64 ": %s; reads of this key fail\n", g_program,
               damage.file.c_str(), damage.offset, damage.what.c_str());
}

}  // namespace

bool OpenRegistryForTool(const char* program, const std::vector<std::string>& paths) {
  g_program = program;
  std::string error;
  if (!regstore::OpenRegistry(paths, &error)) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return false;
  }
  regstore::SetDamageReporter(ReportDamage);
  return true;
}

bool FinishOutput(const char* program) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "%s: cannot write the output: %s\n", program, std::strerror(errno));
    return false;
  }
  return true;
}
