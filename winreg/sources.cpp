#include "winreg/sources.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "winreg/hive.h"
#include "winreg/image.h"
#include "winreg/regfile.h"
#include "winreg/source_files.h"
#include "winreg/text.h"

namespace regstore {

namespace {

std::string_view BaseName(std::string_view path) {
  std::size_t slash = path.find_last_of(kPathSeparators);
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A disk image, whole or as a selector names a part of it. The image module
// reads raw disks and volumes, VMDK, VHD and E01; for two kinds it cannot,
// the way to convert them is said.
bool LoadImageSource(Registry& reg, const ImageSelector& selector, ImageKind kind, std::string* error) {
  if (kind == ImageKind::kVdi || kind == ImageKind::kQcow2) {
    *error = selector.image + ": a " + (kind == ImageKind::kVdi ? "VirtualBox VDI" : "QEMU qcow2") +
             " image, which cannot be read here; convert it to a raw image first: qemu-img convert -O raw " +
             selector.image + " disk.img";
    return false;
  }
  return LoadImage(reg, selector, error);
}

bool LoadSelectedImage(Registry& reg, const ImageSelector& selector, std::string* error) {
  SourceBytes source;
  if (!ReadSource(selector.image, source, error)) return false;
  if (source.image == ImageKind::kNone) {
    *error = selector.image + ": '#' selects a part of a disk image, and this is none";
    return false;
  }
  return LoadImageSource(reg, selector, source.image, error);
}

// What loading needs beyond the files: where a version 5 export's text goes,
// and whether one was met.
struct LoadContext {
  TextConverter* toCodepage = nullptr;
  bool sawUnicode = false;
};

bool LoadFile(Registry& reg, const std::string& path, std::optional<Root> hiveRoot, LoadContext& context,
              std::string* error) {
  SourceBytes source;
  if (!ReadSource(path, source, error)) return false;
  if (source.image != ImageKind::kNone) {
    ImageSelector whole;
    whole.image = path;
    return LoadImageSource(reg, whole, source.image, error);
  }
  if (source.hive) {
    if (!hiveRoot) {
      std::string_view name = BaseName(path);
      if (SameName(name, "USER.DAT")) hiveRoot = Root::kUsers;
      if (SameName(name, "SYSTEM.DAT")) hiveRoot = Root::kLocalMachine;
    }
    return LoadHive(reg, std::move(source.hive), path, hiveRoot, error);
  }
  std::string_view bytes(source.bytes.get(), source.size);
  if (LooksLikeRegFile(bytes)) {
    bool unicode = false;
    bool ok = LoadRegFile(reg, bytes, path, error, context.toCodepage, &unicode);
    context.sawUnicode = context.sawUnicode || unicode;
    return ok;
  }
  *error = path + ": not a registry file (neither a REGEDIT4 or version 5 export nor a CREG hive)";
  return false;
}

struct SourceFile {
  std::string path;
  std::optional<Root> hiveRoot;  // for a directory's SYSTEM.DAT and USER.DAT
  std::optional<ImageSelector> selector;  // a part of a disk image
};

// The files the sources name, a Windows directory giving its SYSTEM.DAT
// and USER.DAT, whichever are there.
bool ListSourceFiles(const std::vector<std::string>& paths, std::vector<SourceFile>* files, std::string* error) {
  for (const std::string& path : paths) {
    if (path.empty()) {
      *error = std::string(kRegistryVariable) + " names an empty path";
      return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      // Not a file: maybe an image with a selector after '#'.
      int missing = errno;
      ImageSelector selector;
      if (path.find('#') == std::string::npos) {
        *error = SystemError(path, missing);
        return false;
      }
      if (!ParseImageSelector(path, &selector, error)) return false;
      if (::stat(selector.image.c_str(), &st) != 0) {
        *error = SystemError(selector.image, errno);
        return false;
      }
      files->push_back({selector.image, std::nullopt, selector});
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      files->push_back({path, std::nullopt, std::nullopt});
      continue;
    }
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
    bool separated = !path.empty() && std::string_view(kPathSeparators).find(path.back()) != std::string_view::npos;
    std::string prefix = separated ? path : path + kPathSeparators[0];
    if (!system.empty()) files->push_back({prefix + system, Root::kLocalMachine, std::nullopt});
    if (!user.empty()) files->push_back({prefix + user, Root::kUsers, std::nullopt});
  }
  return true;
}

}  // namespace

std::vector<std::string> SplitSourceList(std::string_view list) {
  std::vector<std::string> paths;
  while (true) {
    std::size_t cut = list.find(kListSeparator);
    paths.emplace_back(list.substr(0, cut));
    if (cut == std::string_view::npos) return paths;
    list.remove_prefix(cut + 1);
  }
}

namespace {

std::unique_ptr<Registry> LoadFiles(const std::vector<SourceFile>& files, LoadContext& context, std::string* error) {
  auto reg = std::make_unique<Registry>();
  for (const SourceFile& file : files) {
    bool ok = file.selector ? LoadSelectedImage(*reg, *file.selector, error)
                            : LoadFile(*reg, file.path, file.hiveRoot, context, error);
    if (!ok) return nullptr;
  }
  return reg;
}

// The codepage the registry says its text is in (the ACP value), or 0.
int RegistryAcp(Registry& reg) {
  std::uint32_t nls = reg.FindPath(reg.RootNode(Root::kLocalMachine), "System\\CurrentControlSet\\Control\\Nls\\Codepage");
  if (nls == kNoNode) return 0;
  const Value* acp = reg.FindValue(nls, "ACP");
  if (acp == nullptr) return 0;
  int codepage = 0;
  for (char c : acp->data.substr(0, acp->data.find('\0'))) {
    if (c < '0' || c > '9' || codepage > 99999) return 0;
    codepage = codepage * 10 + (c - '0');
  }
  return codepage;
}

}  // namespace

std::unique_ptr<Registry> LoadSources(const std::vector<std::string>& paths, std::string* error) {
  std::vector<SourceFile> files;
  if (!ListSourceFiles(paths, &files, error)) return nullptr;
  const char* named = std::getenv(kCodepageVariable);
  std::string choice = named != nullptr ? named : "";
  LoadContext context;
  if (choice == "raw") {
    // The stored bytes, and a version 5 export's text as UTF-8, as they are.
    std::unique_ptr<Registry> reg = LoadFiles(files, context, error);
    if (reg) reg->SetCodepage(0);
    return reg;
  }
  int codepage = 0;
  if (!choice.empty()) {
    bool digits = choice.size() <= 5 && choice.find_first_not_of("0123456789") == std::string::npos;
    codepage = digits ? std::stoi(choice) : 0;
    if (codepage == 0) {
      *error = std::string(kCodepageVariable) + "=" + choice + ": expected a Windows codepage number (such as 1252) or raw";
      return nullptr;
    }
  }
  std::unique_ptr<TextConverter> toCodepage;
  if (codepage != 0) {
    toCodepage = TextConverter::Open("UTF-8", CodepageCharset(codepage));
    if (!toCodepage) {
      *error = std::string(kCodepageVariable) + "=" + choice + ": this system cannot convert text to codepage " + choice;
      return nullptr;
    }
    context.toCodepage = toCodepage.get();
  }
  std::unique_ptr<Registry> reg = LoadFiles(files, context, error);
  if (!reg || codepage != 0) {
    if (reg) reg->SetCodepage(codepage);
    return reg;
  }
  // The registry names its codepage, perhaps in a later source than a
  // version 5 export that needs it: such an export is read again once the
  // codepage is known.
  codepage = RegistryAcp(*reg);
  if (!context.sawUnicode) {
    // No text to convert now: whether this system converts the registry's
    // codepage is found out when someone asks for it.
    reg->SetCodepage(codepage != 0 ? codepage : kDefaultCodepage, codepage != 0 ? kDefaultCodepage : 0);
    return reg;
  }
  if (codepage == 0 || !(toCodepage = TextConverter::Open("UTF-8", CodepageCharset(codepage)))) {
    codepage = kDefaultCodepage;
    toCodepage = TextConverter::Open("UTF-8", CodepageCharset(codepage));
  }
  if (context.sawUnicode && toCodepage) {
    LoadContext again{toCodepage.get(), false};
    reg = LoadFiles(files, again, error);
  }
  if (reg) reg->SetCodepage(codepage);
  return reg;
}

bool ChooseSources(const std::vector<std::string>& paths, std::vector<std::string>* chosen, std::string* error) {
  *chosen = paths;
  if (!chosen->empty()) return true;
  const char* list = std::getenv(kRegistryVariable);
  if (list == nullptr) {
    *error = std::string(kRegistryVariable) +
             " is not set; set it to a .reg export, a SYSTEM.DAT or USER.DAT hive, or a "
             "Windows directory (several joined by '" + kListSeparator + "')";
    return false;
  }
  *chosen = SplitSourceList(list);
  return true;
}

bool OpenRegistry(const std::vector<std::string>& paths, std::string* error) {
  std::vector<std::string> chosen;
  if (!ChooseSources(paths, &chosen, error)) return false;
  std::unique_ptr<Registry> reg = LoadSources(chosen, error);
  if (!reg) return false;
  InstallRegistry(std::move(reg));
  return true;
}

bool ForEachHive(const std::vector<std::string>& paths,
                 const std::function<bool(const std::string&, std::unique_ptr<HiveBytes>)>& visit,
                 std::string* error) {
  std::vector<SourceFile> files;
  if (!ListSourceFiles(paths, &files, error)) return false;
  for (const SourceFile& file : files) {
    SourceBytes source;
    if (!ReadSource(file.path, source, error)) return false;
    if (source.hive && !visit(file.path, std::move(source.hive))) return false;
  }
  return true;
}

}  // namespace regstore
