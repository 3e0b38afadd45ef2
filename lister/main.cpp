#include "lister/lister.h"
#include "tools/registry_cli.h"

int main(int argc, char* argv[]) {
  tools::HostArguments host(argc, argv);
  // The usage line needs no registry.
  int mode = 0;
  if (ReadOptions(argc, argv, &mode) == 0 && !tools::OpenRegistryForTool("kormald", {})) return tools::kExitFailure;
  int result = KormaldMain(argc, argv);
  if (result == 0 && tools::RegistryIncomplete()) result = tools::kExitIncomplete;
  return tools::FinishOutput("kormald") ? result : tools::kExitFailure;
}
