// Loading an image's registry through the image module, which is opened
// the first time a source is an image and not before.
#include "sources/image_client.h"

#include "sources/sources.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <memory>

#include "imagemodule/image_module.h"

#if defined(KORMALD_IMAGES) && defined(_WIN32)
#include <windows.h>

#include "text/wide.h"
#elif defined(KORMALD_IMAGES)
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace sources {

using store::Root;

namespace {

// Set by SetImageModulePath: where the module lies, whatever the program.
std::string& ChosenModulePath() {
  static std::string path;
  return path;
}

#ifdef KORMALD_IMAGES
// What a read of the image hands each hive to, what it heard, and the
// blocks the module read files into.
struct Reading {
  std::function<bool(const char* label, const KormaldFileOrigin& origin, int root, ImageFileBytes& file)> hive;
  std::string failed;  // from the module: the whole message, however long
  std::vector<std::string> notes;
  std::vector<FileBlock> blocks;
};

int TakeHive(void* context, const char* label, const KormaldFileOrigin* origin, int root, const char* bytes,
             std::size_t size) {
  auto* reading = static_cast<Reading*>(context);
  ImageFileBytes file{std::string_view(bytes, size), {}};
  // A file read into a block of ours: the hive keeps the block itself.
  for (auto& block : reading->blocks) {
    if (block.Holds(bytes, size)) file.block = std::move(block);
  }
  return reading->hive(label, *origin, root, file) ? 0 : 1;
}

// The memory the module reads a whole file into, for TakeHive to hand on;
// none where there is none to give (the module then reads into its own).
char* GiveRoom(void* context, std::size_t size) {
  auto* reading = static_cast<Reading*>(context);
  std::erase_if(reading->blocks, [](const FileBlock& b) { return b.data() == nullptr; });  // taken over
  FileBlock block = FileBlock::Allocate(size);
  char* bytes = block.data();
  if (bytes != nullptr) reading->blocks.push_back(std::move(block));
  return bytes;
}

void TakeFailure(void* context, const char* message) { static_cast<Reading*>(context)->failed = message; }
void TakeNote(void* context, const char* message) { static_cast<Reading*>(context)->notes.emplace_back(message); }

// Where the module lies beside the tools: set by the build, relative to the
// directory of the running program.
#ifndef KORMALD_IMAGE_MODULE
#define KORMALD_IMAGE_MODULE "../lib/kormald/kormald-image.so"
#endif

// The selector as the module takes it, lent: selector outlives the call.
KormaldImageChoice ChoiceOf(const diskimage::ImageSelector& selector, int oemCodepage = 0,
                            KormaldRoom room = nullptr) {
  return {sizeof(KormaldImageChoice), selector.partition,        selector.path.c_str(),
          selector.cab.c_str(),       selector.snapshot.c_str(), selector.disk,
          selector.snapshotId.c_str(), oemCodepage,             room,
          room != nullptr && FileBlock::kPages ? 1 : 0};
}

#if defined(_WIN32)
// The module beside the program, as the download holds it, or where the
// build tree puts it. Its path is UTF-8, as every path the module takes.
using Module = HMODULE;
Module OpenModule(std::string* path, std::string* why) {
  wchar_t self[32768];
  DWORD n = ::GetModuleFileNameW(nullptr, self, static_cast<DWORD>(std::size(self)));
  std::wstring dir = n > 0 && n < std::size(self) ? std::wstring(self, n) : std::wstring();
  dir = dir.substr(0, dir.find_last_of(L"\\/") + 1);
  DWORD code = 0;
  for (const wchar_t* place : {L"kormald-image.dll", L"" KORMALD_IMAGE_MODULE}) {
    std::wstring wide = dir + place;
    *path = text::Utf8Of(wide);
    if (HMODULE opened = ::LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) return opened;
    if (code == 0) code = ::GetLastError();
  }
  *why = "kormald-image.dll, beside the program, cannot be loaded (Windows error " + std::to_string(code) + ")";
  return nullptr;
}
void* Find(Module module, const char* symbol) { return reinterpret_cast<void*>(::GetProcAddress(module, symbol)); }
void CloseModule(Module module) { ::FreeLibrary(module); }
#else
using Module = void*;
Module OpenModule(std::string* path, std::string* why) {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
  dir = dir.substr(0, dir.rfind('/') + 1);
  *path = ChosenModulePath().empty() ? dir + KORMALD_IMAGE_MODULE : ChosenModulePath();
  void* opened = ::dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
  if (opened == nullptr) *why = ::dlerror();
  return opened;
}
void* Find(Module module, const char* symbol) { return ::dlsym(module, symbol); }
void CloseModule(Module module) { ::dlclose(module); }
#endif

// A function of the module, which is loaded the first time one is asked for.
void* ImageModuleFunction(const char* symbol, std::string* error) {
  static Module module = nullptr;
  static std::string path;
  if (module == nullptr) {
    std::string why;
    Module opened = OpenModule(&path, &why);
    if (opened == nullptr) {
      *error = "the disk image reader cannot be loaded: " + why;
      return nullptr;
    }
    // A module of another build may take other arguments: no call is made
    // before it says it speaks this boundary.
    const auto* version = static_cast<const int*>(Find(opened, kImageAbiSymbol));
    if (version == nullptr || *version != KORMALD_IMAGE_ABI_VERSION) {
      *error = path + ": the disk image reader of another build (it speaks " +
               (version == nullptr ? std::string("no versioned boundary") : "version " + std::to_string(*version)) +
               ", this program version " + std::to_string(KORMALD_IMAGE_ABI_VERSION) +
               "): install the two from one build";
      CloseModule(opened);
      return nullptr;
    }
    module = opened;
  }
  void* function = Find(module, symbol);
  if (function == nullptr) *error = path + ": not the disk image reader";
  return function;
}
#endif

// Why this build reads no image, where it reads none.
[[maybe_unused]] std::string NoImages(const diskimage::ImageSelector& selector, diskimage::SourceKind kind) {
  bool cabinet = kind.type == diskimage::SourceType::kCabinet;
#if defined(_WIN32)
  // The build for Windows 95, 98 and Me (or one made without images).
  const char* elsewhere = "the 64-bit Windows build or the Linux build";
  if (kind.type == diskimage::SourceType::kMachine) {
    return selector.image + ": a virtual machine, whose disks this build does not read: copy SYSTEM.DAT and "
                            "USER.DAT out of its disk, or use " + elsewhere;
  }
  return selector.image + (cabinet ? ": a cabinet; this build does not unpack them: take SYSTEM.DAT out of it "
                                     "with Windows' own EXTRACT, or use "
                                   : ": a disk image; this build does not read them: copy SYSTEM.DAT and "
                                     "USER.DAT out of it, or use ") + elsewhere;
#else
  if (kind.type == diskimage::SourceType::kMachine) {
    return selector.image + ": a virtual machine, whose disks this build does not read (it was built without the "
                            "image module): copy SYSTEM.DAT and USER.DAT out of its disk";
  }
  return selector.image + (cabinet ? ": a cabinet; this build does not unpack them (it was built without "
                                     "libmspack): take SYSTEM.DAT out of it with cabextract"
                                   : ": a disk image; this build does not read them (it was built without the "
                                     "image module): copy SYSTEM.DAT and USER.DAT out of it");
#endif
}

// Reads what an image holds, as selected, handing each hive to take, which
// says false (with its own message in *error) to stop.
bool ReadImage(const diskimage::ImageSelector& selector, diskimage::SourceKind kind,
               const std::function<bool(const char* label, const KormaldFileOrigin& origin, int root,
                                        ImageFileBytes& file)>& take,
               std::vector<std::string>* notes, std::string* error, int oemCodepage) {
#if !defined(KORMALD_IMAGES)
  (void)take;
  (void)notes;
  (void)oemCodepage;
  *error = NoImages(selector, kind);
  return false;
#else
  (void)kind;  // the module tells it again from the file
  auto read = reinterpret_cast<KormaldImageRead>(ImageModuleFunction(kImageReadSymbol, error));
  if (read == nullptr) {
    *error = selector.image + ": " + *error;
    return false;
  }
  bool stopped = false;
  Reading reading{[&](const char* label, const KormaldFileOrigin& origin, int root, ImageFileBytes& file) {
                    stopped = !take(label, origin, root, file);
                    return !stopped;
                  },
                  {},
                  {},
                  {}};
  KormaldImageChoice choice = ChoiceOf(selector, oemCodepage, GiveRoom);
  int rc = read(selector.image.c_str(), &choice, kMaxRegistryFileBytes, TakeHive, TakeNote, TakeFailure, &reading);
  if (notes != nullptr) notes->insert(notes->end(), reading.notes.begin(), reading.notes.end());
  if (stopped) return false;
  if (rc != 0) {
    *error = reading.failed;
    return false;
  }
  return true;
#endif
}

}  // namespace

std::unique_ptr<hive::HiveBytes> ImageFileBytes::TakeHive() {
  if (block.Holds(bytes.data(), bytes.size())) return block.TakeHive(bytes);
  return hive::CopyHiveBytes(bytes);
}

void SetImageModulePath(std::string path) { ChosenModulePath() = std::move(path); }

bool ReadImageFiles(const diskimage::ImageSelector& selector, diskimage::SourceKind kind,
                    const std::function<bool(const std::string& label, const FileOrigin& origin,
                                             std::optional<Root> root, ImageFileBytes& file)>& take,
                    std::vector<std::string>* notes, std::string* error, int oemCodepage) {
  return ReadImage(
      selector, kind,
      [&](const char* label, const KormaldFileOrigin& from, int root, ImageFileBytes& file) {
        std::optional<Root> where;
        if (root == KORMALD_ROOT_LOCAL_MACHINE) where = Root::kLocalMachine;
        if (root == KORMALD_ROOT_USERS) where = Root::kUsers;
        auto text = [&](const char* field) { return std::string(field != nullptr ? field : ""); };
        FileOrigin origin{text(from.image), text(from.snapshot), from.disk, from.partition,
                          text(from.path),  text(from.cab),      text(from.selector)};
        return take(label, origin, where, file);
      },
      notes, error, oemCodepage);
}

#if defined(KORMALD_IMAGES)
namespace {

struct Listing {
  const std::function<void(const std::string&, const std::vector<std::string>&)>& record;
  std::string failed;
  std::vector<std::string>* notes;
};

void TakeRecord(void* context, const char* kind, const char* const* fields, std::size_t count) {
  static_cast<Listing*>(context)->record(kind, std::vector<std::string>(fields, fields + count));
}

void TakeListFailure(void* context, const char* message) { static_cast<Listing*>(context)->failed = message; }
void TakeListNote(void* context, const char* message) {
  if (auto* notes = static_cast<Listing*>(context)->notes) notes->emplace_back(message);
}

}  // namespace
#endif

bool ListImage(const diskimage::ImageSelector& selector, diskimage::SourceKind kind,
               const std::function<void(const std::string&, const std::vector<std::string>&)>& record,
               std::vector<std::string>* notes, std::string* error) {
#if !defined(KORMALD_IMAGES)
  (void)record;
  (void)notes;
  *error = NoImages(selector, kind);
  return false;
#else
  (void)kind;
  auto list = reinterpret_cast<KormaldImageList>(ImageModuleFunction(kImageListSymbol, error));
  if (list == nullptr) {
    *error = selector.image + ": " + *error;
    return false;
  }
  KormaldImageChoice choice = ChoiceOf(selector);
  Listing listing{record, {}, notes};
  if (list(selector.image.c_str(), &choice, TakeRecord, TakeListNote, TakeListFailure, &listing) == 0) return true;
  *error = listing.failed;
  return false;
#endif
}

}  // namespace sources
