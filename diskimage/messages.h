// How the image code words what it tells a user, where more than one
// reader says it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace diskimage {

inline constexpr std::string_view kRegistryFile = "a registry file";

// The first line of what a library says, as one line of a message.
std::string FirstLine(std::string text);

// A name an image or a machine's file gives (a parent's or a backing
// file's, a disk's, the path found for one), as a message shows it: the
// one terminal escaper's, so that no byte of a hostile file reaches the
// terminal as a control.
std::string Named(std::string_view outside);

// A message the module hands the tools, its lines kept apart but every
// other control byte escaped: whatever a reader put in it, nothing in it
// acts on a terminal.
std::string ForTerminal(std::string_view message);

// A path in a volume as DOS writes it: '\' between names.
std::string DosPath(std::string path);

// A path in a volume as messages and labels show it: DosPath's, with the
// bytes no line of text should carry (a damaged MSDOS.SYS can hold any)
// escaped.
std::string WindowsPath(std::string path);

// "is too large for a registry file (...)", after a file's name; of a
// file of another kind ("a machine's file"), what is read of one at most.
std::string TooLarge(std::uint64_t claimed, std::uint64_t limit, std::string_view kind = kRegistryFile);

}  // namespace diskimage
