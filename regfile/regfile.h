// regfile/ owns reading and writing .reg files: the loader here, and the
// REGEDIT4 / version 5 export formatting (regexport.h). It uses the store
// and the text conversions, and knows nothing of where the bytes come from.
//
// The loader reads REGEDIT4 (8-bit text in the registry's codepage, kept
// byte for byte) and "Windows Registry Editor Version 5.00" (UTF-16LE with a
// byte order mark, or UTF-8), whose names and strings are converted to the
// registry's codepage as they are stored. It reads a file as Windows'
// regedit imports it: a line regedit skips is left out, and the rest of the
// file read; unlike regedit, it names each line it leaves out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "store/store.h"
#include "text/text.h"

namespace regfile {

// Whether the bytes begin like a registry export, in any of its encodings
// (or like a header regedit refuses, which the loader then names).
bool LooksLikeRegFile(std::string_view bytes);

// Notes past this many in one file are counted, not named, so that a
// binary file read as one does not flood the terminal.
inline constexpr std::size_t kNamedNotesPerFile = 20;

// What a load came to beyond the registry. Every physical line of the file
// is either taken or left out, once: lines == linesTaken + linesLeftOut.
struct RegFileReport {
  bool unicode = false;        // a version 5 file, or a UTF-16 or UTF-8 one
  std::size_t lines = 0;       // the header's included
  std::size_t linesTaken = 0;
  std::size_t linesLeftOut = 0;
  std::size_t leftOut = 0;     // keys, values and lines left out: one note each
  std::size_t changed = 0;     // values kept as Windows changes them: one note each
  std::size_t notesNamed = 0;  // of leftOut + changed, named one by one
};

// Adds the keys and values of a registry export to reg; a key named twice
// merges. What Windows' regedit would skip is left out, each with a note
// "FILE:LINE: what" in reg's load notes (kNamedNotesPerFile of them, then
// one count). Fails, setting error, only for a file that is no registry
// export at all; what was added by then stays in reg, which the caller
// discards.
// A version 5 file's text goes through toCodepage (UTF-8 to the registry's
// codepage; null keeps it UTF-8).
bool LoadRegFile(store::Registry& reg, std::string_view bytes, std::string_view fileName, std::string* error,
                 text::TextConverter* toCodepage = nullptr, RegFileReport* report = nullptr);

}  // namespace regfile
