// regwalk: the walker library on the command line. The arguments are parsed
// into options first; then the command they name runs.
#include <cstdio>

#include "tools/registry_cli.h"
#include "tools/regwalk/options.h"
#include "tools/regwalk/run.h"

namespace {

int Run(int argc, char** argv) {
  using namespace tools::regwalk;
  Options options;
  if (int status = ParseOptions(argc, argv, &options); status != 0) return status;
  switch (options.command) {
    case Command::kHelp:
      std::fputs(UsageText(), stdout);
      return tools::FinishOutput(kProgram) ? tools::kExitSuccess : tools::kExitFailure;
    case Command::kVersion:
      std::fputs("regwalk (kormald) " KORMALD_VERSION "\n", stdout);
      return tools::FinishOutput(kProgram) ? tools::kExitSuccess : tools::kExitFailure;
    case Command::kMatch:
      return RunMatch(options);
    case Command::kSplit:
      return RunSplit(options);
    case Command::kDeleted:
      return RunDeleted(options);
    case Command::kDiff:
      return RunDiff(options);
    case Command::kListImages:
      return RunListImages(options);
    case Command::kControllers:
      return RunControllers(options);
    case Command::kWalk:
      break;
  }
  return RunWalk(options);
}

}  // namespace

#if defined(_WIN64)
int wmain(int argc, wchar_t** argv) {
  tools::HostArguments host(argc, argv);
  return Run(argc, host.argv());
}
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
