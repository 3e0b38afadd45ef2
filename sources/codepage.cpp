#include "sources/codepage.h"

#include <array>
#include <utility>

#include "text/text.h"
#include "text/unicode.h"

namespace sources {

int RegistryAcp(store::Registry& reg) {
  std::uint32_t nls =
      reg.FindPath(reg.RootNode(store::Root::kLocalMachine), "System\\CurrentControlSet\\Control\\Nls\\Codepage");
  if (nls == store::kNoNode) return 0;
  const store::Value* acp = reg.FindValue(nls, "ACP");
  if (acp == nullptr) return 0;
  return text::ParseCodepageNumber(acp->data.substr(0, acp->data.find('\0'))).value_or(0);
}

int RegistryCodepage(store::Registry& reg) {
  if (int fallback = reg.FallbackCodepage(); fallback != 0) {
    int codepage = reg.Codepage();
    if (!text::TextConverter::Open("UTF-8", text::CodepageCharset(codepage))) codepage = fallback;
    reg.SetCodepage(codepage);
  }
  return reg.Codepage();
}

namespace {

// A double-byte codepage's lead bytes and the bytes each pairs with, as
// byte ranges (from, through); a range of 0 to 0 is none.
struct DoubleByteCodepage {
  int codepage;
  std::array<std::pair<unsigned char, unsigned char>, 2> lead;
  std::array<std::pair<unsigned char, unsigned char>, 3> trail;
};

constexpr DoubleByteCodepage kDoubleByte[] = {
    {932, {{{0x81, 0x9F}, {0xE0, 0xFC}}}, {{{0x40, 0x7E}, {0x80, 0xFC}, {0, 0}}}},  // Shift-JIS
    {936, {{{0x81, 0xFE}, {0, 0}}}, {{{0x40, 0x7E}, {0x80, 0xFE}, {0, 0}}}},       // GBK
    {949, {{{0x81, 0xFE}, {0, 0}}}, {{{0x41, 0x5A}, {0x61, 0x7A}, {0x81, 0xFE}}}},  // Unified Hangul
    {950, {{{0x81, 0xFE}, {0, 0}}}, {{{0x40, 0x7E}, {0xA1, 0xFE}, {0, 0}}}},       // Big5
};

}  // namespace

store::LeadBytes LeadBytesOf(int codepage) {
  store::LeadBytes lead;
  for (const DoubleByteCodepage& c : kDoubleByte) {
    if (c.codepage != codepage) continue;
    for (auto [from, through] : c.lead) {
      if (through != 0) lead.Set(from, through);
    }
    for (auto [from, through] : c.trail) {
      if (through != 0) lead.SetTrail(from, through);
    }
  }
  return lead;
}

}  // namespace sources
