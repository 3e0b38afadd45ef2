#include "regfile/load_notes.h"

#include <vector>

#include "regfile/regfile.h"

namespace regfile {

LoadNotes::About LoadNotes::AboutWhat(std::string_view what) {
  if (what.starts_with("key") || what.starts_with("text after the key")) return kKeys;
  if (what.starts_with("value") || what.starts_with("unknown escape")) return kValues;
  return kLines;
}

void LoadNotes::Note(std::size_t line, const std::string& what, bool leftOut) {
  if (*named_ < kNamedNotesPerFile) {
    ++*named_;
    reg_.AddLoadNote(std::string(fileName_) + ":" + std::to_string(line) + ": " + what, leftOut);
  } else {
    ++unnamed_[AboutWhat(what)];
  }
}

void LoadNotes::Close(bool leftOut) {
  // "5 more values", "1 more key and 2 more lines".
  static constexpr const char* kWhat[] = {"key", "value", "line"};
  std::vector<std::string> parts;
  for (int about : {kKeys, kValues, kLines}) {
    std::size_t n = unnamed_[about];
    if (n != 0) parts.push_back(std::to_string(n) + " more " + kWhat[about] + (n == 1 ? "" : "s"));
  }
  if (parts.empty()) return;
  std::string said;
  for (std::size_t i = 0; i < parts.size(); ++i) said += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
  reg_.AddLoadNote(std::string(fileName_) + ": " + said + " left out or changed, not named one by one", leftOut);
}

}  // namespace regfile
