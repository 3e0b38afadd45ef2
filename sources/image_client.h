// The client of the disk image module (imagemodule/image_module.h).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "diskimage/formats.h"
#include "diskimage/image.h"
#include "hive/hive.h"
#include "sources/source_files.h"
#include "sources/sources.h"
#include "store/store.h"

namespace sources {

// A file the module read out of an image: its bytes, lent for the call,
// and the block that holds them where the module read into the tools' own
// memory, which a hive then keeps with no copy.
struct ImageFileBytes {
  std::string_view bytes;
  FileBlock block;
  // The bytes as a hive, the block taken over where there is one.
  std::unique_ptr<hive::HiveBytes> TakeHive();
};

// Hands each registry file an image holds, as selected, to take with where
// it lies ("IMAGE: partition 1 (C:): \\WINDOWS\\SYSTEM.DAT"), the root a
// hive there feeds (by its name; none where the name says nothing) and its
// bytes, whatever they are: the caller tells them apart as it does a file
// on the host. Stops when take returns false (with its own message in
// *error). False with a one-line message naming the image (and the
// partition) and what is wrong. notes gets what the readers found wrong
// but read all the same, a message each. oemCodepage: the codepage a FAT
// volume's short names are in (0: the module's own choice).
bool ReadImageFiles(const diskimage::ImageSelector& selector, diskimage::SourceKind kind,
                    const std::function<bool(const std::string& label, const FileOrigin& origin,
                                             std::optional<store::Root> root, ImageFileBytes& file)>& take,
                    std::vector<std::string>* notes, std::string* error, int oemCodepage = 0);

// Hands record each record of what an image of kind holds (the module's
// listing: its kind and fields), for the state selector names. False with
// a message when the image cannot be read; notes as ReadImageFiles's.
bool ListImage(const diskimage::ImageSelector& selector, diskimage::SourceKind kind,
               const std::function<void(const std::string&, const std::vector<std::string>&)>& record,
               std::vector<std::string>* notes, std::string* error);

// Where the image module lies, for a program whose own place does not say
// (the Python package carries the module in its folder); the tools find it
// beside themselves. Set before the first image is read.
void SetImageModulePath(std::string path);

}  // namespace sources
