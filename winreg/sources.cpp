#include "winreg/sources.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "winreg/hive.h"
#include "winreg/regfile.h"

namespace regstore {

namespace {

// Far above any Windows 9x registry (they stop working long before), and
// low enough that a wrong path to a disk image fails fast and clearly.
constexpr std::uint64_t kMaxSourceBytes = std::uint64_t{1} << 30;

std::string SystemError(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

struct FileImage {
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
};

// Reads a whole file with one read where the system allows.
bool ReadWholeFile(const std::string& path, FileImage& image, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = SystemError(path, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *error = SystemError(path, errno);
    ::close(fd);
    return false;
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxSourceBytes) {
    *error = path + ": too large for a registry file (" + std::to_string(st.st_size) + " bytes)";
    ::close(fd);
    return false;
  }
  image.size = static_cast<std::size_t>(st.st_size);
  image.bytes = std::make_unique<char[]>(image.size + 1);
  std::size_t done = 0;
  while (done < image.size) {
    ssize_t got = ::read(fd, image.bytes.get() + done, image.size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = SystemError(path, errno);
      ::close(fd);
      return false;
    }
    if (got == 0) break;  // the file shrank while we read it
    done += static_cast<std::size_t>(got);
  }
  image.size = done;
  ::close(fd);
  return true;
}

std::string_view BaseName(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool LoadFile(Registry& reg, const std::string& path, std::optional<Root> hiveRoot, std::string* error) {
  FileImage image;
  if (!ReadWholeFile(path, image, error)) return false;
  std::string_view bytes(image.bytes.get(), image.size);
  if (LooksLikeHive(bytes)) {
    if (!hiveRoot) {
      std::string_view name = BaseName(path);
      if (SameName(name, "USER.DAT")) hiveRoot = Root::kUsers;
      if (SameName(name, "SYSTEM.DAT")) hiveRoot = Root::kLocalMachine;
    }
    return LoadHive(reg, std::move(image.bytes), image.size, path, hiveRoot, error);
  }
  if (LooksLikeRegFile(bytes)) return LoadRegFile(reg, bytes, path, error);
  *error = path + ": not a registry file (neither a REGEDIT4 or version 5 export nor a CREG hive)";
  return false;
}

// A Windows directory: its SYSTEM.DAT and USER.DAT, whichever are there.
bool LoadDirectory(Registry& reg, const std::string& path, std::string* error) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    *error = SystemError(path, errno);
    return false;
  }
  std::string system, user;
  while (const dirent* entry = ::readdir(dir)) {
    if (system.empty() && SameName(entry->d_name, "SYSTEM.DAT")) system = entry->d_name;
    if (user.empty() && SameName(entry->d_name, "USER.DAT")) user = entry->d_name;
  }
  ::closedir(dir);
  if (system.empty() && user.empty()) {
    *error = path + ": no SYSTEM.DAT or USER.DAT in this directory";
    return false;
  }
  std::string prefix = path.ends_with('/') ? path : path + "/";
  if (!system.empty() && !LoadFile(reg, prefix + system, Root::kLocalMachine, error)) return false;
  if (!user.empty() && !LoadFile(reg, prefix + user, Root::kUsers, error)) return false;
  return true;
}

}  // namespace

std::vector<std::string> SplitSourceList(std::string_view list) {
  std::vector<std::string> paths;
  while (true) {
    std::size_t cut = list.find(':');
    paths.emplace_back(list.substr(0, cut));
    if (cut == std::string_view::npos) return paths;
    list.remove_prefix(cut + 1);
  }
}

std::unique_ptr<Registry> LoadSources(const std::vector<std::string>& paths, std::string* error) {
  auto reg = std::make_unique<Registry>();
  for (const std::string& path : paths) {
    if (path.empty()) {
      *error = std::string(kRegistryVariable) + " names an empty path";
      return nullptr;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      *error = SystemError(path, errno);
      return nullptr;
    }
    bool ok = S_ISDIR(st.st_mode) ? LoadDirectory(*reg, path, error)
                                  : LoadFile(*reg, path, std::nullopt, error);
    if (!ok) return nullptr;
  }
  return reg;
}

bool OpenRegistry(const std::vector<std::string>& paths, std::string* error) {
  std::vector<std::string> chosen = paths;
  if (chosen.empty()) {
    const char* list = std::getenv(kRegistryVariable);
    if (list == nullptr) {
      *error = std::string(kRegistryVariable) +
               " is not set; set it to a .reg export, a SYSTEM.DAT or USER.DAT hive, or a "
               "Windows directory (several joined by ':')";
      return false;
    }
    chosen = SplitSourceList(list);
  }
  std::unique_ptr<Registry> reg = LoadSources(chosen, error);
  if (!reg) return false;
  InstallRegistry(std::move(reg));
  return true;
}

}  // namespace regstore
