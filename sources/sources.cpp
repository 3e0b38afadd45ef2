#include "sources/sources.h"

#include <algorithm>

#include "regfile/regfile.h"
#include "sources/codepage.h"
#include "sources/image_client.h"
#include "sources/source_files.h"
#include "store/api.h"

namespace sources {

using diskimage::SourceKind;
using diskimage::SourceType;
using diskimage::ImageSelector;
using store::Registry;
using store::Root;
using text::TextConverter;

namespace {

// What loading needs beyond the files: where a version 5 export's text goes,
// and whether one was met.
struct LoadContext {
  TextConverter* toCodepage = nullptr;
  store::LeadBytes lead = {};  // of a double-byte codepage: paths split past them
  bool sawUnicode = false;
  int oemCodepage = 0;  // of a FAT volume's short names; 0: the image module's own choice
};

std::string NotARegistryFile(const std::string& label) {
  return label + ": not a registry file (neither a REGEDIT4 or version 5 export, nor a CREG hive, nor a disk image)";
}

// A registry file's bytes, told apart by what they are, never by where they
// lie: a hive (owned, ready for the hive reader) or an export.
bool LoadRegistryBytes(Registry& reg, const std::string& label, std::unique_ptr<hive::HiveBytes> hive,
                       std::string_view bytes, std::optional<Root> hiveRoot, LoadContext& context,
                       std::string* error) {
  if (hive) {
    // Named as Windows names the hive or its backups: that hive, here as
    // in an image.
    if (!hiveRoot && diskimage::HiveNameOf(label) == diskimage::HiveName::kUser) hiveRoot = Root::kUsers;
    if (!hiveRoot && diskimage::HiveNameOf(label) == diskimage::HiveName::kSystem) hiveRoot = Root::kLocalMachine;
    return hive::LoadHive(reg, std::move(hive), label, hiveRoot, error);
  }
  if (regfile::LooksLikeRegFile(bytes)) {
    regfile::RegFileReport report;
    bool ok = regfile::LoadRegFile(reg, bytes, label, error, context.toCodepage, &report);
    context.sawUnicode = context.sawUnicode || report.unicode;
    return ok;
  }
  *error = NotARegistryFile(label);
  return false;
}

// A disk image, whole or as a selector names a part of it, read by the
// image module; each file picked out of it is read as the file it is.
bool LoadImageSource(Registry& reg, const ImageSelector& selector, SourceKind kind, LoadContext& context,
                     std::string* error) {
  std::vector<std::string> notes;
  bool read = ReadImageFiles(
      selector, kind,
      [&](const std::string& label, const FileOrigin&, std::optional<Root> root, ImageFileBytes& file) {
        std::string_view bytes = file.bytes;
        std::unique_ptr<hive::HiveBytes> hive = hive::LooksLikeHive(bytes) ? file.TakeHive() : nullptr;
        return LoadRegistryBytes(reg, label, std::move(hive), bytes, root, context, error);
      },
      &notes, error, context.oemCodepage);
  // The image was read all the same: nothing of it is left out.
  for (std::string& note : notes) reg.AddLoadNote(std::move(note), false);
  return read;
}

// A selector names a part of a disk image: on any other file it is an
// error, whichever road the file takes.
bool SelectsNoImage(const SourceFile& file, const SourceBytes& source, std::string* error) {
  if (!file.selector || source.image.type != SourceType::kNone) return false;
  *error = file.selector->image + ": '#' selects a part of a disk image, and this is none";
  return true;
}

bool LoadSelectedImage(Registry& reg, const SourceFile& file, LoadContext& context, std::string* error) {
  SourceBytes source;
  if (!ReadSource(file.selector->image, source, error) || SelectsNoImage(file, source, error)) return false;
  return LoadImageSource(reg, *file.selector, source.image, context, error);
}

bool LoadFile(Registry& reg, const std::string& path, std::optional<Root> hiveRoot, LoadContext& context,
              std::string* error) {
  SourceBytes source;
  if (!ReadSource(path, source, error)) return false;
  if (source.image.type != SourceType::kNone) {
    ImageSelector whole;
    whole.image = path;
    return LoadImageSource(reg, whole, source.image, context, error);
  }
  std::string_view bytes(source.bytes.get(), source.size);
  return LoadRegistryBytes(reg, path, std::move(source.hive), bytes, hiveRoot, context, error);
}

}  // namespace

bool ListSources(const std::vector<std::string>& paths, std::string_view listName, std::vector<SourceFile>* files,
                 std::string* error) {
  for (const std::string& path : paths) {
    if (path.empty()) {
      *error = std::string(listName) + " names an empty path";
      return false;
    }
    int system = 0;
    PathIs what = Inspect(path, &system);
    if (what == PathIs::kNothing) {
      // Not a file: maybe an image with a selector after '#'.
      ImageSelector selector;
      if (path.find('#') == std::string::npos) {
        *error = SystemError(path, system);
        return false;
      }
      if (!diskimage::ParseImageSelector(path, &selector, error)) return false;
      if (Inspect(selector.image, &system) == PathIs::kNothing) {
        *error = SystemError(selector.image, system);
        return false;
      }
      files->push_back({.path = selector.image, .selector = selector});
      continue;
    }
    if (what == PathIs::kFile) {
      files->push_back({.path = path});
      continue;
    }
    std::vector<std::string> entries;
    if (!DirectoryNames(path, &entries, &system)) {
      *error = SystemError(path, system);
      return false;
    }
    // Every name of each hive, in any letter case: a file system that tells
    // case apart (not FAT) can hold two, and which one the directory lists
    // first is no choice to make for the user.
    std::vector<std::string> systems, users;
    for (const std::string& entry : entries) {
      if (store::SameName(entry, "SYSTEM.DAT")) systems.push_back(entry);
      if (store::SameName(entry, "USER.DAT")) users.push_back(entry);
    }
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
    std::string systemHive = systems.empty() ? "" : systems.front();
    std::string user = users.empty() ? "" : users.front();
    if (systemHive.empty() && user.empty()) {
      *error = path + ": no SYSTEM.DAT or USER.DAT in this directory";
      return false;
    }
    bool separated = !path.empty() && std::string_view(kPathSeparators).find(path.back()) != std::string_view::npos;
    std::string prefix = separated ? path : path + kPathSeparators[0];
    if (!systemHive.empty()) files->push_back({.path = prefix + systemHive, .hiveRoot = Root::kLocalMachine});
    if (!user.empty()) files->push_back({.path = prefix + user, .hiveRoot = Root::kUsers});
  }
  return true;
}

bool MayBeRegistry(std::string_view head) { return hive::LooksLikeHive(head) || regfile::LooksLikeRegFile(head); }

SourceKind SourceKindOf(std::string_view head, std::string_view tail) {
  return MayBeRegistry(head) ? SourceKind{} : diskimage::DetectSource(head, tail);
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
    bool ok = file.selector ? LoadSelectedImage(*reg, file, context, error)
                            : LoadFile(*reg, file.path, file.hiveRoot, context, error);
    if (!ok) return nullptr;
  }
  return reg;
}

}  // namespace

