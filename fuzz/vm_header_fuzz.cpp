// What is parsed of a VM disk's own bytes before any cluster is read, on
// arbitrary bytes as an image's start: the VDI header and block map, the
// qcow and qcow2 header with its extensions, backing file's name and
// snapshot table, the VHD footer and header, the VMDK sparse header and
// descriptor; and a VMware machine's .vmx and .vmsd.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "diskimage/formats.h"
#include "diskimage/image.h"
#include "diskimage/machine.h"
#include "diskimage/qcow.h"
#include "diskimage/vdi.h"
#include "diskimage/vhd.h"
#include "diskimage/vmdk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string error;
  diskimage::VdiHeader vdi;
  if (diskimage::ParseVdiHeader(bytes, size, &vdi, &error)) {
    // The map lies in the file, so that reading it costs what the file holds.
    if (vdi.blocksAt + std::uint64_t{vdi.blocks} * 4 > size) __builtin_trap();
    std::vector<std::uint32_t> map;
    if (diskimage::ParseVdiBlockMap(bytes.substr(static_cast<std::size_t>(vdi.blocksAt)), vdi, size, &map, &error)) {
      const std::uint64_t stride = std::uint64_t{vdi.blockSize} + vdi.blockExtra;
      for (std::uint32_t entry : map) {
        if (entry >= 0xFFFFFFFE) continue;
        if (vdi.dataAt + entry * stride + stride > size) __builtin_trap();
      }
    } else if (error.empty()) {
      __builtin_trap();
    }
  } else if (error.empty()) {
    __builtin_trap();
  }
  diskimage::VmdkSparseHeader sparse;
  error.clear();
  if (diskimage::ParseVmdkSparseHeader(bytes, size, 1 << 20, &sparse, &error)) {
    // The directory lies in the file, so that reading it costs what the file holds.
    if (!sparse.footerAtEnd() && sparse.directoryAt * 512 + sparse.directoryEntries * 4 > size) __builtin_trap();
    if (sparse.directoryEntries * 4 > (1u << 20)) __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }
  diskimage::VmdkDescriptor descriptor;
  error.clear();
  if (!diskimage::ParseVmdkDescriptor(bytes, &descriptor, &error) && error.empty()) __builtin_trap();
  diskimage::QcowHeader qcow;
  error.clear();
  if (diskimage::ParseQcowHeader(bytes, &qcow, &error)) {
    if (qcow.backingFile.size() > 1023 || qcow.clusterBits < 9 || qcow.clusterBits > 21) __builtin_trap();
    if (qcow.version < 1 || qcow.version > 3) __builtin_trap();
    // The table as if it began at byte 72: each entry it yields lies there.
    std::vector<diskimage::QcowSnapshot> snapshots;
    std::string_view table = bytes.substr(std::min<std::size_t>(72, size));
    if (diskimage::ParseQcowSnapshots(table, qcow, &snapshots, &error)) {
      if (snapshots.size() != qcow.snapshots) __builtin_trap();
      std::size_t names = 0;
      for (const diskimage::QcowSnapshot& s : snapshots) names += s.id.size() + s.name.size();
      if (names > table.size()) __builtin_trap();
    }
  } else if (error.empty()) {
    __builtin_trap();
  }
  // A VHD's footer at its end, and the header it points to.
  diskimage::VhdFooter footer;
  error.clear();
  if (size >= 512 && diskimage::ParseVhdFooter(bytes.substr(size - 512), size, &footer, &error)) {
    diskimage::VhdHeader header;
    if (footer.headerAt + 1024 <= size &&
        diskimage::ParseVhdHeader(bytes.substr(static_cast<std::size_t>(footer.headerAt)), footer, size, &header, &error)) {
      if (header.tableAt + std::uint64_t{header.entries} * 4 > size) __builtin_trap();
      for (const diskimage::VhdLocator& l : header.locators) {
        if (l.offset + l.length > size) __builtin_trap();
      }
    }
  } else if (size >= 512 && error.empty()) {
    __builtin_trap();
  }
  // Lines name = "value": what is found of them is in the text.
  for (const std::string& disk : diskimage::ParseVmxDisks(bytes)) {
    if (disk.empty() || disk.size() > size) __builtin_trap();
  }
  std::vector<diskimage::Snapshot> states = diskimage::ParseVmsd(bytes);
  if (states.size() > size / 8) __builtin_trap();
  diskimage::DetectSource(bytes.substr(0, 512), "");
  return 0;
}
