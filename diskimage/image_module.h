// The boundary between the tools and the image module (image_module.cpp),
// which links The Sleuth Kit and libmspack and is loaded with dlopen only
// when a source is a disk image. Plain C types, so that nothing of either
// side's C++ crosses it.
#pragma once

#include <cstddef>
#include <cstdint>

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
  const char* snapshot;  // the saved state as chosen; empty for the current one
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

// What a selector chose (diskimage::ImageSelector): partition and disk -1
// for any, path and cab empty for the Windows directory the image holds,
// snapshot empty for the current state.
struct KormaldImageChoice {
  int partition;
  const char* path;
  const char* cab;
  const char* snapshot;
  int disk;
};

// Finds the registry in image, of the kind its caller detected (a
// diskimage::ImageKind as an int), as choice selects, and hands each hive
// to found; a file larger than maxFileBytes is refused, never read or
// unpacked. 0 on success; otherwise failed has heard what is wrong.
typedef int (*KormaldImageRead)(const char* image, int kind, const KormaldImageChoice* choice,
                                std::uint64_t maxFileBytes, KormaldHiveFound found, KormaldImageFailed failed,
                                void* context);

// One record of what an image holds, for a listing: its kind ("file",
// "snapshot", "partition", "windows") and its fields, in the order the
// listing documents; lent for the call.
typedef void (*KormaldImageItem)(void* context, const char* kind, const char* const* fields, std::size_t count);

// Hands item, one by one, the files the image (or the machine's state
// choice names) stands on, its snapshots, its disks' partitions and the
// Windows directories on them. 0 on success; otherwise failed has heard
// what is wrong.
typedef int (*KormaldImageList)(const char* image, int kind, const KormaldImageChoice* choice, KormaldImageItem item,
                                KormaldImageFailed failed, void* context);
}

inline constexpr char kImageReadSymbol[] = "kormald_image_read";
inline constexpr char kImageListSymbol[] = "kormald_image_list";
