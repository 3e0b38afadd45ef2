// Inputs shaped to make a loader or a walk grow faster than the input: the
// tests hold them to a work budget, the benchmarks time them.
#pragma once

#include <string>

#include "hive/layout.h"
#include "testkit/hive_writer.h"

namespace hostile_shapes {

namespace layout = hive::layout;

inline std::string Reg(const std::string& body) { return "REGEDIT4\r\n\r\n" + body; }

// One key with n values.
inline std::string ManyValues(int n) {
  std::string body = "[HKEY_LOCAL_MACHINE\\Wide]\r\n";
  for (int i = 0; i < n; ++i) body += "\"v" + std::to_string(i) + "\"=\"x\"\r\n";
  return Reg(body);
}

// One hex value continued over n lines.
inline std::string LongHex(int lines) {
  std::string body = "[HKEY_LOCAL_MACHINE\\Long]\r\n\"v\"=hex:00,";
  for (int i = 0; i < lines; ++i) {
    body += "\\\r\n  01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,";
  }
  return Reg(body + "00\r\n");
}

// One section nesting depth keys with names of nameLength characters.
inline std::string DeepLongNames(int depth, std::size_t nameLength) {
  std::string path = "HKEY_LOCAL_MACHINE";
  for (int i = 0; i < depth; ++i) path += "\\" + std::string(nameLength, static_cast<char>('a' + i % 26));
  return Reg("[" + path + "]\r\n\"v\"=\"x\"\r\n");
}

// n values and n subkeys of one key, each then deleted one by one.
inline std::string DeletedOneByOne(int n) {
  std::string body = "[HKEY_LOCAL_MACHINE\\Wide]\r\n";
  for (int i = 0; i < n; ++i) body += "\"v" + std::to_string(i) + "\"=\"x\"\r\n";
  for (int i = 0; i < n; ++i) body += "\"v" + std::to_string(i) + "\"=-\r\n";
  for (int i = 0; i < n; ++i) body += "[HKEY_LOCAL_MACHINE\\Wide\\K" + std::to_string(i) + "]\r\n";
  for (int i = 0; i < n; ++i) body += "[-HKEY_LOCAL_MACHINE\\Wide\\K" + std::to_string(i) + "]\r\n";
  return Reg(body);
}

// A hive key with n subkeys whose records cannot be found.
inline std::string DamagedSiblings(int n) {
  hive_writer::Key root{"", {}, {hive_writer::Key{"Wide", {}, {}}}};
  for (int i = 0; i < n; ++i) root.children[0].children.push_back(hive_writer::Key{"K" + std::to_string(i), {}, {}});
  hive_writer::Hive hive = hive_writer::Write(root);
  for (std::size_t k = 2; k < hive.entryAt.size(); ++k) hive_writer::PutU16(hive.bytes, hive.entryAt[k] + layout::entry::kRecord, 0xFFFE);
  return hive.bytes;
}

// A hive key with n subkeys of the same name.
inline std::string SameNamedSiblings(int n) {
  hive_writer::Key root{"", {}, {hive_writer::Key{"Wide", {}, {}}}};
  for (int i = 0; i < n; ++i) root.children[0].children.push_back(hive_writer::Key{"Same", {{"v", 4, "abcd"}}, {}});
  return hive_writer::Write(root).bytes;
}

// A hive whose n keys all lie in its last block, behind empty blocks that
// carry the same number: a look-up that tries each block of a number in
// turn costs keys times blocks.
inline std::string SameNumberedBlocks(int emptyBlocks, int keys) {
  hive_writer::Key root{"", {}, {hive_writer::Key{"Wide", {}, {}}}};
  for (int i = 0; i < keys; ++i) root.children[0].children.push_back(hive_writer::Key{"K" + std::to_string(i), {}, {}});
  hive_writer::Hive hive = hive_writer::Write(root, {static_cast<std::size_t>(keys) + 1, false, false});
  std::size_t firstBlock = hive_writer::GetU32(hive.bytes, layout::file::kFirstBlock);
  std::string empty(layout::block::kBytes, '\0');
  empty.replace(layout::block::kSignature, 4, "RGDB");
  hive_writer::PutU32(empty, layout::block::kSize, static_cast<std::uint32_t>(layout::block::kBytes));
  std::string blocks;
  for (int i = 0; i < emptyBlocks; ++i) blocks += empty;
  hive.bytes.insert(firstBlock, blocks);
  hive_writer::PutU16(hive.bytes, layout::file::kBlockCount, static_cast<std::uint16_t>(emptyBlocks + 1));
  return hive.bytes;
}

}  // namespace hostile_shapes
