// The plug-ins as the module loads them: from the folder the module itself
// was loaded from, with dlopen, each once.
#include <dlfcn.h>

#include <array>
#include <filesystem>

#include "imagemodule/libraries.h"

namespace diskimage {

namespace {

struct Plugin {
  const char* file;
  const char* symbol;
  const char* what;
};
constexpr std::array<Plugin, 4> kPlugins{{
    {"kormald-vhdx.so", "kormald_vhdx_library", "the VHDX reader"},
    {"kormald-e01.so", "kormald_e01_library", "the E01 reader"},
    {"kormald-cabinet.so", "kormald_cabinet_library", "the cabinet reader"},
    {"kormald-vbox.so", "kormald_vbox_library", "the VirtualBox machine reader"},
}};

}  // namespace

const void* LoadLibraryPlugin(Library library, std::string* error) {
  static std::array<const void*, kPlugins.size()> loaded{};
  auto index = static_cast<std::size_t>(library);
  if (loaded[index] != nullptr) return loaded[index];
  const Plugin& plugin = kPlugins[index];
  Dl_info self{};
  std::filesystem::path folder;
  if (::dladdr(reinterpret_cast<void*>(&LoadLibraryPlugin), &self) != 0 && self.dli_fname != nullptr) {
    folder = std::filesystem::path(self.dli_fname).parent_path();
  }
  std::string path = (folder / plugin.file).string();
  void* opened = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  const void* table = opened != nullptr ? ::dlsym(opened, plugin.symbol) : nullptr;
  if (table == nullptr) {
    const char* why = ::dlerror();
    *error = std::string(plugin.what) + " (" + path + ") cannot be loaded: " + (why != nullptr ? why : "it exports no " + std::string(plugin.symbol));
    return nullptr;
  }
  // Never closed: the disks it opens live as long as the module.
  loaded[index] = table;
  return table;
}

}  // namespace diskimage
