// The .reg loader on arbitrary bytes, then every key and value it made,
// within a work budget proportional to the input. A version 5 file's text
// is converted to a codepage as it is stored, and an 8-bit file's paths and
// quoted text are read in one (a double-byte one for odd sizes, with its
// lead bytes); the bytes themselves go through the conversions the tools
// use for output. Every line is taken or left out once, and every note is
// named or counted once.
#include <cstdint>
#include <string>

#include "testkit/walk_everything.h"
#include "testkit/work_budget.h"
#include "regfile/regfile.h"
#include "sources/codepage.h"
#include "store/store.h"
#include "text/text.h"

namespace {

// The lines of a file counted apart from the loader: CR LF, CR and LF each
// end one, and anything after the last ends one more (half a UTF-16
// character too).
std::size_t CountLines(std::string_view bytes) {
  bool utf16 = bytes.starts_with("\xff\xfe");
  std::size_t width = utf16 ? 2 : 1;
  std::size_t i = utf16 ? 2 : 0;
  std::size_t lines = 0;
  bool open = false;
  auto unit = [&](std::size_t at) -> unsigned {
    unsigned low = static_cast<unsigned char>(bytes[at]);
    return utf16 ? low | static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8 : low;
  };
  for (; i + width <= bytes.size(); i += width) {
    unsigned c = unit(i);
    if (c == '\r' && i + 2 * width <= bytes.size() && unit(i + width) == '\n') i += width;
    if (c == '\r' || c == '\n') {
      ++lines;
      open = false;
    } else {
      open = true;
    }
  }
  return lines + (open || i < bytes.size() ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto toWestern = text::TextConverter::Open("UTF-8", "CP1252");
  static auto toJapanese = text::TextConverter::Open("UTF-8", "CP932");
  static auto fromJapanese = text::TextConverter::Open("CP932", "UTF-8", true);
  static auto toUtf16 = text::TextConverter::Open("CP1251", "UTF-16LE");
  std::uint64_t start = work_budget::Work();
  auto reg = std::make_unique<store::Registry>();
  std::string error;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  text::TextConverter* toCodepage = size % 2 != 0 ? toJapanese.get() : toWestern.get();
  if (size % 2 != 0) reg->SetLeadBytes(sources::LeadBytesOf(932));
  regfile::RegFileReport report;
  if (regfile::LoadRegFile(*reg, bytes, "fuzz.reg", &error, toCodepage, &report)) {
    std::size_t notes = report.leftOut + report.changed;
    std::size_t named = notes < regfile::kNamedNotesPerFile ? notes : regfile::kNamedNotesPerFile;
    if (report.lines != CountLines(bytes) || report.linesTaken + report.linesLeftOut != report.lines ||
        report.linesLeftOut < report.leftOut || report.notesNamed != named ||
        reg->LoadNotes().size() != named + (notes > named ? 1 : 0) || reg->SomethingLeftOut() != (report.leftOut > 0)) {
      __builtin_trap();
    }
    InstallAndWalk(std::move(reg));
  } else if (error.empty() || !reg->LoadNotes().empty()) {
    __builtin_trap();
  }
  // Every input byte becomes some output: nothing is dropped unseen.
  if (!bytes.empty() && fromJapanese->Convert(bytes).empty()) __builtin_trap();
  if (toUtf16->Convert(bytes).size() < 2 * bytes.size()) __builtin_trap();
  // More work than a fixed multiple of the input's size is a path that
  // grows faster than its input: a failure, however quick this input was.
  if (work_budget::Work() - start > work_budget::Budget(size)) __builtin_trap();
  return 0;
}
