// The client of the disk image module (diskimage/image_module.h).
#pragma once

#include <string>

#include "diskimage/image.h"
#include "store/store.h"

namespace sources {

// Reads the registry an image holds, as selected, into reg. False with a
// one-line message naming the image (and the partition) and what is wrong.
bool LoadImage(store::Registry& reg, const diskimage::ImageSelector& selector, std::string* error);

}  // namespace sources
