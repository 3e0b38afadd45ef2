#include "diskimage/messages.h"

#include <algorithm>

#include "bytes/bytes.h"

namespace diskimage {

std::string FirstLine(std::string text) {
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string Named(std::string_view outside) { return bytes::Escaped(outside); }

std::string ForTerminal(std::string_view message) {
  std::string out;
  for (char c : message) {
    auto byte = static_cast<unsigned char>(c);
    // Printable text and the bytes of any charset pass, and so do the line
    // breaks between a message's lines; no other control does.
    if ((byte < 0x20 && c != '\n') || byte == 0x7F) {
      bytes::AppendEscaped(out, std::string_view(&c, 1));
    } else {
      out += c;
    }
  }
  return out;
}

std::string DosPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string WindowsPath(std::string path) { return bytes::Escaped(DosPath(std::move(path))); }

std::string TooLarge(std::uint64_t claimed, std::uint64_t limit, std::string_view kind) {
  if (kind == kRegistryFile) return "is " + bytes::TooLargeForRegistryFile(std::to_string(claimed), limit);
  return "is too large for " + std::string(kind) + " (" + std::to_string(claimed) + " bytes; at most " +
         std::to_string(limit) + " are read of one)";
}

}  // namespace diskimage
