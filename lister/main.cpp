#include "lister/lister.h"
#include "tools/registry_cli.h"

namespace {

int Run(int argc, char* argv[]) {
  // The usage line needs no registry.
  int mode = 0;
  if (ReadOptions(argc, argv, &mode) == 0 && !tools::OpenRegistryForTool("kormald", {})) return tools::kExitFailure;
  int result = KormaldMain(argc, argv);
  if (result == 0 && tools::RegistryIncomplete()) result = tools::kExitIncomplete;
  return tools::FinishOutput("kormald") ? result : tools::kExitFailure;
}

}  // namespace

#if defined(_WIN64)
int wmain(int argc, wchar_t* argv[]) {
  tools::HostArguments host(argc, argv);
  return Run(argc, host.argv());
}
#else
int main(int argc, char* argv[]) { return Run(argc, argv); }
#endif
