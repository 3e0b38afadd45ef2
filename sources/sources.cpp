#include "sources/sources.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "regfile/regfile.h"
#include "sources/codepage.h"
#include "sources/image_client.h"
#include "sources/source_files.h"
#include "store/api.h"

namespace sources {

using diskimage::ImageKind;
using diskimage::ImageSelector;
using store::Registry;
using store::Root;
using text::TextConverter;

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
  return LoadImage(reg, selector, kind, error);
}

// A selector names a part of a disk image: on any other file it is an
// error, whichever road the file takes.
bool SelectsNoImage(const SourceFile& file, const SourceBytes& source, std::string* error) {
  if (!file.selector || source.image != ImageKind::kNone) return false;
  *error = file.selector->image + ": '#' selects a part of a disk image, and this is none";
  return true;
}

bool LoadSelectedImage(Registry& reg, const SourceFile& file, std::string* error) {
  SourceBytes source;
  if (!ReadSource(file.selector->image, source, error) || SelectsNoImage(file, source, error)) return false;
  return LoadImageSource(reg, *file.selector, source.image, error);
}

// What loading needs beyond the files: where a version 5 export's text goes,
// and whether one was met.
struct LoadContext {
  TextConverter* toCodepage = nullptr;
  bool sawUnicode = false;
  store::LeadBytes lead;  // of a double-byte codepage: paths split past them
  int namedAcp = 0;       // the codepage a REGEDIT4 file names, the last one met
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
      if (store::SameName(name, "USER.DAT")) hiveRoot = Root::kUsers;
      if (store::SameName(name, "SYSTEM.DAT")) hiveRoot = Root::kLocalMachine;
    }
    return hive::LoadHive(reg, std::move(source.hive), path, hiveRoot, error);
  }
  std::string_view bytes(source.bytes.get(), source.size);
  if (regfile::LooksLikeRegFile(bytes)) {
    if (int named = regfile::CodepageNamedIn(bytes); named != 0) context.namedAcp = named;
    regfile::RegFileReport report;
    bool ok = regfile::LoadRegFile(reg, bytes, path, error, context.toCodepage, &report);
    context.sawUnicode = context.sawUnicode || report.unicode;
    return ok;
  }
  *error = path + ": not a registry file (neither a REGEDIT4 or version 5 export nor a CREG hive)";
  return false;
}


}  // namespace

