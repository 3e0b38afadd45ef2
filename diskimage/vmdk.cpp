#include "diskimage/vmdk.h"

#include <charconv>

#include "bytes/bytes.h"
#include "diskimage/layout/vmdk.h"

namespace diskimage {

namespace {

namespace vmdk = layout::vmdk;
using bytes::LittleEndian;

// A twoGbMaxExtent disk of 2 TiB has about a thousand extents.
constexpr std::size_t kMaxExtents = 4096;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view Unquoted(std::string_view s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

template <typename T>
bool Number(std::string_view text, int base, T* out) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out, base);
  return ec == std::errc() && end == text.data() + text.size();
}

// The next blank-separated word of an extent line.
std::string_view Word(std::string_view& line) {
  line = Trim(line);
  std::size_t end = line.find_first_of(" \t");
  std::string_view word = line.substr(0, end);
  line = end == std::string_view::npos ? std::string_view{} : line.substr(end);
  return word;
}

// An extent line: ACCESS SECTORS KIND ["FILE" [OFFSET]]. Empty where it
// reads, else what is wrong with it.
std::string ParseExtent(std::string_view line, VmdkExtent* extent) {
  std::string_view access = Word(line);
  std::string_view sectors = Word(line);
  std::string_view kind = Word(line);
  if (access == "NOACCESS") return "an extent no one may read";
  if (!Number(sectors, 10, &extent->sectors) || extent->sectors == 0) return "its size is no count of sectors";
  if (kind == "SPARSE") {
    extent->kind = VmdkExtent::Kind::kSparse;
  } else if (kind == "FLAT" || kind == "VMFS") {
    extent->kind = VmdkExtent::Kind::kFlat;
  } else if (kind == "ZERO") {
    extent->kind = VmdkExtent::Kind::kZero;
    return Trim(line).empty() ? "" : "a ZERO extent names a file";
  } else {
    return "an extent of kind " + std::string(kind) + ", which is not read";
  }
  line = Trim(line);
  std::size_t close = line.size() > 1 && line.front() == '"' ? line.find('"', 1) : std::string_view::npos;
  if (close == std::string_view::npos || close == 1) return "its file is not named in quotes";
  extent->file = std::string(line.substr(1, close - 1));
  std::string_view rest = Trim(line.substr(close + 1));
  if (extent->kind == VmdkExtent::Kind::kFlat) {
    if (!rest.empty() && !Number(rest, 10, &extent->offset)) return "its offset is no count of sectors";
  } else if (!rest.empty() && rest != "0") {
    return "a sparse extent with an offset";
  }
  return "";
}

}  // namespace

bool ParseVmdkDescriptor(std::string_view text, VmdkDescriptor* out, std::string* error) {
  *out = {};
  bool haveCid = false;
  std::size_t number = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(at, end - at));
    at = end + 1;
    ++number;
    auto wrong = [&](const std::string& what) {
      // Appended piece by piece: GCC 12's -Wrestrict misreads the chained
      // operator+ at -O3 on 32-bit targets.
      error->assign("its descriptor's line ").append(std::to_string(number)).append(": ").append(what);
      return false;
    };
    if (line.empty() || line.front() == '#') continue;
    // What a sparse extent leaves after an embedded descriptor.
    if (line.front() == '\0') break;
    if (line.starts_with("RW ") || line.starts_with("RDONLY ") || line.starts_with("NOACCESS ")) {
      VmdkExtent extent;
      if (std::string why = ParseExtent(line, &extent); !why.empty()) return wrong(why);
      if (out->extents.size() == kMaxExtents) {
        std::string many = "more than ";
        return wrong(many.append(std::to_string(kMaxExtents)).append(" extents"));
      }
      out->extents.push_back(std::move(extent));
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return wrong("neither a setting nor an extent");
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = Unquoted(Trim(line.substr(eq + 1)));
    if (key == "CID") {
      if (!Number(value, 16, &out->cid)) return wrong("its CID is not 8 hex digits");
      haveCid = true;
    } else if (key == "parentCID") {
      if (!Number(value, 16, &out->parentCid)) return wrong("its parentCID is not 8 hex digits");
    } else if (key == "createType") {
      out->createType = std::string(value);
    } else if (key == "parentFileNameHint") {
      out->parentHint = std::string(value);
    }
  }
  if (!haveCid) {
    *error = "its descriptor gives no CID";
    return false;
  }
  if (out->extents.empty()) {
    *error = "its descriptor names no extent";
    return false;
  }
  if (out->HasParent() && out->parentHint.empty()) {
    *error = "its descriptor gives a parentCID and no parentFileNameHint";
    return false;
  }
  std::uint64_t total = 0;
  for (const VmdkExtent& e : out->extents) {
    if (e.sectors > (UINT64_MAX >> 9) - total) {
      *error = "its extents add up to more sectors than a disk can have";
      return false;
    }
    total += e.sectors;
  }
  return true;
}

