// The boundary between the tools and the image module (image_module.cpp),
// which links the outside libraries and is loaded with dlopen only when a
// source is a disk image. Plain C types, so that nothing of either side's
// C++ crosses it; the two sides may come from different builds, so the
// module says which version of this boundary it speaks, and a struct that
// grows says its size.
#pragma once

#include <cstddef>
#include <cstdint>

// Raised whenever a function's parameters, a struct's fields other than
// by one added at its end, or the records of a listing change. The module
// exports it as kImageAbiSymbol; the tools ask it before their first call.
#define KORMALD_IMAGE_ABI_VERSION 2

// What the module and its plug-ins export, and nothing else of theirs.
#if defined(_WIN32)
#define KORMALD_MODULE_EXPORT __declspec(dllexport)
#else
#define KORMALD_MODULE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// The root a hive the module finds feeds, by its file's name.
enum KormaldHiveRoot {
  KORMALD_ROOT_BY_CONTENTS = -1,  // as the hive's contents say
  KORMALD_ROOT_LOCAL_MACHINE = 2,  // SYSTEM.*
  KORMALD_ROOT_USERS = 3,          // USER.*
};

// Where a file the module hands over lies, as fields for programs: each
// empty, or -1, where it does not apply. Lent for the call. size is the
// struct's as the module was built: fields are only ever added at its end.
struct KormaldFileOrigin {
  std::size_t size;
  const char* image;     // the image, cabinet or machine file named
  const char* snapshot;  // the saved state as chosen (by name, or by ID); empty for the current one
  int disk;              // among the state's hard disks, from 1; -1 where there is one
  int partition;         // as part= counts (0: a volume without a partition table); -1 for a cabinet alone
  const char* path;      // in the volume ("\WINDOWS\SYSTEM.DAT"); empty for a cabinet alone
  const char* cab;       // the file taken out of a cabinet, or empty
  const char* selector;  // the source that reads this file again ("IMAGE#part=1&path=...")
};

// Called once for each file an image yields: where it lies in the image
// ("IMAGE: partition 1 (C:): \WINDOWS\SYSTEM.DAT", and as fields), the root
// a hive there feeds (a KormaldHiveRoot), and its bytes, lent for the
// call. Returns 0 to go on.
typedef int (*KormaldHiveFound)(void* context, const char* label, const KormaldFileOrigin* origin, int root,
                                const char* bytes, std::size_t size);

// Called once when reading the image fails, with what is wrong: one line,
// or a line and the choices it offers, one a line; lent for the call.
typedef void (*KormaldImageFailed)(void* context, const char* message);

// Called for each thing a reader found wrong but read all the same (a VHD
// checksum that disagrees): one line, lent for the call.
typedef void (*KormaldImageNote)(void* context, const char* message);

// Memory of the tools' for a whole file the module is about to read and
// hand to found: size bytes, which the tools keep and may take over when
// found's bytes lie in them (a hive is then read once, into the memory
// that holds it, with no copy). Null from the tools: none to give.
typedef char* (*KormaldRoom)(void* context, std::size_t size);

// What a selector chose (diskimage::ImageSelector): partition and disk -1
// for any, path and cab empty for the Windows directory the image holds,
// snapshot and snapshotId empty for the current state (snapshotId chooses
// by the ID alone). size is the struct's as the tools were built.
struct KormaldImageChoice {
  std::size_t size;
  int partition;
  const char* path;
  const char* cab;
  const char* snapshot;
  int disk;
  const char* snapshotId;
  int oemCodepage;  // the codepage of a FAT volume's short names; 0: the module's own choice (437)
  KormaldRoom room;  // where the module may read a file it hands over whole; null: its own memory
  // Nonzero: every block room gives is whole pages of an anonymous mapping
  // of the tools', which the module may replace, page by page, with an
  // image file's own pages mapped privately (the tools unmap the block).
  // The module then asks for a page more than the file's size, and the
  // bytes it hands to found may start anywhere in the block's first page.
  int roomPages;
};

// Finds the registry in image (a disk in any container, a cabinet or a
// machine's file, as its bytes say: the caller has told it is none of the
// registry's own files), as choice selects, and hands each hive to found;
// a file larger than maxFileBytes is refused, never read or unpacked. 0
// on success; otherwise failed has heard what is wrong.
typedef int (*KormaldImageRead)(const char* image, const KormaldImageChoice* choice,
                                std::uint64_t maxFileBytes, KormaldHiveFound found, KormaldImageNote note,
                                KormaldImageFailed failed, void* context);

// One record of what an image holds, for a listing: its kind and its
// fields, as kImageRecords describes them; lent for the call.
typedef void (*KormaldImageItem)(void* context, const char* kind, const char* const* fields, std::size_t count);

// Hands item, one by one, the files the image (or the machine's state
// choice names) stands on, its snapshots, its disks' partitions and the
// Windows directories on them. 0 on success; otherwise failed has heard
// what is wrong.
typedef int (*KormaldImageList)(const char* image, const KormaldImageChoice* choice, KormaldImageItem item,
                                KormaldImageNote note, KormaldImageFailed failed, void* context);

// A field of a listing's record: its name, and whether it is a decimal
// number (JSON writes it as one).
struct KormaldRecordField {
  const char* name;
  int number;
};
struct KormaldRecordKind {
  const char* kind;
  const KormaldRecordField* fields;
  std::size_t count;
};
}

// The records a listing holds, each field in the order the module hands
// them over and the manual documents them.
inline constexpr KormaldRecordField kFileFields[] = {{"disk", 1}, {"path", 0}, {"format", 0}};
inline constexpr KormaldRecordField kSnapshotFields[] = {{"id", 0}, {"name", 0}, {"selector", 0}};
inline constexpr KormaldRecordField kPartitionFields[] = {
    {"disk", 1}, {"number", 1}, {"type", 0}, {"bytes", 1}, {"letter", 0}};
inline constexpr KormaldRecordField kWindowsFields[] = {
    {"disk", 1}, {"partition", 1}, {"directory", 0}, {"selector", 0}};
template <std::size_t N>
constexpr KormaldRecordKind RecordOf(const char* kind, const KormaldRecordField (&fields)[N]) {
  return {kind, fields, N};
}
inline constexpr KormaldRecordKind kFileRecord = RecordOf("file", kFileFields);
inline constexpr KormaldRecordKind kSnapshotRecord = RecordOf("snapshot", kSnapshotFields);
inline constexpr KormaldRecordKind kPartitionRecord = RecordOf("partition", kPartitionFields);
inline constexpr KormaldRecordKind kWindowsRecord = RecordOf("windows", kWindowsFields);
inline constexpr KormaldRecordKind kImageRecords[] = {kFileRecord, kSnapshotRecord, kPartitionRecord,
                                                      kWindowsRecord};

inline constexpr char kImageAbiSymbol[] = "kormald_image_abi_version";  // a const int
inline constexpr char kImageReadSymbol[] = "kormald_image_read";
inline constexpr char kImageListSymbol[] = "kormald_image_list";
