// Choosing and loading the registry that the tools read.
//
// A source is a .reg export, a CREG hive (SYSTEM.DAT or USER.DAT) or a
// directory holding SYSTEM.DAT and USER.DAT (names in any case, as on a FAT
// volume). The format is told by the first bytes, never by the name. Roots
// named by several sources merge, later sources adding to earlier ones.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "winreg/hive.h"
#include "winreg/store.h"

namespace regstore {

inline constexpr char kRegistryVariable[] = "KORMALD_REGISTRY";
// The codepage of the registry's text: a number overrides what the registry
// says (its ACP value, else 1252); raw keeps every byte as stored and
// prints it so.
inline constexpr char kCodepageVariable[] = "KORMALD_CODEPAGE";

// Loads the sources into a new registry, or returns null with a one-line
// message naming the file and what is wrong. The registry's codepage is set
// (0 for raw), and a version 5 export's text is converted to it.
std::unique_ptr<Registry> LoadSources(const std::vector<std::string>& paths, std::string* error);

// The paths of a KORMALD_REGISTRY value, separated by ':'.
std::vector<std::string> SplitSourceList(std::string_view list);

// The sources to read: the given paths when there are any, else those of
// KORMALD_REGISTRY. False with a one-line message when it is unset.
bool ChooseSources(const std::vector<std::string>& paths, std::vector<std::string>* chosen, std::string* error);

// Hands the bytes of each hive the sources name (files that are hives, and
// a directory's SYSTEM.DAT and USER.DAT) to visit, with its path, in order;
// other files are passed over. Stops at the first source that cannot be
// read (false, with a one-line message) or when visit returns false.
bool ForEachHive(const std::vector<std::string>& paths,
                 const std::function<bool(const std::string&, std::unique_ptr<HiveBytes>)>& visit,
                 std::string* error);

// Installs the registry the tools read: the given paths when there are any,
// else those of KORMALD_REGISTRY. False with a one-line message when it is
// unset or a source cannot be read.
bool OpenRegistry(const std::vector<std::string>& paths, std::string* error);

}  // namespace regstore
