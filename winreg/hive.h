// Loader for the Windows 9x/Me binary registry files SYSTEM.DAT and
// USER.DAT ("CREG"). The layout is described beside the reader in hive.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "winreg/store.h"

namespace regstore {

bool LooksLikeHive(std::string_view bytes);

// Adds the keys of a hive image to reg under root (when not given: HKEY_USERS
// if the hive holds a .DEFAULT key, else HKEY_LOCAL_MACHINE). The registry
// keeps the image; names and data are served from it. A hive whose header,
// key area or block list cannot be read is refused: false, with error naming
// the file, the byte offset and what is wrong. Damage inside a key is
// recorded on that key and does not fail the load.
bool LoadHive(Registry& reg, std::unique_ptr<char[]> image, std::size_t size,
              const std::string& fileName, std::optional<Root> root, std::string* error);

}  // namespace regstore