bool ListSources(const std::vector<std::string>& paths, std::string_view listName, std::vector<SourceFile>* files,
                 std::string* error) {
  for (const std::string& path : paths) {
    if (path.empty()) {
      *error = std::string(listName) + " names an empty path";
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
      if (!diskimage::ParseImageSelector(path, &selector, error)) return false;
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
    // Every name of each hive, in any letter case: a file system that tells
    // case apart (not FAT) can hold two, and which one the directory lists
    // first is no choice to make for the user.
    std::vector<std::string> systems, users;
    while (const dirent* entry = ::readdir(dir)) {
      if (store::SameName(entry->d_name, "SYSTEM.DAT")) systems.emplace_back(entry->d_name);
      if (store::SameName(entry->d_name, "USER.DAT")) users.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (std::vector<std::string>* names : {&systems, &users}) {
      if (names->size() < 2) continue;
      std::sort(names->begin(), names->end());
      std::string list;
      for (std::size_t i = 0; i < names->size(); ++i) {
        list += (i == 0 ? "" : i + 1 == names->size() ? " and " : ", ") + (*names)[i];
      }
      std::string count = names->size() == 2 ? "two" : std::to_string(names->size());
      *error = path + ": holds " + list + ": one hive in " + count + " files; name the one to read";
      return false;
    }
    std::string system = systems.empty() ? "" : systems.front();
    std::string user = users.empty() ? "" : users.front();
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

bool MayBeRegistry(std::string_view head) { return hive::LooksLikeHive(head) || regfile::LooksLikeRegFile(head); }

ImageKind ImageKindOf(std::string_view head, std::string_view tail) {
  return MayBeRegistry(head) ? ImageKind::kNone : diskimage::DetectImage(head, tail);
}

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
  reg->SetLeadBytes(context.lead);
  for (const SourceFile& file : files) {
    bool ok = file.selector ? LoadSelectedImage(*reg, file, error)
                            : LoadFile(*reg, file.path, file.hiveRoot, context, error);
    if (!ok) return nullptr;
  }
  return reg;
}

}  // namespace

std::unique_ptr<Registry> LoadSourceFiles(const std::vector<SourceFile>& files, const TextChoice& choice,
                                          std::string* error) {
  LoadContext context;
  if (choice.kind == TextChoice::Kind::kRaw) {
    // The stored bytes, and a version 5 export's text as UTF-8, as they are.
    std::unique_ptr<Registry> reg = LoadFiles(files, context, error);
    if (reg) reg->SetCodepage(0);
    return reg;
  }
  if (choice.kind == TextChoice::Kind::kNamed) {
    context.toCodepage = choice.toCodepage;
    context.lead = LeadBytesOf(choice.codepage);
    std::unique_ptr<Registry> reg = LoadFiles(files, context, error);
    if (reg) reg->SetCodepage(choice.codepage);
    return reg;
  }
  std::unique_ptr<Registry> reg = LoadFiles(files, context, error);
  store::LeadBytes namedLead = LeadBytesOf(context.namedAcp);
  if ((!reg || reg->SomethingLeftOut()) && !namedLead.empty()) {
    // A REGEDIT4 file in a double-byte codepage may not read without its
    // lead bytes (a quoted name whose second byte is '\' leaves its line
    // out): where the file names such a codepage, it is read again knowing
    // them.
    LoadContext retry{nullptr, false, namedLead};
    reg = LoadFiles(files, retry, error);
    if (!reg) return reg;
    context.sawUnicode = retry.sawUnicode;
    context.lead = namedLead;
  }
  if (!reg) return reg;
  // The registry names its codepage, perhaps in a later source than a
  // version 5 export that needs it: such an export is read again once the
  // codepage is known.
  int codepage = RegistryAcp(*reg);
  if (!context.sawUnicode) {
    // A double-byte codepage splits paths differently: read again, with its
    // lead bytes known from the start (a lazy hive costs its frame again).
    if (store::LeadBytes lead = LeadBytesOf(codepage); !lead.empty() && context.lead.empty()) {
      LoadContext again{nullptr, false, lead};
      reg = LoadFiles(files, again, error);
      if (!reg) return reg;
    }
    // No text to convert now: whether this system converts the registry's
    // codepage is found out when someone asks for it (RegistryCodepage).
    reg->SetCodepage(codepage != 0 ? codepage : text::kDefaultCodepage, codepage != 0 ? text::kDefaultCodepage : 0);
    return reg;
  }
  std::unique_ptr<TextConverter> toCodepage;
  if (codepage == 0 || !(toCodepage = TextConverter::Open("UTF-8", text::CodepageCharset(codepage)))) {
    codepage = text::kDefaultCodepage;
    toCodepage = TextConverter::Open("UTF-8", text::CodepageCharset(codepage));
  }
  if (toCodepage) {
    LoadContext again{toCodepage.get(), false, LeadBytesOf(codepage)};
    reg = LoadFiles(files, again, error);
  }
  if (reg) reg->SetCodepage(codepage);
  return reg;
}

std::unique_ptr<Registry> LoadSources(const std::vector<std::string>& paths, std::string* error) {
  std::vector<SourceFile> files;
  if (!ListSources(paths, "the list of sources", &files, error)) return nullptr;
  return LoadSourceFiles(files, TextChoice{}, error);
}

bool InstallSources(const std::vector<std::string>& paths, std::string* error) {
  std::unique_ptr<Registry> reg = LoadSources(paths, error);
  if (!reg) return false;
  store::InstallRegistry(std::move(reg));
  return true;
}

bool ForEachHive(const std::vector<SourceFile>& files,
                 const std::function<bool(const std::string&, std::unique_ptr<hive::HiveBytes>)>& visit,
                 const std::function<void(const std::string& path, const std::string& why)>& passOver,
                 std::string* error) {
  for (const SourceFile& file : files) {
    SourceBytes source;
    if (!ReadSource(file.path, source, error) || SelectsNoImage(file, source, error)) return false;
    if (file.selector || source.image != ImageKind::kNone) {
      ImageSelector whole;
      whole.image = file.path;
      if (!ForEachImageHive(file.selector ? *file.selector : whole, source.image, visit, error)) return false;
    } else if (source.hive) {
      if (!visit(file.path, std::move(source.hive))) return false;
    } else {
      bool isExport = regfile::LooksLikeRegFile(std::string_view(source.bytes.get(), source.size));
      passOver(file.path, isExport ? "a .reg export, which keeps no free records" : "not a registry file");
    }
  }
  return true;
}

}  // namespace sources
