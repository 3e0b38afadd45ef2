// A hive's bytes held in memory.
#include <cstring>

#include "bytes/bytes.h"
#include "hive/hive.h"

namespace hive {

namespace {

class MemoryBytes final : public HiveBytes {
 public:
  MemoryBytes(std::unique_ptr<char[]> image, std::size_t size) : image_(std::move(image)), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t length, void* out) override {
    if (!bytes::InRange(offset, length, size_)) return false;
    if (length != 0) std::memcpy(out, image_.get() + offset, length);
    return true;
  }
  std::string_view Keep(std::uint64_t offset, std::size_t length) override {
    if (!bytes::InRange(offset, length, size_)) return {};
    return {image_.get() + offset, length};
  }

 private:
  std::unique_ptr<char[]> image_;
  std::size_t size_;
};

}  // namespace

std::unique_ptr<HiveBytes> MemoryHiveBytes(std::unique_ptr<char[]> image, std::size_t size) {
  return std::make_unique<MemoryBytes>(std::move(image), size);
}

std::unique_ptr<HiveBytes> CopyHiveBytes(std::string_view bytes) {
  // Exactly the bytes: a sanitizer then sees a read one past the end.
  auto image = std::make_unique_for_overwrite<char[]>(bytes.size());
  if (!bytes.empty()) std::memcpy(image.get(), bytes.data(), bytes.size());
  return MemoryHiveBytes(std::move(image), bytes.size());
}

bool LooksLikeHive(std::string_view bytes) { return bytes.starts_with("CREG"); }

}  // namespace hive
