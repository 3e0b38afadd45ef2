// Writing keys and values in REGEDIT4 syntax, as Windows' regedit writes
// them and as both Windows' and Wine's regedit read them back; a version 5
// file is the same text in UTF-16LE.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "store/lead_bytes.h"
#include "text/text.h"

namespace regfile {

inline constexpr char kRegedit4Header[] = "REGEDIT4\r\n";

// Whether a key or value name can stand in a REGEDIT4 file: a line break
// would end its line.
bool ExportableName(std::string_view name);

// One value as "name"=data. Strings that survive a round trip as quoted text
// are written so; a 4-byte REG_DWORD as dword:; everything else as hex: or
// hex(N):. With wrap, long hex data goes on over lines the way regedit
// breaks them ("\" at the end, two blanks at the start of the next line).
// The value is appended to out. For a version 5 export, toUtf16 converts
// string data written as hex (REG_EXPAND_SZ, REG_MULTI_SZ, a REG_SZ that
// cannot be quoted) from the registry's codepage to UTF-16LE, as such a
// file holds it; quoted text is converted with the whole file. False when
// the name cannot stand in a REGEDIT4 file (ExportableName); the line then
// holds only "=" and the data.
// Quoted text in a double-byte codepage takes each character whole (lead):
// a second byte that is '\' is not escaped, as Windows writes it.
bool AppendFormattedValue(std::string& out, std::string_view name, std::uint32_t type, std::string_view data,
                          bool wrap, text::TextConverter* toUtf16 = nullptr, const store::LeadBytes& lead = {});

// A line that deletes a value on import: "name"=- (@=- for the default
// value). False, and nothing appended, when the name cannot stand in a
// REGEDIT4 file.
bool AppendValueDeletion(std::string& out, std::string_view name, const store::LeadBytes& lead = {});

inline constexpr char kRegedit5Header[] = "Windows Registry Editor Version 5.00\r\n";

// The frame of an export file around its sections ("\r\n[path]\r\n" and
// value lines each ending in CR LF): a REGEDIT4 file in the registry's
// codepage, or with toUtf16 a version 5 file in UTF-16LE behind its byte
// order mark. What it makes goes to put piece by piece, as it comes, so
// that a large export is never held twice.
class ExportFile {
 public:
  using Put = std::function<void(std::string_view bytes)>;
  ExportFile(text::TextConverter* toUtf16, Put put) : toUtf16_(toUtf16), put_(std::move(put)) {}

  void Begin();
  // Sections as they come; each piece ends where a line does.
  void Add(std::string_view sections);
  void End();

 private:
  text::TextConverter* toUtf16_;
  Put put_;
};

}  // namespace regfile
