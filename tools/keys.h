// Reading keys, as the tools and the Python package read them: the short
// root names reg.exe takes, a key opened by its full path, and a key's
// values, as the calls hand them out or as their source stores them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "winreg/winreg.h"

namespace tools {

// A value as the registry calls hand it out.
struct KeptValue {
  std::string name;
  DWORD type;
  std::string data;
};
// Reads a key's values into values, in index order; a registry error of
// the value walk is returned, 0 otherwise.
int ReadValues(HKEY key, std::vector<KeptValue>* values);
// The same, each string's data as its source stores it: the calls add the
// terminator a string may be stored without.
int ReadStoredValues(HKEY key, std::vector<KeptValue>* values);

// A pattern or a path as the walker takes it: the short root names reg.exe
// takes at its start (HKLM, HKU, HKCR, HKCU, HKCC, HKDD, in any letter
// case) written out, the rest as it is.
std::string LongRootNames(std::string_view pattern);

// Opens the key of a full path (a root's name, long or short, and the
// names below it, joined by backslashes): a registry error code, or 0 with
// *key open (a root's own handle where the path names a root alone, which
// needs no closing; CloseOpened closes either).
LONG OpenPath(std::string_view path, HKEY* key);
void CloseOpened(HKEY key);

}  // namespace tools
