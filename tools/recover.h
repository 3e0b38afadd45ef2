// regwalk --deleted: the key records a hive still holds in its free space,
// listed, with their values, or as a REGEDIT4 file.
#pragma once

#include <string>
#include <vector>

enum class RecoverOutput { kList, kValues, kExport };

// Searches the hives of the sources (files, or KORMALD_REGISTRY when there
// are none) and prints the recovered keys whose names pattern selects (all
// when null). Returns the exit status: 0 when every hive could be searched,
// 1 when a source could not be read or none is a hive.
int RecoverCommand(const char* program, const std::vector<std::string>& files, RecoverOutput output,
                   const char* pattern);
