// What a source costs before it is refused: decided from its first bytes,
// held to the largest registry file as it is read, whatever it is (a file,
// a device, a pipe). Each row states its cost in bytes against the input's
// size: the memory the program held, or what a pipe's writer got rid of.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

#include "sources/sources.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

constexpr std::uint64_t kLimit = sources::kMaxRegistryFileBytes;
const std::string kNotRegistry = ": not a registry file (neither a REGEDIT4 or version 5 export, nor a CREG hive, nor a disk image)\n";

std::string TooLarge(const std::string& size) {
  return ": too large for a registry file (" + size + " bytes; one holds at most " + std::to_string(kLimit) + ")\n";
}

// A sparse file of size bytes that begins with head.
std::string Sparse(const std::string& name, const std::string& head, std::uint64_t size) {
  std::string path = testing_support::WriteFile(testing_support::ScratchDir() + "/" + name, head);
  EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
  return path;
}

// A pipe whose writer sends head and then zeros until the reader goes away;
// returns what kormald said and how much the writer got rid of.
struct PipeRun {
  testing_support::RunResult result;
  std::uint64_t written = 0;
};
PipeRun ThroughPipe(const std::string& head) {
  std::string fifo = testing_support::ScratchDir() + "/pipe";
  EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::signal(SIGPIPE, SIG_IGN);
  std::atomic<bool> done{false};
  PipeRun run;
  std::thread writer([&] {
    int fd = -1;
    while (fd < 0 && !done) {
      fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) std::this_thread::yield();
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);
    std::string chunk = head + std::string(std::size_t{1} << 16, '\0');
    for (ssize_t n; (n = ::write(fd, chunk.data(), chunk.size())) > 0;) {
      run.written += static_cast<std::uint64_t>(n);
      chunk.resize(std::size_t{1} << 16);
      std::fill(chunk.begin(), chunk.end(), '\0');
    }
    ::close(fd);
  });
  run.result = testing_support::RunProgramWithPeak(KORMALD_BINARY, {}, {{tools::kRegistryVariable, fifo}});
  done = true;
  writer.join();
  return run;
}

struct SizeRow {
  const char* what;
  std::function<std::string()> source;  // made at test time
  std::string err;                      // after "kormald: " and the source's path
  long maxPeakKiB;                      // what kormald may hold while it refuses
};

void PrintTo(const SizeRow& row, std::ostream* os) { *os << row.what; }

class SourceSize : public ::testing::TestWithParam<SizeRow> {};

TEST_P(SourceSize, RefusedForTheCostOfItsFirstBytes) {
  const SizeRow& row = GetParam();
  std::string source = row.source();
  auto result = testing_support::RunProgramWithPeak(KORMALD_BINARY, {}, {{tools::kRegistryVariable, source}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "kormald: " + source + row.err);
  EXPECT_LT(result.peakKiB, row.maxPeakKiB) << "KiB held";
}

// Inputs of 200 MB, within the limit: read whole, each would hold 200 MB.
INSTANTIATE_TEST_SUITE_P(Shapes, SourceSize, ::testing::Values(
    SizeRow{"a device that never ends", [] { return std::string("/dev/zero"); }, kNotRegistry, 100 << 10},
    SizeRow{"200 MB of zeros", [] { return Sparse("zeros", "", 200 << 20); }, kNotRegistry, 100 << 10},
    SizeRow{"200 MB of text that is no export", [] { return Sparse("notes.reg", "REGEDIT 4 notes\n", 200 << 20); },
            kNotRegistry, 100 << 10},
    SizeRow{"an export past the limit", [] { return Sparse("big.reg", "REGEDIT4\r\n", kLimit + 1); },
            TooLarge(std::to_string(kLimit + 1)), 100 << 10},
    SizeRow{"a hive past the limit", [] { return Sparse("BIG.DAT", "CREG", std::uint64_t{1} << 30); },
            TooLarge(std::to_string(std::uint64_t{1} << 30)), 100 << 10}));

TEST(SourceSize, PipeOfSomethingElseCostsAFewBytes) {
  PipeRun run = ThroughPipe("");
  EXPECT_EQ(run.result.status, 1);
  EXPECT_TRUE(run.result.err.ends_with(kNotRegistry)) << run.result.err;
  EXPECT_LT(run.written, std::uint64_t{4} << 20) << "bytes the writer got rid of";
}

TEST(SourceSize, PipeThatLooksLikeAnExportStopsAtTheLimit) {
  PipeRun run = ThroughPipe("REGEDIT4\r\n");
  EXPECT_EQ(run.result.status, 1);
  EXPECT_TRUE(run.result.err.ends_with(TooLarge("more than " + std::to_string(kLimit)))) << run.result.err;
  EXPECT_LT(run.written, kLimit + (std::uint64_t{4} << 20)) << "bytes the writer got rid of";
  EXPECT_LT(run.result.peakKiB, static_cast<long>((kLimit + (std::uint64_t{64} << 20)) >> 10));
}

}  // namespace
