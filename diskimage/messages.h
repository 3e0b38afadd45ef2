// How the image code words what it tells a user, where more than one
// reader says it.
#pragma once

#include <cstdint>
#include <string>

namespace diskimage {

// The first line of what a library says, as one line of a message.
std::string FirstLine(std::string text);

// A path in a volume as DOS writes it: '\' between names.
std::string DosPath(std::string path);

// A path in a volume as messages and labels show it: DosPath's, with the
// bytes no line of text should carry (a damaged MSDOS.SYS can hold any)
// escaped.
std::string WindowsPath(std::string path);

// "is too large for a registry file (...)", after a file's name.
std::string TooLarge(std::uint64_t claimed, std::uint64_t limit);

}  // namespace diskimage
