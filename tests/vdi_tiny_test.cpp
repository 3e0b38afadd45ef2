// VDI images written here byte by byte, as VirtualBox's VDICore.h lays
// them out, for what no qemu-img run makes: a differencing image whose
// ZERO block masks its parent, and blocks with extra data before them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diskimage/chain.h"
#include "diskimage/layout/vdi.h"
#include "testkit/test_support.h"

namespace {

namespace vdi = diskimage::layout::vdi;
constexpr std::uint32_t kBlock = 4096;

void Put(std::string& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i, value >>= 8) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value);
}

// A version 1.1 image of a disk of map.size() blocks of 4 KiB: the header,
// the map at 512, and after it the blocks, each extra bytes of 'x' and then
// its data, block n filled with fill[n]. parent: the UUID's last byte of a
// differencing image's parent, 0 for none.
std::string Vdi(unsigned char uuid, unsigned char parent, const std::vector<std::uint32_t>& map, const std::string& fill,
                std::uint32_t extra = 0) {
  const std::uint32_t dataAt = 1024;
  std::string image(dataAt, '\0');
  Put(image, vdi::kSignature, 0xBEDA107F, 4);
  Put(image, vdi::kVersion, vdi::kVersion1_1, 4);
  Put(image, vdi::v1_1::kType, parent == 0 ? vdi::kDynamic : vdi::kDifferencing, 4);
  Put(image, vdi::v1_1::kBlocksAt, 512, 4);
  Put(image, vdi::v1_1::kDataAt, dataAt, 4);
  Put(image, vdi::v1_1::kDiskSize, std::uint64_t{kBlock} * map.size(), 8);
  Put(image, vdi::v1_1::kBlockSize, kBlock, 4);
  Put(image, vdi::v1_1::kBlockExtra, extra, 4);
  Put(image, vdi::v1_1::kBlocks, map.size(), 4);
  image[vdi::v1_1::kUuid + 15] = static_cast<char>(uuid);
  image[vdi::v1_1::kParentUuid + 15] = static_cast<char>(parent);
  for (std::size_t i = 0; i < map.size(); ++i) Put(image, 512 + 4 * i, map[i], 4);
  for (char c : fill) image += std::string(extra, 'x') + std::string(kBlock, c);
  return image;
}

// The disk's blocks, a character each: the first byte of each.
std::string Blocks(const std::string& path, std::size_t count) {
  diskimage::Chain chain;
  std::string error;
  std::unique_ptr<diskimage::Disk> disk = diskimage::OpenChain(path, diskimage::Container::kVdi, chain, &error);
  if (disk == nullptr) return "refused: " + error;
  std::string firsts;
  for (std::size_t b = 0; b < count; ++b) {
    std::string block(kBlock, '?');
    if (disk->Read(b * kBlock, block.data(), block.size(), &error) != kBlock) return "unread: " + error;
    if (block.find_first_not_of(block[0]) != std::string::npos) return "mixed block " + std::to_string(b);
    firsts += block[0] == '\0' ? '0' : block[0];
  }
  return firsts;
}

TEST(VdiTiny, ZeroFreeAndOwnBlocksOverAParent) {
  std::string dir = testing_support::ScratchDir();
  // The parent holds pppp; the child: block 0 ZERO, 1 FREE (the
  // parent's), 2 its own first block, 3 its own second.
  testing_support::WriteFile(dir + "/parent.vdi", Vdi(1, 0, {0, 1, 2, 3}, "pppp"));
  std::string child = testing_support::WriteFile(
      dir + "/child.vdi", Vdi(2, 1, {vdi::kBlockZero, vdi::kBlockFree, 0, 1}, "cd"));
  EXPECT_EQ(Blocks(child, 4), "0pcd");
  // Alone, a FREE block is zeros as a ZERO one is.
  std::string alone = testing_support::WriteFile(dir + "/alone.vdi",
                                                 Vdi(3, 0, {vdi::kBlockZero, vdi::kBlockFree, 0, 1}, "cd"));
  EXPECT_EQ(Blocks(alone, 4), "00cd");
}

TEST(VdiTiny, ExtraDataBeforeEachBlockIsNoPartOfIt) {
  std::string dir = testing_support::ScratchDir();
  std::string path = testing_support::WriteFile(dir + "/extra.vdi", Vdi(4, 0, {1, 0, 2}, "abc", 512));
  EXPECT_EQ(Blocks(path, 3), "bac");
}

}  // namespace
