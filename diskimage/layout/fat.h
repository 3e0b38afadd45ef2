// A FAT12, FAT16 or FAT32 volume: its boot sector (the BIOS parameter
// block), the file allocation table's entries, and the VFAT long-name
// entries that stand before a short one. Every integer is little-endian and
// unaligned, read through bytes::LittleEndian; the short entry itself is
// fat_entry's (mbr_fat.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace diskimage::layout {

namespace fat_boot {  // the volume's first sector
inline constexpr std::size_t kJump = 0;              // u8: 0xEB or 0xE9
inline constexpr std::size_t kBytesPerSector = 11;   // u16: 512, 1024, 2048 or 4096
inline constexpr std::size_t kSectorsPerCluster = 13;  // u8: a power of two up to 128
inline constexpr std::size_t kReservedSectors = 14;  // u16: at least 1, the boot sector's own
inline constexpr std::size_t kFats = 16;             // u8
inline constexpr std::size_t kRootEntries = 17;      // u16: FAT12 and FAT16's fixed root; 0 on FAT32
inline constexpr std::size_t kSectors16 = 19;        // u16: 0 where kSectors32 holds the count
inline constexpr std::size_t kMedia = 21;            // u8: 0xF0, or 0xF8 to 0xFF
inline constexpr std::size_t kFatSectors16 = 22;     // u16: 0 on FAT32
inline constexpr std::size_t kSectors32 = 32;        // u32
inline constexpr std::size_t kFatSectors32 = 36;     // u32, FAT32 only
inline constexpr std::size_t kExtendedFlags = 40;    // u16, FAT32 only: bit 7 set, only the FAT of bits 0-3 is live
inline constexpr std::size_t kRootCluster = 44;      // u32, FAT32 only
inline constexpr std::uint16_t kMirroringOff = 0x80;
inline constexpr std::uint16_t kActiveFatMask = 0x0F;
}  // namespace fat_boot

namespace fat_table {  // the file allocation table
// The type follows from the count of data clusters alone, as Microsoft's
// published layout of FAT sets it: fewer than 4085 is FAT12, fewer than 65525
// FAT16, more FAT32.
inline constexpr std::uint64_t kMaxFat12Clusters = 4084;
inline constexpr std::uint64_t kMaxFat16Clusters = 65524;
inline constexpr std::uint32_t kFirstDataCluster = 2;
inline constexpr std::uint32_t kFat32Mask = 0x0FFFFFFF;  // the top four bits are reserved
// Values of an entry, per type: at or above the end mark, the chain ends;
// the bad mark is a cluster that cannot hold data; 0 a free one.
inline constexpr std::uint32_t kEnd12 = 0xFF8, kBad12 = 0xFF7;
inline constexpr std::uint32_t kEnd16 = 0xFFF8, kBad16 = 0xFFF7;
inline constexpr std::uint32_t kEnd32 = 0x0FFFFFF8, kBad32 = 0x0FFFFFF7;
inline constexpr std::uint32_t kFree = 0;
}  // namespace fat_table

namespace fat_short {  // what a short (8.3) entry adds to fat_entry's fields
inline constexpr std::size_t kClusterHigh = 20;  // u16, FAT32 only
inline constexpr std::size_t kClusterLow = 26;   // u16
inline constexpr unsigned char kDirectory = 0x10;  // attribute bit
inline constexpr unsigned char kKanjiE5 = 0x05;    // first name byte: stands for 0xE5, a lead byte in 932
}  // namespace fat_short

namespace fat_long {  // a VFAT long-name entry: 13 UTF-16 units of the name
inline constexpr std::size_t kOrdinal = 0;  // u8: 1 for the part nearest the short entry
inline constexpr unsigned char kLastPart = 0x40;  // ordinal bit: the first entry of the run, the name's last part
inline constexpr unsigned char kOrdinalMask = 0x1F;
inline constexpr std::size_t kChecksum = 13;  // u8: of the short name the run belongs to
inline constexpr std::size_t kUnitsPerEntry = 13;
// Where the units lie: five, six, then two.
inline constexpr std::size_t kPieces[][2] = {{1, 5}, {14, 6}, {28, 2}};
inline constexpr std::size_t kMaxParts = 20;  // 255 characters at most
}  // namespace fat_long

}  // namespace diskimage::layout