bool VmdkSparseHeader::footerAtEnd() const { return directoryAt == vmdk::kDirectoryAtEnd; }

bool ParseVmdkSparseHeader(std::string_view bytes, std::uint64_t fileSize, std::uint64_t maxDirectoryBytes,
                           VmdkSparseHeader* out, std::string* error) {
  LittleEndian h(bytes);
  VmdkSparseHeader v;
  v.version = h.U32(vmdk::kVersion);
  v.flags = h.U32(vmdk::kFlags);
  v.capacity = h.U64(vmdk::kCapacity);
  v.grainSectors = h.U64(vmdk::kGrainSectors);
  v.descriptorAt = h.U64(vmdk::kDescriptorAt);
  v.descriptorSectors = h.U64(vmdk::kDescriptorSectors);
  v.tableEntries = h.U32(vmdk::kTableEntries);
  v.directoryAt = h.U64(vmdk::kDirectoryAt);
  std::uint16_t compression = h.U16(vmdk::kCompression);
  if (!h.complete() || !h.Holds(vmdk::kMagic, layout::signature::kVmdkSparse)) {
    *error = bytes.size() < vmdk::kHeaderBytes ? "its sparse header is cut short" : "no sparse header (KDMV)";
    return false;
  }
  auto wrong = [&](const std::string& what) {
    *error = "its sparse header " + what;
    return false;
  };
  if (v.version < 1 || v.version > 3) return wrong("is of version " + std::to_string(v.version) + ", which is not read");
  if ((v.flags & vmdk::kFlagLineTest) != 0 && h.Span(vmdk::kLineEndings, 4) != vmdk::kLineEndingBytes) {
    return wrong("has had its line endings changed, as a transfer in text mode does");
  }
  v.compressed = (v.flags & vmdk::kFlagCompressed) != 0;
  v.zeroGrains = (v.flags & vmdk::kFlagZeroGrains) != 0;
  if (v.compressed && compression != vmdk::kDeflate) {
    return wrong("compresses its grains by method " + std::to_string(compression) + ", which is not read");
  }
  if (v.grainSectors == 0 || (v.grainSectors & (v.grainSectors - 1)) != 0 || v.grainSectors > vmdk::kMaxGrainSectors) {
    return wrong("gives grains of " + std::to_string(v.grainSectors) + " sectors");
  }
  if (v.tableEntries == 0 || v.tableEntries > 512) {
    return wrong("gives grain tables of " + std::to_string(v.tableEntries) + " entries");
  }
  if (v.capacity > (UINT64_MAX >> 9)) return wrong("claims more sectors than a disk can have");
  if (v.descriptorSectors > 0 && (v.descriptorAt > fileSize / 512 || v.descriptorSectors > fileSize / 512 - v.descriptorAt)) {
    return wrong("places its descriptor past the file's end");
  }
  std::uint64_t span = std::uint64_t{v.tableEntries} * v.grainSectors;
  v.directoryEntries = v.capacity / span + (v.capacity % span != 0 ? 1 : 0);
  if (v.directoryEntries * 4 > maxDirectoryBytes) {
    return wrong("needs a grain directory of " + std::to_string(v.directoryEntries * 4) + " bytes (at most " +
                 std::to_string(maxDirectoryBytes) + " are read)");
  }
  if (!v.footerAtEnd() &&
      (v.directoryAt > fileSize / 512 || !bytes::InRange(v.directoryAt * 512, v.directoryEntries * 4, fileSize))) {
    return wrong("places its grain directory past the file's end");
  }
  *out = v;
  return true;
}

VmdkGrain DecodeGrainEntry(std::uint32_t entry, const VmdkSparseHeader& header) {
  if (entry == vmdk::kZeroGrain && header.zeroGrains) return {0, true};
  return {entry, false};
}

}  // namespace diskimage
