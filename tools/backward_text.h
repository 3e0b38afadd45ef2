// Text laid down from its end towards its start: the way to write in one
// pass a text whose parts come in reverse order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "tools/registry_cli.h"

namespace tools {

class BackwardText {
 public:
  // Room the text of any Windows 9x registry fits in: taken, not touched,
  // so it costs only the pages written.
  static constexpr std::size_t kDefaultRoom = std::size_t{64} << 20;

  explicit BackwardText(std::size_t room = kDefaultRoom) { Take(room); }

  void Prepend(std::string_view piece) {
    if (piece.size() > static_cast<std::size_t>(begin_ - block_.get())) Grow(piece.size());
    begin_ -= piece.size();
    std::memcpy(begin_, piece.data(), piece.size());
  }
  // How much has been laid down, a mark that moving the text keeps.
  std::size_t Length() const { return static_cast<std::size_t>(end_ - begin_); }
  // What was laid down after the first mark up to the second.
  std::string_view Between(std::size_t from, std::size_t to) const { return {end_ - to, to - from}; }

 private:
  static constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

  // Takes room for at least size bytes and moves the text there. The text
  // ends on a huge page's boundary, so that huge pages can back it from its
  // first byte on.
  void Take(std::size_t size) {
    auto block = std::make_unique_for_overwrite<char[]>(size + kHugePage);
    auto* end = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(block.get()) + size + kHugePage) &
                                        ~(kHugePage - 1));
    std::size_t length = block_ ? Length() : 0;
    if (length != 0) std::memcpy(end - length, begin_, length);
    PreferHugePages(block.get(), static_cast<std::size_t>(end - block.get()));
    block_ = std::move(block);
    end_ = end;
    begin_ = end - length;
  }

  void Grow(std::size_t more) { Take(std::max(2 * static_cast<std::size_t>(end_ - block_.get()), Length() + more)); }

  std::unique_ptr<char[]> block_;
  char* end_ = nullptr;
  char* begin_ = nullptr;
};

}  // namespace tools
