// What the tools' choice asks of the module, as its readers take it, and
// the selector that asks it again.
#pragma once

#include <cstddef>
#include <string>

#include "diskimage/fat.h"
#include "diskimage/image.h"
#include "diskimage/machine.h"
#include "imagemodule/image_module.h"

namespace diskimage {

// The saved state choice asks for. A choice of tools built before
// snapshotId was added is shorter, and chooses by snapshot= alone.
inline StateWanted WantedState(const KormaldImageChoice& choice) {
  bool hasId = choice.size >= offsetof(KormaldImageChoice, snapshotId) + sizeof choice.snapshotId &&
               choice.snapshotId != nullptr && choice.snapshotId[0] != '\0';
  return hasId ? StateWanted{choice.snapshotId, true} : StateWanted{choice.snapshot, false};
}

// The codepage of a FAT volume's short names, as choice names it; the
// default where the tools say none, or were built before they could.
inline int OemCodepageOf(const KormaldImageChoice& choice) {
  bool has = choice.size >= offsetof(KormaldImageChoice, oemCodepage) + sizeof choice.oemCodepage;
  return has && choice.oemCodepage > 0 ? choice.oemCodepage : kDefaultOemCodepage;
}

// Where the tools give memory for a file read whole; null where they give
// none, or were built before they could.
inline KormaldRoom RoomOf(const KormaldImageChoice& choice) {
  bool has = choice.size >= offsetof(KormaldImageChoice, room) + sizeof choice.room;
  return has ? choice.room : nullptr;
}

// Whether the tools' blocks may have an image file's pages mapped over
// them; not where they did not say so.
inline bool RoomPagesOf(const KormaldImageChoice& choice) {
  bool has = choice.size >= offsetof(KormaldImageChoice, roomPages) + sizeof choice.roomPages;
  return has && RoomOf(choice) != nullptr && choice.roomPages != 0;
}

// A selector of image in the state wanted, whose other parts the caller sets.
inline ImageSelector InState(const std::string& image, const StateWanted& wanted) {
  ImageSelector selector{.image = image};
  (wanted.byId ? selector.snapshotId : selector.snapshot) = wanted.text;
  return selector;
}

}  // namespace diskimage
