// bytes/ owns the first touch of bytes from outside: whether a range lies
// inside what is there, fixed-width fields read with their bounds, and
// how bytes from a file are shown on a line of a terminal. The ground
// floor: it uses nothing of ours, and every reader of outside bytes (hives,
// .reg files, disk images, the files the sources read) uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bytes {

// Whether length bytes at offset lie wholly inside size bytes. Written so
// that no sum can wrap, whatever a file claims.
constexpr bool InRange(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

// The unaligned fields of a record, in one byte order. Every read is
// checked against the record's bytes: a field that does not lie wholly
// inside them reads as 0 and leaves the reader incomplete, so that a
// parser reads its fields and asks once, after them, whether they were all
// there. Windows' formats are little-endian; QEMU's qcow is big-endian.
enum class Order { kLittle, kBig };

template <Order order>
class Fields {
 public:
  explicit Fields(std::string_view bytes) : bytes_(bytes) {}
  Fields(const void* bytes, std::size_t size) : bytes_(static_cast<const char*>(bytes), size) {}

  std::uint8_t U8(std::size_t at) const { return Read<std::uint8_t>(at); }
  std::uint16_t U16(std::size_t at) const { return Read<std::uint16_t>(at); }
  std::uint32_t U32(std::size_t at) const { return Read<std::uint32_t>(at); }
  std::uint64_t U64(std::size_t at) const { return Read<std::uint64_t>(at); }
  // length bytes at at; empty (and incomplete) where they are not all there.
  std::string_view Span(std::size_t at, std::size_t length) const {
    if (!InRange(at, length, bytes_.size())) return Short<std::string_view>();
    return bytes_.substr(at, length);
  }
  // Whether the bytes at at begin with text (a signature).
  bool Holds(std::size_t at, std::string_view text) const { return Span(at, text.size()) == text; }

  bool complete() const { return complete_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  template <typename T>
  T Read(std::size_t at) const {
    if (!InRange(at, sizeof(T), bytes_.size())) return Short<T>();
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      std::size_t byte = order == Order::kLittle ? sizeof(T) - 1 - i : i;
      v = v << 8 | static_cast<unsigned char>(bytes_[at + byte]);
    }
    return static_cast<T>(v);
  }
  template <typename T>
  T Short() const {
    complete_ = false;
    return T{};
  }

  std::string_view bytes_;
  mutable bool complete_ = true;
};

using LittleEndian = Fields<Order::kLittle>;
using BigEndian = Fields<Order::kBig>;

// Bytes from a file as a line of text may carry them: each byte outside
// printable ASCII (0x20 to 0x7E) as \xNN in lower case, so that no byte of
// a hostile file reaches the terminal as a control, or as half a character
// of whatever charset the terminal reads.
void AppendEscaped(std::string& out, std::string_view text);
inline std::string Escaped(std::string_view text) {
  std::string out;
  AppendEscaped(out, text);
  return out;
}

// An offset or a size as messages give them: "0x" and lower-case hex.
std::string Hex(std::uint64_t n);

// The message for a file over a size limit, after its name and ": ":
// "too large for a registry file (SIZE bytes; one holds at most LIMIT)";
// size is the file's size, or "more than N" where only that is known.
std::string TooLargeForRegistryFile(std::string_view size, std::uint64_t limit);

}  // namespace bytes
