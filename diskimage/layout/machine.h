// A machine's description, as far as detection tells it: a VirtualBox
// .vbox (XML) or a VMware .vmx (lines of name = "value").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

namespace signature {  // what tells the format, at its offset
// A VirtualBox machine: XML whose root element is VirtualBox, which
// VirtualBox writes after a comment of some 300 bytes.
inline constexpr std::string_view kXml = "<?xml";
inline constexpr std::string_view kVirtualBoxRoot = "<VirtualBox";
// A VMware machine: lines name = "value", one of these among the first.
inline constexpr std::string_view kVmxVersionKeys[] = {"config.version", "virtualHW.version"};
}  // namespace signature


}  // namespace diskimage::layout
