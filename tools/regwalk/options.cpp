#include "tools/regwalk/options.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/controllers.h"
#include "tools/exit_status.h"

namespace tools::regwalk {

namespace {

constexpr char kUsage[] =
    "usage: regwalk [-f FILE]... [-n] [-v | -e | -E | --json] [PATTERN]\n"
    "       regwalk [-f FILE]... --deleted [-v | -e | --json] [PATTERN]\n"
    "       regwalk --diff OLD NEW [-v | -e | -E | --json] [PATTERN]\n"
    "       regwalk --match PATTERN PATH...\n"
    "       regwalk --split PATTERN\n"
    "       regwalk --list-images [--json] SOURCE\n"
    "       regwalk --controllers [-f FILE]... [-SCSI] [+ALL] [--json]\n"
    "       regwalk --help | --version\n"
    "\n"
    "Walks the registry named by KORMALD_REGISTRY (or by -f, which may be\n"
    "repeated and takes precedence) and prints the path of every key that\n"
    "PATTERN selects. Without PATTERN every key is visited. PATTERN may begin\n"
    "with a root's short name, as reg.exe writes it (HKLM, HKU, HKCR, HKCU,\n"
    "HKCC, HKDD).\n"
    "\n"
    "A source is a hive, a .reg export, a Windows directory, a disk image\n"
    "(raw, VMDK, VHD, VHDX, VDI, qcow2, qcow or E01, each over the chain of\n"
    "parents it names) or a VM (VirtualBox .vbox, VMware .vmx). After '#', a\n"
    "selector picks a saved state, a disk, a partition or a file:\n"
    "IMAGE#snapshot=NAME&disk=N&part=N&path=\\WINDOWS&cab=FILE, each part\n"
    "optional (snapshot-id=ID by the ID alone; %XX in a value is the byte XX,\n"
    "as & # = % are written there); --list-images shows what there is to pick.\n"
    "\n"
    "  -n        visit no key below a match: a key that lies only below a\n"
    "            match ends its level unvisited, and a key that matches\n"
    "            exactly and could have no match below it ends its level\n"
    "            once visited ('HKLM\\*' prints every key of HKLM, 'HKLM\\S*'\n"
    "            only the first of System and SOFTWARE in walk order)\n"
    "  -v        print each key's values after it, in .reg syntax\n"
    "  -e        print a REGEDIT4 file of the visited keys and their values\n"
    "  -E        the same as a version 5 file (UTF-16), for today's regedit\n"
    "  --json    print each key and its values as a line of JSON (UTF-8)\n"
    "  --diff    print the .reg file that turns OLD into NEW (each a list of\n"
    "            sources, as KORMALD_REGISTRY takes it); -v: a summary;\n"
    "            --json: a line of JSON a change (op, path, old, new)\n"
    "  --deleted list the key records left in the hives' free space (deleted\n"
    "            keys, earlier versions of keys), whose names PATTERN selects\n"
    "  --match   print how PATTERN stands to each PATH\n"
    "  --split   print the literal leading part of PATTERN and the rest\n"
    "  --list-images  print what a disk image or a VM holds, a line each, its\n"
    "            fields split by tabs: file DISK PATH FORMAT (the files each\n"
    "            disk stands on, child first; disk 0 is a machine's own file),\n"
    "            snapshot ID NAME SELECTOR, partition DISK NUMBER TYPE BYTES\n"
    "            LETTER, windows DISK PARTITION DIRECTORY SELECTOR. SOURCE is a\n"
    "            raw disk, VMDK, VHD, VHDX, VDI, qcow2, qcow or E01 image, or a\n"
    "            VirtualBox (.vbox) or VMware (.vmx) machine, and may end in\n"
    "            #snapshot=NAME to list that saved state. A backslash, tab or\n"
    "            line break in a field is written \\\\, \\t, \\n or \\r, any other\n"
    "            byte outside printable ASCII \\xNN; --json: JSON Lines, exact\n"
    "  --controllers  print each instance under the class key kormald lists\n"
    "            (with kormald's -SCSI and +ALL) and its fate: the row\n"
    "            kormald prints, or why there is none\n"
    "  --help    print this text\n"
    "  --version print the version\n"
    "\n"
    "Exit status: 0 when the walk ran to its end, 1 when it failed, 2 for\n"
    "bad usage, 3 when part of the registry could not be read (a damaged\n"
    "key, or a registry error that ended the walk; each is named), 4 when\n"
    "--diff found differences, 5 when the pattern selects no key.\n";

// One line that says what is wrong, and where the whole usage is: a screen
// of usage after it would bury the line.
int UsageError(const char* what) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, what, kProgram);
  return kExitUsage;
}

