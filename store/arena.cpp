#include "store/arena.h"

#include <cstring>

namespace store {

namespace {
constexpr std::size_t kChunk = 64 * 1024;
}  // namespace

std::string_view Arena::Keep(std::string_view bytes) {
  if (bytes.empty()) return {};
  if (bytes.size() > kChunk / 4) {
    auto block = std::make_unique_for_overwrite<char[]>(bytes.size());
    std::memcpy(block.get(), bytes.data(), bytes.size());
    std::string_view kept(block.get(), bytes.size());
    buffers_.push_back(std::move(block));
    return kept;
  }
  if (left_ < bytes.size()) {
    buffers_.push_back(std::make_unique_for_overwrite<char[]>(kChunk));
    next_ = buffers_.back().get();
    left_ = kChunk;
  }
  std::memcpy(next_, bytes.data(), bytes.size());
  std::string_view kept(next_, bytes.size());
  next_ += bytes.size();
  left_ -= bytes.size();
  return kept;
}

}  // namespace store
