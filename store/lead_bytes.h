// The lead bytes of a double-byte codepage (932, 936, 949, 950): a byte that
// begins a two-byte character, whose second byte may be any, '\' among
// them. Windows' registry functions on such a system skip those second
// bytes when they split a path into names; so does the store.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace store {

class LeadBytes {
 public:
  // Marks the bytes from to through as lead bytes.
  void Set(unsigned char from, unsigned char through) {
    for (unsigned b = from; b <= through; ++b) lead_[b] = true;
    any_ = true;
  }
  bool operator[](unsigned char b) const { return lead_[b]; }
  bool empty() const { return !any_; }

 private:
  std::array<bool, 256> lead_{};
  bool any_ = false;
};

// Where the next '\' that separates names lies in path, from from (which
// begins a character), or npos: a '\' that is a two-byte character's second
// byte is not one.
inline std::size_t FindSeparator(std::string_view path, const LeadBytes& lead, std::size_t from = 0) {
  if (lead.empty()) return path.find('\\', from);
  for (std::size_t i = from; i < path.size(); ++i) {
    auto b = static_cast<unsigned char>(path[i]);
    if (lead[b] && i + 1 < path.size()) {
      ++i;
    } else if (b == '\\') {
      return i;
    }
  }
  return std::string_view::npos;
}

}  // namespace store
