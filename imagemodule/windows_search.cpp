#include "imagemodule/windows_search.h"

#include "imagemodule/fat_files.h"

namespace diskimage {

MsdosSysSays ReadMsdosSys(Image& image) {
  MsdosSysSays says;
  for (Volume& v : image.volumes) {
    if (v.letter != 'C') continue;
    FatFileSystem* fs = FileSystem(image, v);
    if (fs == nullptr) return says;
    says.boot = &v;
    std::string text;
    if (!ReadFile(*fs, "/MSDOS.SYS", kMaxMsdosSysBytes, &text, &says.unreadable, "an MSDOS.SYS")) return says;
    says.named = ParseMsdosSys(text);
    for (Volume& on : image.volumes) {
      if (!says.named || on.letter != says.named->drive) continue;
      says.volume = &on;
      says.fs = FileSystem(image, on);
      break;
    }
    return says;
  }
  return says;
}

std::vector<WindowsCandidate> TopLevelFolders(Image& image, bool lettered, bool* anyFat) {
  std::vector<WindowsCandidate> folders;
  if (anyFat != nullptr) *anyFat = false;
  for (Volume& v : image.volumes) {
    if (lettered && v.letter == 0 && v.where.number != 0) continue;
    FatFileSystem* fs = FileSystem(image, v);
    if (fs == nullptr) continue;
    if (anyFat != nullptr) *anyFat = true;
    for (std::string& dir : WindowsDirectories(*fs)) folders.push_back({&v, fs, std::move(dir)});
  }
  return folders;
}

}  // namespace diskimage
