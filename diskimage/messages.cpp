#include "diskimage/messages.h"

#include <algorithm>

#include "bytes/bytes.h"

namespace diskimage {

std::string FirstLine(std::string text) {
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string DosPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string WindowsPath(std::string path) { return bytes::Escaped(DosPath(std::move(path))); }

std::string TooLarge(std::uint64_t claimed, std::uint64_t limit) {
  return "is " + bytes::TooLargeForRegistryFile(std::to_string(claimed), limit);
}

}  // namespace diskimage
