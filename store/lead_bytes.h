// The lead bytes of a double-byte codepage (932, 936, 949, 950): a byte that
// begins a two-byte character with a byte of its codepage's trail range
// after it, '\' among them in most. Windows' registry functions on such a system skip those second
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
  // Marks the bytes from to through as bytes a lead byte pairs with. A
  // lead byte before any other byte stands alone, as MultiByteToWideChar
  // reads it: '"' follows a lead byte in none of 932, 936, 949 and 950.
  void SetTrail(unsigned char from, unsigned char through) {
    for (unsigned b = from; b <= through; ++b) trail_[b] = true;
  }
  bool operator[](unsigned char b) const { return lead_[b]; }
  bool empty() const { return !any_; }
  // Whether the bytes at i and i + 1 of s are one character.
  bool Pairs(std::string_view s, std::size_t i) const {
    return lead_[static_cast<unsigned char>(s[i])] && i + 1 < s.size() && trail_[static_cast<unsigned char>(s[i + 1])];
  }
  // Whether a lead byte at the end of a name would take b after it as its
  // second byte.
  bool TakesAfter(unsigned char last, unsigned char b) const { return lead_[last] && trail_[b]; }

 private:
  std::array<bool, 256> lead_{};
  std::array<bool, 256> trail_{};
  bool any_ = false;
};

// Where the next '\' that separates names lies in path, from from (which
// begins a character), or npos: a '\' that is a two-byte character's second
// byte is not one.
inline std::size_t FindSeparator(std::string_view path, const LeadBytes& lead, std::size_t from = 0) {
  if (lead.empty()) return path.find('\\', from);
  for (std::size_t i = from; i < path.size(); ++i) {
    if (lead.Pairs(path, i)) {
      ++i;
    } else if (path[i] == '\\') {
      return i;
    }
  }
  return std::string_view::npos;
}

// Splits "A\B\C" and calls f on each name; false when a name is empty or
// f returns false.
template <typename F>
bool ForEachSegment(std::string_view path, const LeadBytes& lead, F&& f) {
  while (true) {
    std::size_t cut = FindSeparator(path, lead);
    std::string_view segment = path.substr(0, cut);
    if (segment.empty() || !f(segment)) return false;
    if (cut == std::string_view::npos) return true;
    path.remove_prefix(cut + 1);
  }
}

}  // namespace store