int ParseWalkOptions(int argc, char** argv, Options* options) {
  bool deleted = false;
  bool diff = false;
  bool optionsEnded = false;
  bool chosen = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool option = !optionsEnded;
    if (option && arg == "--") {
      optionsEnded = true;
    } else if (option && arg == "-f") {
      if (++i == argc) return UsageError("-f needs a file");
      options->files.emplace_back(argv[i]);
    } else if (option && arg == "-n") {
      options->nonRecursive = true;
    } else if (option && arg == "--deleted") {
      deleted = true;
    } else if (option && arg == "--json") {
      options->json = true;
    } else if (option && arg == "--diff") {
      if (i + 2 >= argc) return UsageError("--diff needs OLD and NEW");
      options->diffOld = argv[++i];
      options->diffNew = argv[++i];
      diff = true;
    } else if (option && (arg == "-v" || arg == "-e" || arg == "-E")) {
      Output output = arg == "-v" ? Output::kValues : Output::kExport;
      bool unicode = arg == "-E";
      if (chosen && (options->output != output || options->unicode != unicode)) {
        return UsageError("-v, -e and -E exclude each other");
      }
      chosen = true;
      options->output = output;
      options->unicode = unicode;
    } else if (option && (arg == "--match" || arg == "--split" || arg == "--list-images" || arg == "--controllers" ||
                          arg == "--help" || arg == "--version")) {
      return UsageError((arg + " comes first, and goes with nothing but its own arguments").c_str());
    } else if (option && arg.size() > 1 && arg[0] == '-') {
      return UsageError(("unknown option " + arg).c_str());
    } else if (options->pattern == nullptr) {
      options->pattern = argv[i];
    } else {
      return UsageError("only one pattern may be given");
    }
  }
  if (options->json && options->output == Output::kExport) return UsageError("--json does not go with -e or -E");
  if (diff) {
    if (!options->files.empty()) return UsageError("-f does not go with --diff: OLD and NEW name the sources");
    if (deleted) return UsageError("--diff does not go with --deleted");
    if (options->json && options->output != Output::kPaths) return UsageError("--json does not go with -v, -e or -E");
    // A walk that stops at its first exact match can select other keys in
    // each registry, and the diff would delete keys NEW still holds.
    if (options->nonRecursive) return UsageError("-n does not go with --diff: it selects different keys in OLD and NEW");
    options->command = Command::kDiff;
    return 0;
  }
  if (deleted) {
    if (options->nonRecursive) return UsageError("-n does not go with --deleted");
    options->command = Command::kDeleted;
  }
  return 0;
}

}  // namespace

const char* UsageText() { return kUsage; }

int ParseOptions(int argc, char** argv, Options* options) {
  const char* first = argc >= 2 ? argv[1] : "";
  if (std::strcmp(first, "--help") == 0) {
    options->command = Command::kHelp;
  } else if (std::strcmp(first, "--version") == 0) {
    options->command = Command::kVersion;
  } else if (std::strcmp(first, "--match") == 0) {
    if (argc < 4) return UsageError("--match needs a pattern and at least one path");
    options->command = Command::kMatch;
    options->pattern = argv[2];
    options->paths.assign(argv + 3, argv + argc);
  } else if (std::strcmp(first, "--list-images") == 0) {
    options->command = Command::kListImages;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--json") == 0 && !options->json) {
        options->json = true;
      } else if (options->image.empty() && argv[i][0] != '\0') {
        options->image = argv[i];
      } else {
        return UsageError("--list-images takes one source, and --json");
      }
    }
    if (options->image.empty()) return UsageError("--list-images needs a source");
  } else if (std::strcmp(first, "--controllers") == 0) {
    options->command = Command::kControllers;
    // kormald's own options, read by its rules; -f and --json around them.
    std::vector<char*> modeArgs = {argv[0]};
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--json") == 0) {
        options->json = true;
      } else if (std::strcmp(argv[i], "-f") == 0) {
        if (++i == argc) return UsageError("-f needs a file");
        options->files.emplace_back(argv[i]);
      } else {
        modeArgs.push_back(argv[i]);
      }
    }
    if (controllers::ReadModeOptions(static_cast<int>(modeArgs.size()), modeArgs.data(), &options->mode) != 0) {
      return UsageError("--controllers takes kormald's -SCSI and +ALL, -f FILE and --json");
    }
  } else if (std::strcmp(first, "--split") == 0) {
    if (argc != 3) return UsageError("--split needs exactly one pattern");
    options->command = Command::kSplit;
    options->pattern = argv[2];
  } else {
    return ParseWalkOptions(argc, argv, options);
  }
  return 0;
}

}  // namespace tools::regwalk
