// regfile/ owns reading and writing .reg files: the loader here, and the
// REGEDIT4 / version 5 export formatting (regexport.h). It uses the store
// and the text conversions, and knows nothing of where the bytes come from.
//
// The loader reads REGEDIT4 (8-bit text in the registry's codepage, kept
// byte for byte) and "Windows Registry Editor Version 5.00" (UTF-16LE with a
// byte order mark, or UTF-8), whose names and strings are converted to the
// registry's codepage as they are stored.
#pragma once

#include <string>
#include <string_view>

#include "store/store.h"
#include "text/text.h"

namespace regfile {

// Whether the bytes begin like a registry export, in any of its encodings.
bool LooksLikeRegFile(std::string_view bytes);

// The codepage a REGEDIT4 file names for its machine (the ACP value under
// HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Nls\Codepage), found
// by its lines alone, before the file can be read knowing it; 0 where it
// names none (a version 5 file is text of its own, and says 0).
int CodepageNamedIn(std::string_view bytes);

// Adds the keys and values of a registry export to reg; a key named twice
// merges. On failure returns false and sets error to "FILE:LINE: what is
// wrong"; what was added before the failure stays in reg, which the caller
// then discards.
// A version 5 file's text goes through toCodepage (UTF-8 to the registry's
// codepage; null keeps it UTF-8); *unicode says whether the file was one.
bool LoadRegFile(store::Registry& reg, std::string_view bytes, std::string_view fileName, std::string* error,
                 text::TextConverter* toCodepage = nullptr, bool* unicode = nullptr);

}  // namespace regfile
