// The product's one codec of Unicode forms, and the small text facts every
// road asks: UTF-8 and UTF-16LE coded by hand because the loader needs what
// no converter gives (a lone surrogate marked, not refused, so that the
// line holding it can be named), whether text is ASCII alone, and how a
// codepage number is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace text {

// Appends a code point as UTF-8 (a surrogate's number as the three bytes
// UTF-8 would give it, which no valid text holds).
void AppendUtf8(std::string& out, std::uint32_t codePoint);

// UTF-16LE to UTF-8, appended to out. A lone surrogate fails it, unless
// markLone is set: then it is written as the three bytes UTF-8 would give
// its number, so that HoldsMarkedSurrogate tells it later. An odd last byte
// is not read.
bool Utf16ToUtf8(std::string_view utf16, std::string& out, bool markLone = false);
// Whether text Utf16ToUtf8 made with markLone holds a lone surrogate.
bool HoldsMarkedSurrogate(std::string_view utf8);

// Whether bytes are well-formed UTF-8: shortest forms, no surrogates,
// nothing past U+10FFFF.
bool IsValidUtf8(std::string_view bytes);

// Whether text is ASCII alone, which reads the same in every charset a
// terminal or a registry uses. Eight bytes at a time: every line a walk
// prints asks it.
bool IsAscii(std::string_view text);

// A Windows codepage number as Windows numbers codepages: decimal digits
// alone, 1 to 65535 (a code page identifier is 16 bits); nullopt for
// anything else.
std::optional<int> ParseCodepageNumber(std::string_view digits);

}  // namespace text
