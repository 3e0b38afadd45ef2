#include "sources/codepage.h"

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

store::LeadBytes LeadBytesOf(int codepage) {
  store::LeadBytes lead;
  switch (codepage) {
    case 932:  // Shift-JIS
      lead.Set(0x81, 0x9F);
      lead.Set(0xE0, 0xFC);
      lead.SetTrail(0x40, 0x7E);
      lead.SetTrail(0x80, 0xFC);
      break;
    case 936:  // GBK
      lead.Set(0x81, 0xFE);
      lead.SetTrail(0x40, 0x7E);
      lead.SetTrail(0x80, 0xFE);
      break;
    case 949:  // Unified Hangul
      lead.Set(0x81, 0xFE);
      lead.SetTrail(0x41, 0x5A);
      lead.SetTrail(0x61, 0x7A);
      lead.SetTrail(0x81, 0xFE);
      break;
    case 950:  // Big5
      lead.Set(0x81, 0xFE);
      lead.SetTrail(0x40, 0x7E);
      lead.SetTrail(0xA1, 0xFE);
      break;
    default:
      break;
  }
  return lead;
}

}  // namespace sources
