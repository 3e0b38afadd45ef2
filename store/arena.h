// Bytes kept as long as the registry: the names and data a loader copies.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace store {

// Small copies share chunks; a large one gets a block of its own, so that
// no chunk is wasted on it. Nothing is freed before the arena.
class Arena {
 public:
  std::string_view Keep(std::string_view bytes);

 private:
  std::vector<std::unique_ptr<char[]>> buffers_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

}  // namespace store
