// The client of the disk image module (diskimage/image_module.h).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diskimage/image.h"
#include "hive/hive.h"
#include "store/store.h"

namespace sources {

// Reads the registry an image of kind holds, as selected, into reg. False
// with a one-line message naming the image (and the partition) and what is
// wrong.
bool LoadImage(store::Registry& reg, const diskimage::ImageSelector& selector, diskimage::ImageKind kind,
               std::string* error);

// Hands each hive an image holds, as selected, to visit with where it lies
// ("IMAGE: partition 1 (C:): \WINDOWS\SYSTEM.DAT"); stops when visit returns
// false. False with a one-line message when the image cannot be read.
bool ForEachImageHive(const diskimage::ImageSelector& selector, diskimage::ImageKind kind,
                      const std::function<bool(const std::string&, std::unique_ptr<hive::HiveBytes>)>& visit,
                      std::string* error);

// Hands record each record of what an image of kind holds (the module's
// listing: its kind and fields), for the state selector names. False with
// a message when the image cannot be read.
bool ListImage(const diskimage::ImageSelector& selector, diskimage::ImageKind kind,
               const std::function<void(const std::string&, const std::vector<std::string>&)>& record,
               std::string* error);

}  // namespace sources
