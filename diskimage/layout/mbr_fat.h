// A DOS disk: the master boot record and each extended boot record, the
// partition entries, a FAT directory's entries, and MSDOS.SYS. Every integer
// is little-endian and unaligned, read through bytes::LittleEndian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "diskimage/layout/sector.h"

namespace diskimage::layout {

namespace mbr {  // a master boot record, and each extended boot record
inline constexpr std::size_t kTable = 446;  // four entries
inline constexpr std::size_t kEntryBytes = 16;
inline constexpr int kSlots = 4;
inline constexpr std::size_t kSignature = 510;  // 0x55 0xAA, as a FAT boot sector has too
inline constexpr std::string_view kSignatureBytes = "\x55\xAA";
}  // namespace mbr

namespace partition {  // an entry of a partition table
inline constexpr std::size_t kType = 4;     // u8
inline constexpr std::size_t kStart = 8;    // u32, in sectors: from the disk's start (MBR) or the EBR (a logical one)
inline constexpr std::size_t kSectors = 12;  // u32
}  // namespace partition

namespace fat_entry {  // a FAT directory entry
inline constexpr std::size_t kName = 0;  // 8 + 3 characters, blank-padded
inline constexpr std::size_t kBaseLength = 8;
inline constexpr std::size_t kNameLength = 11;
inline constexpr std::size_t kAttributes = 11;  // u8
inline constexpr std::size_t kSize = 28;        // u32
inline constexpr std::size_t kBytes = 32;
inline constexpr unsigned char kEnd = 0x00;      // first name byte: no entry follows
inline constexpr unsigned char kDeleted = 0xE5;  // first name byte: a deleted entry
inline constexpr unsigned char kLongName = 0x0F;     // attributes of a long-name part
inline constexpr unsigned char kVolumeLabel = 0x08;  // attribute bit
// A FAT directory holds at most 65,536 entries.
inline constexpr std::size_t kMaxEntries = 65536;
}  // namespace fat_entry

namespace msdos_sys {  // MSDOS.SYS of Windows 95, 98 and Me: a text file
inline constexpr std::string_view kPathsSection = "[PATHS]";  // compared in upper case
inline constexpr std::string_view kWinDir = "WINDIR";         // WinDir=C:\WINDOWS
}  // namespace msdos_sys

}  // namespace diskimage::layout
