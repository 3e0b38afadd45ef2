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

}  // namespace sources
