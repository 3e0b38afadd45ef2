// Loading an image's registry through the image module, which is opened
// the first time a source is an image and not before.
#include "sources/image_client.h"

#include "sources/sources.h"

#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <memory>

#include "diskimage/image_module.h"
#include "hive/hive.h"

#ifdef KORMALD_IMAGES
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace sources {

using store::Registry;
using store::Root;

namespace {

#ifdef KORMALD_IMAGES
// What a read of the image hands each hive to, and what it heard.
struct Reading {
  std::function<bool(const char* label, int root, std::string_view bytes)> hive;
  std::string failed;  // from the module: the whole message, however long
};

int TakeHive(void* context, const char* label, int root, const char* bytes, std::size_t size) {
  return static_cast<Reading*>(context)->hive(label, root, std::string_view(bytes, size)) ? 0 : 1;
}

void TakeFailure(void* context, const char* message) { static_cast<Reading*>(context)->failed = message; }

// Where the module lies beside the tools: set by the build, relative to the
// directory of the running program.
#ifndef KORMALD_IMAGE_MODULE
#define KORMALD_IMAGE_MODULE "../lib/kormald/kormald-image.so"
#endif

KormaldImageRead ImageModule(std::string* error) {
  static KormaldImageRead read = nullptr;
  if (read != nullptr) return read;
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
  dir = dir.substr(0, dir.rfind('/') + 1);
  std::string path = dir + KORMALD_IMAGE_MODULE;
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *error = std::string("the disk image reader cannot be loaded: ") + ::dlerror();
    return nullptr;
  }
  read = reinterpret_cast<KormaldImageRead>(::dlsym(module, kImageReadSymbol));
  if (read == nullptr) *error = path + ": not the disk image reader";
  return read;
}
#endif

// Reads what an image holds, as selected, handing each hive to take, which
// says false (with its own message in *error) to stop.
bool ReadImage(const diskimage::ImageSelector& selector, diskimage::ImageKind kind,
               const std::function<bool(const char* label, int root, std::string_view bytes)>& take,
               std::string* error) {
#if defined(_WIN32) || !defined(KORMALD_IMAGES)
  (void)take;
  bool cabinet = kind == diskimage::ImageKind::kCabinet;
#if defined(_WIN32)
  *error = selector.image + (cabinet ? ": a cabinet; the Windows build does not unpack them: take SYSTEM.DAT out "
                                       "of it with Windows' own EXTRACT, or use the Linux build"
                                     : ": a disk image; the Windows build does not read them (no build of The "
                                       "Sleuth Kit is at hand there): copy SYSTEM.DAT and USER.DAT out of it, or "
                                       "use the Linux build");
#else
  *error = selector.image + (cabinet ? ": a cabinet; this build does not unpack them (it was built without "
                                       "libmspack): take SYSTEM.DAT out of it with cabextract"
                                     : ": a disk image; this build does not read them (it was built without The "
                                       "Sleuth Kit): copy SYSTEM.DAT and USER.DAT out of it");
#endif
  return false;
#else
  KormaldImageRead read = ImageModule(error);
  if (read == nullptr) {
    *error = selector.image + ": " + *error;
    return false;
  }
  bool stopped = false;
  Reading reading{[&](const char* label, int root, std::string_view bytes) {
                    stopped = !take(label, root, bytes);
                    return !stopped;
                  },
                  {}};
  KormaldImageChoice choice{selector.partition, selector.path.c_str(), selector.cab.c_str(), selector.snapshot.c_str(),
                            selector.disk};
  int rc = read(selector.image.c_str(), static_cast<int>(kind), &choice, kMaxRegistryFileBytes, TakeHive, TakeFailure,
                &reading);
  if (stopped) return false;
  if (rc != 0) {
    *error = reading.failed;
    return false;
  }
  return true;
#endif
}

}  // namespace

bool LoadImage(Registry& reg, const diskimage::ImageSelector& selector, diskimage::ImageKind kind,
               std::string* error) {
  return ReadImage(
      selector, kind,
      [&](const char* label, int root, std::string_view bytes) {
        std::optional<Root> where;
        if (root == KORMALD_ROOT_LOCAL_MACHINE) where = Root::kLocalMachine;
        if (root == KORMALD_ROOT_USERS) where = Root::kUsers;
        return hive::LoadHive(reg, hive::CopyHiveBytes(bytes), label, where, error);
      },
      error);
}

bool ForEachImageHive(const diskimage::ImageSelector& selector, diskimage::ImageKind kind,
                      const std::function<bool(const std::string&, std::unique_ptr<hive::HiveBytes>)>& visit,
                      std::string* error) {
  return ReadImage(
      selector, kind, [&](const char* label, int, std::string_view bytes) { return visit(label, hive::CopyHiveBytes(bytes)); },
      error);
}

}  // namespace sources
