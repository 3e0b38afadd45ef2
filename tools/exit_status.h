// The exit statuses of both tools, in one place: the tools return them,
// and the manual pages and the README list them (a test holds the three to
// each other).
#pragma once

#include <array>

namespace tools {

inline constexpr int kExitSuccess = 0;
// The registry could not be chosen or read, a pattern does not compile,
// memory ran out, or standard output could not be written.
inline constexpr int kExitFailure = 1;
// regwalk's command line is wrong.
inline constexpr int kExitUsage = 2;
// The tool printed what it could, while part of the registry could not be
// read: a damaged key met, lines of a .reg file left out, or a walk that
// ended on a registry error. Each such loss was named on standard error.
inline constexpr int kExitIncomplete = 3;
// regwalk --diff: the two registries differ (kExitIncomplete wins over it).
inline constexpr int kExitDiffers = 4;
// regwalk: the pattern selected no key at all, in either registry of a
// --diff (kExitIncomplete wins over it: a damaged key may be what it
// missed).
inline constexpr int kExitNothingSelected = 5;
// kormald printed its usage line, as the first version of the tool did.
inline constexpr int kExitKormaldUsage = 20;

// Which statuses each tool can end with.
inline constexpr std::array kKormaldStatuses{kExitSuccess, kExitFailure, kExitIncomplete, kExitKormaldUsage};
inline constexpr std::array kRegwalkStatuses{kExitSuccess,    kExitFailure, kExitUsage,
                                             kExitIncomplete, kExitDiffers, kExitNothingSelected};

}  // namespace tools
