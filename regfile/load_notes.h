// The notes a load of a .reg file leaves in the registry: each key, value
// or line left out or changed named as "FILE:LINE: what", as many as a
// terminal can take (kNamedNotesPerFile), then one count of the rest by
// what they are about.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "store/store.h"

namespace regfile {

class LoadNotes {
 public:
  LoadNotes(store::Registry& reg, std::string_view fileName, std::size_t* named)
      : reg_(reg), fileName_(fileName), named_(named) {}

  // Names what at line, or counts it past the named notes. Every note
  // begins with what it is about: a key ("key ...", "text after the key
  // ..."), a value ("value ...", "unknown escape ..."), or a line.
  void Note(std::size_t line, const std::string& what, bool leftOut);
  // Adds the count of what was not named, if anything was not.
  void Close(bool leftOut);

 private:
  enum About { kKeys, kValues, kLines };
  static About AboutWhat(std::string_view what);

  store::Registry& reg_;
  std::string_view fileName_;
  std::size_t* named_;
  std::array<std::size_t, 3> unnamed_{};  // by what they are about
};

}  // namespace regfile
