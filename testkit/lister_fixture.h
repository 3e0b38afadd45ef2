// The lister's edge cases on one registry: shared by the in-process tests
// and the tests that run the built program.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace lister_fixture {

inline constexpr char kHeader[] = "ID  PORT DRIVER      .INF FILE  DESCRIPTION\n\n";
inline constexpr char kUsage[] = "KORMALD [-SCSI] [+ALL]\n";

// hdc instances, highest first: 0006 is pointed at by the MF scope key
// itself; 0005 by two device nodes; 0004 only by a Driver value in other
// letter case; 0003 only from PCI; 0002 has no InfPath; 0001 is the
// documented example; 0000 has no PortDriver.
inline constexpr char kFixture[] = R"(
[HKEY_LOCAL_MACHINE\Enum\MF]
"Driver"="hdc\\0006"
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0000\A]
"Driver"="hdc\\0001"
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0000\B]
"Driver"="hdc\\0000"
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0001\A]
"Driver"="hdc\\0002"
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0001\B]
"Driver"="HDC\\0004"
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0002\A]
"Driver"="hdc\\0005"
[HKEY_LOCAL_MACHINE\Enum\MF\CHILD0002\B]
"Driver"="hdc\\0005"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1\X]
"Driver"="hdc\\0003"
[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_2\X]
"Driver"="SCSIAdapter\\0000"
[HKEY_LOCAL_MACHINE\Enum\Root\SCSI\0000]
"Driver"="SCSIAdapter\\0001"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc]
@="Hard disk controllers"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0000]
"DriverDesc"="No port driver"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0001]
"PortDriver"="PORT.PDR"
"InfPath"="DISK.INF"
"DriverDesc"="Primary channel"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0002]
"PortDriver"="TWO.PDR"
"DriverDesc"="No inf"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0003]
"PortDriver"="THREE.PDR"
"InfPath"="T.INF"
"DriverDesc"="PCI only"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0004]
"PortDriver"="FOUR.PDR"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0005]
"PortDriver"="LONGPORTDRIVER.PDR"
"InfPath"="AVERYLONGNAME.INF"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\hdc\0006]
"PortDriver"="SIX.PDR"
"InfPath"="SIX.INF"
"DriverDesc"="Scope key"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\SCSIAdapter\0000]
"PortDriver"="aic78xx.mpd"
"InfPath"="SCSI.INF"
"DriverDesc"="Adaptec"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\SCSIAdapter\0001]
"PortDriver"="ppa3.mpd"
"DriverDesc"="Zip"
)";

inline const std::string kRow06 = "06:      SIX.PDR       SIX.INF  Scope key\n";
inline const std::string kRow05 = "05: LONGPORTDRIVER.PDR  AVERYLONGNAME.INF  ?\n";
inline const std::string kRow03 = "03:    THREE.PDR         T.INF  PCI only\n";
inline const std::string kRow02 = "02:      TWO.PDR             ?  No inf\n";
inline const std::string kRow01 = "01:     PORT.PDR      DISK.INF  Primary channel\n";
inline const std::string kScsi00 = "00:  aic78xx.mpd      SCSI.INF  Adaptec\n";
inline const std::string kScsi01 = "01:     ppa3.mpd             ?  Zip\n";

struct OptionRow {
  std::vector<std::string> args;
  int result;
  std::string out;
};

inline const std::string kDefault = kHeader + kRow06 + kRow05 + kRow02 + kRow01;
inline const std::string kAll = kHeader + kRow06 + kRow05 + kRow03 + kRow02 + kRow01;
inline const std::string kScsi = kHeader + kScsi00;
inline const std::string kScsiAll = kHeader + kScsi01 + kScsi00;

inline void PrintTo(const OptionRow& row, std::ostream* os) {
  *os << "args";
  for (const std::string& a : row.args) *os << " '" << a << "'";
}

inline const std::vector<OptionRow> kOptionRows = {
    {{}, 0, kDefault},
    {{"-SCSI"}, 0, kScsi},
    {{"+ALL"}, 0, kAll},
    {{"-SCSI", "+ALL"}, 0, kScsiAll},
    {{"+ALL", "-SCSI"}, 0, kAll},
    {{"/?"}, 20, kUsage},
    {{"-x", "/"}, 20, kUsage},
    {{"foo"}, 0, kDefault},
    {{""}, 0, kDefault},
    {{"-", "+", "/"}, 20, kUsage},
    {{"+"}, 0, kAll},
    {{"-"}, 0, kScsi},
    {{"x", "-SCSI"}, 0, kDefault},
    {{"-", "+", "/x"}, 20, kUsage},
    {{"-", "foo", "/"}, 0, kScsi},
    {{"/", "-"}, 20, kUsage}};

}  // namespace lister_fixture
