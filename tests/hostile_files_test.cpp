// Files an image or a machine names that are not files: a FIFO as a
// backing file, a parent, a disk or the snapshot list beside a .vmx would
// hold the open for ever. Each is refused by name, status 1, at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "testkit/image_fixture.h"
#include "testkit/test_support.h"
#include "tools/registry_cli.h"

namespace {

using image_fixture::Sh;
using testing_support::RunProgram;

bool HaveQemuImg() { return RunProgram("/bin/sh", {"-c", "command -v qemu-img mkfifo timeout"}).status == 0; }

TEST(HostileFiles, WhatIsNoFileIsRefusedWithoutWaiting) {
  if (!HaveQemuImg()) {
    if (std::getenv("KORMALD_REQUIRE_REFERENCE") != nullptr) FAIL() << "qemu-img is not installed";
    GTEST_SKIP() << "qemu-img is not installed";
  }
  std::string dir = testing_support::ScratchDir();
  Sh("cd '" + dir + "' && truncate -s 1M base.raw && qemu-img create -q -f qcow2 -b base.raw -F raw child.qcow2 && "
     "qemu-img create -q -f vmdk base.vmdk 1M && qemu-img create -q -f vmdk -b base.vmdk -F vmdk delta.vmdk && "
     "qemu-img create -q -f vmdk disk.vmdk 1M && rm base.raw base.vmdk && mkfifo base.raw base.vmdk fifo.vmdk && "
     "mkdir folder.vmdk && "
     "printf 'config.version = \"8\"\nide0:0.present = \"TRUE\"\\nide0:0.fileName = \"fifo.vmdk\"\\n' > fifo.vmx && "
     "printf 'config.version = \"8\"\nide0:0.present = \"TRUE\"\\nide0:0.fileName = \"folder.vmdk\"\\n' > folder.vmx && "
     "printf 'config.version = \"8\"\nide0:0.present = \"TRUE\"\\nide0:0.fileName = \"disk.vmdk\"\\n' > listed.vmx && mkfifo listed.vmsd");
  struct Row {
    std::string source;
    std::string err;  // after "kormald: "
  } rows[] = {
      {"child.qcow2", dir + "/base.raw: is a FIFO, not a file or a disk"},
      {"delta.vmdk", "delta.vmdk: its parent " + dir + "/base.vmdk is a FIFO, not a file or a disk"},
      {"fifo.vmx", dir + "/fifo.vmdk: is a FIFO, not a file or a disk"},
      {"folder.vmx", dir + "/folder.vmdk: is a directory, not a file or a disk"},
      {"listed.vmx", dir + "/listed.vmsd: is a FIFO, not a file or a disk"},
  };
  for (const Row& row : rows) {
    auto result = RunProgram("/usr/bin/timeout", {"20", KORMALD_BINARY}, {{tools::kRegistryVariable, dir + "/" + row.source}});
    EXPECT_EQ(result.status, 1) << row.source << "\n" << result.err;
    EXPECT_NE(result.err.find(row.err), std::string::npos) << row.source << "\n" << result.err;
  }
}

}  // namespace