std::unique_ptr<Registry> LoadSourceFiles(const std::vector<SourceFile>& files, const TextChoice& choice,
                                          std::string* error) {
  if (choice.kind == TextChoice::Kind::kRaw) {
    // The stored bytes, and a version 5 export's text as UTF-8, as they are.
    LoadContext raw;
    std::unique_ptr<Registry> reg = LoadFiles(files, raw, error);
    if (reg) reg->SetCodepage(0);
    return reg;
  }
  if (choice.kind == TextChoice::Kind::kNamed) {
    LoadContext named{.toCodepage = choice.toCodepage,
                      .lead = LeadBytesOf(choice.codepage),
                      .oemCodepage = text::OemCodepageOf(choice.codepage)};
    std::unique_ptr<Registry> reg = LoadFiles(files, named, error);
    if (reg) reg->SetCodepage(choice.codepage);
    return reg;
  }
  // The registry names its codepage, perhaps in a later source than the
  // one it changes: the files are read once as they are, which tells the
  // codepage (its ACP value is ASCII, and reads the same whatever the lead
  // bytes), and once more only where that codepage changes how they read.
  LoadContext plain;
  std::unique_ptr<Registry> reg = LoadFiles(files, plain, error);
  if (!reg) return reg;
  int codepage = RegistryAcp(*reg);
  if (!plain.sawUnicode) {
    // A double-byte codepage splits paths differently: read again, with its
    // lead bytes known from the start (a lazy hive costs its frame again).
    if (store::LeadBytes lead = LeadBytesOf(codepage); !lead.empty()) {
      LoadContext again{.lead = lead, .oemCodepage = text::OemCodepageOf(codepage)};
      reg = LoadFiles(files, again, error);
      if (!reg) return reg;
    }
    // No text to convert now: whether this system converts the registry's
    // codepage is found out when someone asks for it (RegistryCodepage).
    reg->SetCodepage(codepage != 0 ? codepage : text::kDefaultCodepage, codepage != 0 ? text::kDefaultCodepage : 0);
    return reg;
  }
  // A version 5 export's text is stored in the codepage, converted as it
  // is read.
  std::unique_ptr<TextConverter> toCodepage;
  if (codepage == 0 || !(toCodepage = TextConverter::Open("UTF-8", text::CodepageCharset(codepage)))) {
    codepage = text::kDefaultCodepage;
    toCodepage = TextConverter::Open("UTF-8", text::CodepageCharset(codepage));
  }
  if (toCodepage) {
    LoadContext again{.toCodepage = toCodepage.get(), .lead = LeadBytesOf(codepage)};
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
                 const std::function<bool(const std::string& label, const FileOrigin* origin,
                                          std::unique_ptr<hive::HiveBytes>)>& visit,
                 const std::function<void(const std::string& path, const std::string& why)>& passOver,
                 std::string* error) {
  for (const SourceFile& file : files) {
    SourceBytes source;
    if (!ReadSource(file.path, source, error) || SelectsNoImage(file, source, error)) return false;
    if (file.selector || source.image.type != SourceType::kNone) {
      ImageSelector whole;
      whole.image = file.path;
      bool read = ReadImageFiles(
          file.selector ? *file.selector : whole, source.image,
          [&](const std::string& label, const FileOrigin& origin, std::optional<Root>, ImageFileBytes& file) {
            std::string_view bytes = file.bytes;
            if (hive::LooksLikeHive(bytes)) return visit(label, &origin, file.TakeHive());
            passOver(label, regfile::LooksLikeRegFile(bytes) ? "a .reg export, which keeps no free records"
                                                             : "not a registry file");
            return true;
          },
          nullptr, error);
      if (!read) return false;
    } else if (source.hive) {
      if (!visit(file.path, nullptr, std::move(source.hive))) return false;
    } else {
      bool isExport = regfile::LooksLikeRegFile(std::string_view(source.bytes.get(), source.size));
      passOver(file.path, isExport ? "a .reg export, which keeps no free records" : "not a registry file");
    }
  }
  return true;
}

bool ListImageSource(const std::string& entry,
                     const std::function<void(const std::string& kind, const std::vector<std::string>& fields)>& record,
                     std::vector<std::string>* notes, std::string* error) {
  std::vector<SourceFile> files;
  if (!ListSources({entry}, "--list-images", &files, error)) return false;
  ImageSelector whole;
  whole.image = files.front().path;
  const ImageSelector& selector = files.front().selector ? *files.front().selector : whole;
  SourceBytes source;
  if (!ReadSource(selector.image, source, error)) return false;
  if (source.image.type == SourceType::kNone) {
    *error = selector.image + ": not a disk image or a VM's machine file, so there is nothing to list in it";
    return false;
  }
  return ListImage(selector, source.image, record, notes, error);
}

}  // namespace sources
