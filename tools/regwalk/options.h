// regwalk's command line, parsed into what to run.
#pragma once

#include <string>
#include <vector>

namespace tools::regwalk {

inline constexpr char kProgram[] = "regwalk";

enum class Command { kWalk, kDeleted, kDiff, kMatch, kSplit, kListImages, kControllers, kHelp, kVersion };
enum class Output { kPaths, kValues, kExport };

struct Options {
  Command command = Command::kWalk;
  std::vector<std::string> files;  // -f, in order
  bool nonRecursive = false;       // -n
  Output output = Output::kPaths;  // -v, -e, -E
  bool unicode = false;            // -E: a version 5 export
  bool json = false;               // --json: JSON Lines
  std::string diffOld, diffNew;    // --diff: the two source lists
  const char* pattern = nullptr;
  std::vector<const char*> paths;  // --match: the paths to match
  std::string image;               // --list-images: the source to list
  int mode = 0;                    // --controllers: kormald's mode, from its options
};

// Fills options from the arguments. Returns 0, or after a usage error
// (printed on standard error with the usage text) the exit status 2.
int ParseOptions(int argc, char** argv, Options* options);

// The usage text, as --help prints it.
const char* UsageText();

}  // namespace tools::regwalk
