// The .reg loader on arbitrary bytes, then every key and value it made,
// within a work budget proportional to the input. A version 5 file's text
// is converted to a codepage as it is stored, and an 8-bit file's paths and
// quoted text are read in one (a double-byte one for odd sizes, with its
// lead bytes); the bytes themselves go through the conversions the tools
// use for output.
#include <cstdint>
#include <string>

#include "testkit/walk_everything.h"
#include "testkit/work_budget.h"
#include "regfile/regfile.h"
#include "sources/codepage.h"
#include "store/store.h"
#include "text/text.h"

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
  if (regfile::LoadRegFile(*reg, bytes, "fuzz.reg", &error, toCodepage)) {
    InstallAndWalk(std::move(reg));
  } else if (error.empty()) {
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
