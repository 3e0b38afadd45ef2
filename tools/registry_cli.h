// What the command-line tools share about opening the registry: the one way
// every tool chooses it, and how problems reach the user.
#pragma once

#include <string>
#include <vector>

// Opens the registry from paths, or from KORMALD_REGISTRY when there are
// none, and reports damage found later as warnings. On failure prints one
// line "PROGRAM: what is wrong" on standard error and returns false.
bool OpenRegistryForTool(const char* program, const std::vector<std::string>& paths);

// Flushes standard output; on failure prints why and returns false, so that
// a listing that never reached its reader is not reported as a success.
bool FinishOutput(const char* program);
