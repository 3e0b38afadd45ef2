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
  for (unsigned i = 0; i < head.blockCount; ++i) {
    std::string which = "block " + std::to_string(i) + ": ";
    char raw[block::kBytes];
    if (!bytes.ReadAlone(at, block::kBytes, raw)) return refuse(at, which + "runs past the end of the file");
    BlockHeader b = ParseBlockHeader(std::string_view(raw, block::kBytes));
    if (!b.signedRgdb) return refuse(at, which + "no RGDB signature");
    if (b.size < block::kBytes || !f.Has(at, b.size)) {
      return refuse(at + block::kSize, which + "size " + Hex(b.size) + " runs past the end of the file");
    }
    f.blocks.push_back(BlockSpan{at, b.size, b.number});
    at += b.size;
  }
  return true;
}

}  // namespace hive
