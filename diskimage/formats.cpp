#include "diskimage/formats.h"

#include <array>

#include "bytes/bytes.h"
#include "diskimage/layout/cabinet.h"
#include "diskimage/layout/ewf.h"
#include "diskimage/layout/machine.h"
#include "diskimage/layout/mbr_fat.h"
#include "diskimage/layout/qcow.h"
#include "diskimage/layout/sector.h"
#include "diskimage/layout/vdi.h"
#include "diskimage/layout/vhd.h"
#include "diskimage/layout/vhdx.h"
#include "diskimage/layout/vmdk.h"

namespace diskimage {

namespace {

namespace sig = layout::signature;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool IsRaw(std::string_view head, std::string_view) {
  // A master boot record or a FAT boot sector: the same signature at 510.
  return head.size() >= layout::kSectorBytes &&
         bytes::LittleEndian(head).Holds(layout::mbr::kSignature, layout::mbr::kSignatureBytes);
}
bool IsVhd(std::string_view head, std::string_view tail) {
  // A fixed disk has only its footer, at the end; the others copy it to the start.
  return head.starts_with(sig::kVhd) || tail.starts_with(sig::kVhd);
}
bool IsVhdx(std::string_view head, std::string_view) { return head.starts_with(sig::kVhdx); }
bool IsVmdk(std::string_view head, std::string_view) {
  return head.starts_with(sig::kVmdkSparse) || head.starts_with(sig::kVmdkDescriptor);
}
bool IsE01(std::string_view head, std::string_view) { return head.starts_with(sig::kEwf); }
bool IsVdi(std::string_view head, std::string_view) { return bytes::LittleEndian(head).Holds(sig::kVdiAt, sig::kVdi); }
// qcow and qcow2 share their signature; the version after it tells them
// apart. Any version but 1 is qcow2's to read, or to refuse by number.
bool IsQcowVersion1(std::string_view head) {
  return head.size() >= layout::qcow::kVersion + 4 && bytes::BigEndian(head).U32(layout::qcow::kVersion) == 1;
}
bool IsQcow(std::string_view head, std::string_view) { return head.starts_with(sig::kQcow) && IsQcowVersion1(head); }
bool IsQcow2(std::string_view head, std::string_view) { return head.starts_with(sig::kQcow) && !IsQcowVersion1(head); }

// In the order they are asked: every signature at the start before VHD's,
// which may be in the last sector alone, and raw last, as a boot sector's
// signature may lie at 510 of any other format's first sector.
constexpr std::array<ContainerFormat, 8> kFormats{{
    {Container::kQcow, "qcow", IsQcow, false, ParentBy::kName, ""},
    {Container::kQcow2, "qcow2", IsQcow2, true, ParentBy::kName, ""},
    {Container::kVdi, "VDI", IsVdi, false, ParentBy::kUuid, ""},
    {Container::kE01, "E01", IsE01, false, ParentBy::kSegments, "libewf"},
    {Container::kVmdk, "VMDK", IsVmdk, false, ParentBy::kName, ""},
    {Container::kVhdx, "VHDX", IsVhdx, false, ParentBy::kName, "libvhdi"},
    {Container::kVhd, "VHD", IsVhd, false, ParentBy::kName, ""},
    {Container::kRaw, "raw", IsRaw, false, ParentBy::kNothing, ""},
}};

constexpr bool InContainerOrder() {
  for (std::size_t i = 0; i < kFormats.size(); ++i) {
    if (static_cast<std::size_t>(kFormats[i].id) != i) return false;
  }
  return true;
}
static_assert(InContainerOrder(), "FormatOf indexes the table by Container");

// A machine's description, told by its first lines (head is at most 512
// bytes: the root element or the version line lies within them).
bool MachineIn(std::string_view head, MachineFormat* format) {
  if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
  if (head.starts_with(sig::kXml)) {
    std::size_t root = head.find(sig::kVirtualBoxRoot);
    if (root == std::string_view::npos || root + sig::kVirtualBoxRoot.size() >= head.size()) return false;
    char after = head[root + sig::kVirtualBoxRoot.size()];
    *format = MachineFormat::kVirtualBox;
    return after == ' ' || after == '>' || after == '\n' || after == '\r' || after == '\t';
  }
  while (!head.empty()) {
    std::size_t end = head.find('\n');
    std::string_view line = Trim(head.substr(0, end));
    head = end == std::string_view::npos ? std::string_view{} : head.substr(end + 1);
    for (std::string_view key : sig::kVmxVersionKeys) {
      if (line.starts_with(key) && Trim(line.substr(key.size())).starts_with('=')) {
        *format = MachineFormat::kVmware;
        return true;
      }
    }
  }
  return false;
}

}  // namespace

std::span<const ContainerFormat> ContainerFormats() { return kFormats; }

const ContainerFormat& FormatOf(Container id) { return kFormats[static_cast<std::size_t>(id)]; }

std::string_view SourceKind::Name() const {
  switch (type) {
    case SourceType::kDisk: return FormatOf(container).name;
    case SourceType::kCabinet: return "cabinet";
    case SourceType::kMachine: return machine == MachineFormat::kVirtualBox ? "VirtualBox machine" : "VMware machine";
    case SourceType::kNone: break;
  }
  return "none";
}

SourceKind DetectSource(std::string_view head, std::string_view tail) {
  for (const ContainerFormat& format : kFormats) {
    if (format.id == Container::kRaw) break;
    if (format.probe(head, tail)) return DiskIn(format.id);
  }
  // A cabinet before raw, for the same reason as the table's order.
  if (head.starts_with(sig::kCabinet)) return {SourceType::kCabinet, {}, {}};
  if (IsRaw(head, tail)) return DiskIn(Container::kRaw);
  if (MachineFormat machine; MachineIn(head, &machine)) return {SourceType::kMachine, {}, machine};
  return {};
}

}  // namespace diskimage
