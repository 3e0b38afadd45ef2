#include "hive/frame.h"

#include "hive/records.h"

namespace hive {

using namespace layout;

std::string Refusal(const std::string& file, std::uint64_t offset, const std::string& what) {
  return file + ": offset " + Hex(offset) + ": " + what;
}

bool Frame::ValidEntry(std::uint64_t e) const {
  return e >= rgkn::kBytes && bytes::InRange(e, entry::kBytes, keyAreaSize);
}

bool ReadFrame(HiveBytes& bytes, const std::string& file, Frame* out, std::string* error) {
  auto refuse = [&](std::uint64_t offset, const std::string& what) {
    *error = Refusal(file, offset, what);
    return false;
  };
  Frame& f = *out;
  f.fileSize = bytes.Size();
  char header[kHeadBytes];
  if (!bytes.Read(0, kHeadBytes, header)) {
    return refuse(f.fileSize, "file ends inside the header (" + std::to_string(f.fileSize) + " bytes)");
  }
  Head head = ParseHead(std::string_view(header, kHeadBytes));
  if (!head.keyAreaSigned) return refuse(rgkn::kAt, "no RGKN signature");
  f.keyAreaSize = head.keyAreaSize;
  if (f.keyAreaSize < rgkn::kBytes || !f.Has(rgkn::kAt, f.keyAreaSize)) {
    return refuse(rgkn::kAt + rgkn::kSize, "key area size " + Hex(f.keyAreaSize) + " runs past the end of the file");
  }
  f.rootEntry = head.rootEntry;
  if (!f.ValidEntry(f.rootEntry)) {
    return refuse(rgkn::kAt + rgkn::kRootEntry,
                  "root key entry " + Hex(f.rootEntry) + " lies outside the key area");
  }
  std::uint64_t at = head.firstBlock;
  // Forensic copies are often cut short: what lies whole before the cut is
  // read, and the cut named once.
  auto cut = [&](std::uint64_t offset, unsigned i, const std::string& how) {
    unsigned after = head.blockCount - i - 1;
    std::string lost = after == 0 ? "it" : "it and the " + std::to_string(after) + (after == 1 ? " block" : " blocks") +
                                                 " after it";
    f.cut = Refusal(file, offset, "cut short: " + how + "; " + lost + ", and the keys whose records lie there, are not read");
    return true;
  };
  for (unsigned i = 0; i < head.blockCount; ++i) {
    std::string which = "block " + std::to_string(i) + " of " + std::to_string(head.blockCount);
    char raw[block::kBytes];
    if (!bytes.ReadAlone(at, block::kBytes, raw)) return cut(at, i, "the file ends before " + which);
    BlockHeader b = ParseBlockHeader(std::string_view(raw, block::kBytes));
    if (!b.signedRgdb) return refuse(at, "block " + std::to_string(i) + ": no RGDB signature");
    if (b.size < block::kBytes) {
      return refuse(at + block::kSize, "block " + std::to_string(i) + ": size " + Hex(b.size) + " is too small");
    }
    if (!f.Has(at, b.size)) {
      return cut(at, i, which + " says " + Hex(b.size) + " bytes, and " + Hex(at + b.size - f.fileSize) +
                            " of them lie past the end of the file");
    }
    f.blocks.push_back(BlockSpan{at, b.size, b.number});
    at += b.size;
  }
  return true;
}

}  // namespace hive
