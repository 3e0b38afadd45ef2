// qcow2 images written here byte by byte, as QEMU's qcow2.txt lays them
// out, for what no qemu-img run makes: a chain of more links than any VM
// software stacks, and L1 and L2 entries that point past the file's end.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "diskimage/chain.h"
#include "testkit/test_support.h"

namespace {

constexpr std::uint64_t kCluster = 1 << 16;

void Put(std::string& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = size - 1; i >= 0; --i, value >>= 8) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value);
}

// A version 2 image of a 1 MiB disk in 64 KiB clusters: its header and the
// backing file's name in cluster 0, its one-entry L1 table in cluster 1,
// an L2 table in cluster 2 where l1 points there. l1 and l2 are the
// entries (the L2 one for the disk's first cluster).
std::string Qcow2(const std::string& backing, std::uint64_t l1 = 0, std::uint64_t l2 = 0) {
  std::string image(3 * kCluster, '\0');
  image.replace(0, 4, "QFI\xFB");
  Put(image, 4, 2, 4);                        // version
  Put(image, 20, 16, 4);                      // cluster bits
  Put(image, 24, 1 << 20, 8);                 // disk size
  Put(image, 36, 1, 4);                       // L1 entries
  Put(image, 40, kCluster, 8);                // L1 offset
  if (!backing.empty()) {
    Put(image, 8, 512, 8);
    Put(image, 16, backing.size(), 4);
    image.replace(512, backing.size(), backing);
  }
  Put(image, kCluster, l1, 8);
  Put(image, 2 * kCluster, l2, 8);
  return image;
}

std::string Read(const std::string& path, std::string* error) {
  diskimage::Chain chain;
  std::unique_ptr<diskimage::Disk> disk = diskimage::OpenChain(path, diskimage::Container::kQcow2, chain, error);
  if (disk == nullptr) return "";
  std::string bytes(4096, '\0');
  if (disk->Read(0, bytes.data(), bytes.size(), error) < 0) return "";
  return bytes;
}

// 64 links read to their raw base; 65 is one too many, refused by name.
TEST(QcowTiny, AChainOfSixtyFiveLinksIsRefused) {
  std::string dir = testing_support::ScratchDir();
  testing_support::WriteFile(dir + "/base.raw", std::string(1 << 20, 'b'));
  for (int links : {64, 65}) {
    std::string below = "base.raw";
    std::string error;
    // The raw base is a link too: links - 1 qcow2 files over it.
    for (int i = 1; i < links; ++i) {
      std::string name = std::to_string(links) + "-" + std::to_string(i) + ".qcow2";
      testing_support::WriteFile(dir + "/" + name, Qcow2(below));
      below = name;
    }
    std::string top = dir + "/" + below;
    std::string bytes = Read(top, &error);
    if (links == 64) {
      EXPECT_EQ(bytes, std::string(4096, 'b')) << error;
    } else {
      EXPECT_EQ(error, top + ": its chain of parents goes on past 64 files");
    }
  }
}

// An L1 or L2 entry that points past the file's end is named with the file
// and the byte, never read as zeros.
TEST(QcowTiny, TablesPastTheEndAreNamed) {
  std::string dir = testing_support::ScratchDir();
  const std::uint64_t past = 64 * kCluster;
  struct Row {
    const char* what;
    std::string image;
    std::string error;  // after the file's name; empty: reads as zeros
  } rows[] = {
      {"nothing allocated", Qcow2(""), ""},
      {"an L2 table past the end", Qcow2("", past), ": an L2 table at byte 4194304 lies past the file's end"},
      {"an L2 table cut short", Qcow2("", 2 * kCluster + 4096).substr(0, 2 * kCluster + 8192),
       ": an L2 table at byte 135168 lies past the file's end"},
      {"a data cluster past the end", Qcow2("", 2 * kCluster, past),
       ": a data cluster at byte 4194304 lies past the file's end"},
  };
  for (const Row& row : rows) {
    std::string path = testing_support::WriteFile(dir + "/" + std::string(row.what) + ".qcow2", row.image);
    std::string error;
    std::string bytes = Read(path, &error);
    if (row.error.empty()) {
      EXPECT_EQ(bytes, std::string(4096, '\0')) << row.what << ": " << error;
    } else {
      EXPECT_EQ(error, path + row.error) << row.what;
    }
  }
}

}  // namespace
