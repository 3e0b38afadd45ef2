// What a cabinet offers, worded for the user; the cabinet itself is read
// by its plug-in (libraries.h), loaded only when a source holds one.
#include "imagemodule/cabinet.h"

#include <algorithm>

#include "bytes/bytes.h"

namespace diskimage {

bool ListCabinet(const std::string& cabinet, std::vector<CabinetFile>* files, std::string* error) {
  const auto* library = PluginOf<CabinetLibrary>(Library::kCabinet, error);
  return library != nullptr && library->list(cabinet, files, error);
}

bool Unpack(const std::string& cabinet, const std::string& name, std::uint64_t maxBytes, std::string* out,
            std::string* error) {
  const auto* library = PluginOf<CabinetLibrary>(Library::kCabinet, error);
  return library != nullptr && library->unpack(cabinet, name, maxBytes, out, error);
}

std::string CabinetChoices(const std::string& cabinet, const ImageSelector& how) {
  std::vector<CabinetFile> files;
  std::string error;
  if (!ListCabinet(cabinet, &files, &error)) return error;
  if (files.empty()) return "an empty cabinet";
  std::string said = "a cabinet of " + std::to_string(files.size()) + (files.size() == 1 ? " file" : " files") +
                     "; choose the one to read:";
  std::size_t nameWidth = 0, sizeWidth = 0;
  for (const CabinetFile& file : files) {
    nameWidth = std::max(nameWidth, bytes::Escaped(file.name).size());
    sizeWidth = std::max(sizeWidth, std::to_string(file.size).size());
  }
  for (const CabinetFile& file : files) {
    std::string name = bytes::Escaped(file.name);
    std::string size = std::to_string(file.size);
    ImageSelector reading = how;
    reading.cab = file.name;
    said += "\n  " + name + std::string(nameWidth - name.size() + 2 + sizeWidth - size.size(), ' ') + size +
            " bytes   (" + FormatImageSelector(reading) + ")";
  }
  return said;
}

}  // namespace diskimage
