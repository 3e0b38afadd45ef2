// Which codepage a loaded registry's text is in.
#pragma once

#include "store/store.h"

namespace sources {

// The codepage the registry says its text is in (the ACP value under
// HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Nls\Codepage), or 0.
int RegistryAcp(store::Registry& reg);

// The registry's codepage (0: raw bytes). Where a fallback was left to
// decide, this finds out whether this system converts the codepage, takes
// the fallback where it does not, and settles it in the registry.
int RegistryCodepage(store::Registry& reg);

// The lead bytes of a double-byte Windows codepage, as its CPINFO gives
// them: 932 (Shift-JIS) 0x81-0x9F and 0xE0-0xFC; 936, 949 and 950 (GBK,
// Unified Hangul, Big5) 0x81-0xFE; with the bytes each pairs with, as
// MultiByteToWideChar pairs them (932: 0x40-0x7E, 0x80-0xFC; 936: 0x40-0x7E,
// 0x80-0xFE; 949: A-Z, a-z, 0x81-0xFE; 950: 0x40-0x7E, 0xA1-0xFE). None for
// any other codepage.
store::LeadBytes LeadBytesOf(int codepage);

}  // namespace sources
