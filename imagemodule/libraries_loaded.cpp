// The plug-ins as the module loads them: from the folder the module itself
// was loaded from, each once, with dlopen on POSIX and LoadLibrary on
// Windows.
#include <array>
#include <filesystem>

#include "diskimage/host_path.h"
#include "imagemodule/libraries.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace diskimage {

namespace {

struct Plugin {
  const char* file;  // without the host's suffix
  const char* symbol;
  const char* what;
  bool onWindows;  // libvhdi and libewf are not built for Windows
};
constexpr std::array<Plugin, 4> kPlugins{{
    {"kormald-vhdx", "kormald_vhdx_library", "the VHDX reader", false},
    {"kormald-e01", "kormald_e01_library", "the E01 reader", false},
    {"kormald-cabinet", "kormald_cabinet_library", "the cabinet reader", true},
    {"kormald-vbox", "kormald_vbox_library", "the VirtualBox machine reader", true},
}};

#if defined(_WIN32)
std::filesystem::path ModuleFolder() {
  HMODULE self = nullptr;
  wchar_t name[32768];
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModuleFolder), &self)) {
    return {};
  }
  DWORD n = ::GetModuleFileNameW(self, name, static_cast<DWORD>(std::size(name)));
  return n == 0 || n == std::size(name) ? std::filesystem::path() : std::filesystem::path(name).parent_path();
}

const void* Open(const std::filesystem::path& path, const char* symbol, std::string* why) {
  HMODULE opened = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  const void* table = opened != nullptr ? reinterpret_cast<const void*>(::GetProcAddress(opened, symbol)) : nullptr;
  if (table == nullptr) {
    *why = opened == nullptr ? "Windows error " + std::to_string(::GetLastError()) : "it exports no " + std::string(symbol);
  }
  return table;
}
constexpr char kSuffix[] = ".dll";
#else
std::filesystem::path ModuleFolder() {
  Dl_info self{};
  if (::dladdr(reinterpret_cast<void*>(&ModuleFolder), &self) == 0 || self.dli_fname == nullptr) return {};
  return std::filesystem::path(self.dli_fname).parent_path();
}

const void* Open(const std::filesystem::path& path, const char* symbol, std::string* why) {
  void* opened = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  const void* table = opened != nullptr ? ::dlsym(opened, symbol) : nullptr;
  if (table == nullptr) {
    const char* error = ::dlerror();
    *why = error != nullptr ? error : "it exports no " + std::string(symbol);
  }
  return table;
}
constexpr char kSuffix[] = ".so";
#endif

}  // namespace

const void* LoadLibraryPlugin(Library library, std::string* error) {
  static std::array<const void*, kPlugins.size()> loaded{};
  auto index = static_cast<std::size_t>(library);
  if (loaded[index] != nullptr) return loaded[index];
  const Plugin& plugin = kPlugins[index];
#if defined(_WIN32)
  if (!plugin.onWindows) {
    *error = "this build reads VHDX/E01 images only on Linux";
    return nullptr;
  }
#endif
  std::filesystem::path path = ModuleFolder() / (std::string(plugin.file) + kSuffix);
  std::string why;
  const void* table = Open(path, plugin.symbol, &why);
  if (table == nullptr) {
    *error = std::string(plugin.what) + " (" + HostString(path) + ") cannot be loaded: " + why;
    return nullptr;
  }
  // Never closed: the disks it opens live as long as the module.
  loaded[index] = table;
  return table;
}

}  // namespace diskimage
