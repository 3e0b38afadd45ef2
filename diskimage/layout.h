// The on-disk layouts diskimage/ reads, as named byte fields: the one place
// that knows where a field lies. All integers are little-endian and
// unaligned, read through bytes::LittleEndian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace diskimage::layout {

inline constexpr std::size_t kSectorBytes = 512;

namespace signature {  // what tells each kind of image, at its offset
inline constexpr std::string_view kQcow = "QFI\xFB";                 // at 0
inline constexpr std::size_t kVdiAt = 0x40;
inline constexpr std::string_view kVdi = "\x7F\x10\xDA\xBE";         // u32 0xBEDA107F
inline constexpr std::string_view kEwf = {"EVF\x09\x0D\x0A\xFF\x00", 8};  // at 0
inline constexpr std::string_view kVmdkSparse = "KDMV";              // at 0
inline constexpr std::string_view kVmdkDescriptor = "# Disk DescriptorFile";
inline constexpr std::string_view kVhd = "conectix";                 // at 0, or in the last sector
inline constexpr std::string_view kCabinet = "MSCF";                 // at 0: a Microsoft cabinet
}  // namespace signature

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

namespace ewf {  // an EWF (E01) segment file
inline constexpr std::size_t kFileHeaderBytes = 13;
inline constexpr std::size_t kSegmentNumber = 9;  // u16
// Sections follow the file header, each with a descriptor:
inline constexpr std::size_t kSectionType = 0;  // 16 bytes, NUL-padded ("done", "next", ...)
inline constexpr std::size_t kSectionTypeBytes = 16;
inline constexpr std::size_t kSectionNext = 16;  // u64, file offset of the next section
inline constexpr std::size_t kSectionBytes = 76;
}  // namespace ewf

}  // namespace diskimage::layout
