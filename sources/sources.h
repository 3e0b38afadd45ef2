// sources/ owns where the registry comes from: a list of paths turned into a
// loaded registry (.reg files, hives, Windows directories, disk images
// through the image module's client; files read through the OS on POSIX
// systems and on Windows), or on Windows with nothing named the live
// registry (advapi32), and the seam that routes each call of winreg.h to
// the one chosen (seam.h). It loads what it is handed: which paths, which
// codepage and what to say of a bad choice are the tools' policy.
//
// A source is a .reg export, a CREG hive (SYSTEM.DAT or USER.DAT), a
// directory holding SYSTEM.DAT and USER.DAT (names in any case, as on a FAT
// volume), or a disk image, whole or with a selector after '#'. The format
// is told by the first bytes, never by the name. Roots named by several
// sources merge, later sources adding to earlier ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diskimage/image.h"
#include "hive/hive.h"
#include "store/store.h"
#include "text/text.h"

namespace sources {

#ifdef _WIN32
inline constexpr char kListSeparator = ';';  // drive letters hold ':'
inline constexpr char kPathSeparators[] = "\\/";
#else
inline constexpr char kListSeparator = ':';
inline constexpr char kPathSeparators[] = "/";
#endif

// The largest registry file read, whatever route it arrives by: a file, a
// pipe, a file in a disk image or in a cabinet. Windows 9x reads its
// registry into the memory of its virtual machine manager, in the 1 GiB
// system arena it shares with the disk cache and every driver (an arena
// that runs out with 512 MB of disk cache, Microsoft KB253912); a quarter
// of it is far beyond any registry that ran. The Windows Me hive at hand
// is 1.2 MB.
inline constexpr std::uint64_t kMaxRegistryFileBytes = std::uint64_t{256} << 20;

// Where a file read out of a disk image or a cabinet lies, as fields for
// programs: each empty, or -1, where it does not apply.
struct FileOrigin {
  std::string image;     // the image, cabinet or machine file named
  std::string snapshot;  // the saved state as chosen; empty for the current one
  int disk = -1;         // among the state's hard disks, from 1; -1 where there is one
  int partition = -1;    // as part= counts; -1 for a cabinet alone
  std::string path;      // in the volume ("\WINDOWS\SYSTEM.DAT")
  std::string cab;       // the file taken out of a cabinet
  std::string selector;  // the source that reads this file again
};

// One file to load, as a list of sources names it.
struct SourceFile {
  std::string path = {};
  std::optional<store::Root> hiveRoot = std::nullopt;             // for a directory's SYSTEM.DAT and USER.DAT
  std::optional<diskimage::ImageSelector> selector = std::nullopt;  // a part of a disk image
};

// The files the paths name, a Windows directory giving its SYSTEM.DAT and
// USER.DAT, whichever are there. False with a one-line message; an empty
// path is "LISTNAME names an empty path".
bool ListSources(const std::vector<std::string>& paths, std::string_view listName, std::vector<SourceFile>* files,
                 std::string* error);

// How the registry's text is taken.
struct TextChoice {
  enum class Kind {
    kAsRegistrySays,  // its ACP value, else the default codepage
    kNamed,           // codepage, whatever the registry says
    kRaw,             // every stored byte as it is; a version 5 export's text as UTF-8
  };
  Kind kind = Kind::kAsRegistrySays;
  int codepage = 0;
  text::TextConverter* toCodepage = nullptr;  // kNamed: UTF-8 to codepage, open
};

// Loads the files into a new registry, or returns null with a one-line
// message naming the file and what is wrong. The registry's codepage is set
// (0 for raw), and a version 5 export's text is converted to it.
std::unique_ptr<store::Registry> LoadSourceFiles(const std::vector<SourceFile>& files, const TextChoice& choice,
                                                 std::string* error);

// Both steps, for callers with no policy of their own (tests, benchmarks):
// the text as the registry says, an empty path named as such.
std::unique_ptr<store::Registry> LoadSources(const std::vector<std::string>& paths, std::string* error);
// The same, installed as the registry the calls of winreg.h serve.
bool InstallSources(const std::vector<std::string>& paths, std::string* error);

// The paths of a list joined by the platform's list separator.
std::vector<std::string> SplitSourceList(std::string_view list);

// Hands the bytes of each hive the files hold (files that are hives, a
// directory's SYSTEM.DAT and USER.DAT, the hives of a disk image as
// selected) to visit, with where it lies (a label, and for a file in an
// image its origin; null for a file on the host), in order; each other file goes to
// passOver with why it holds no hive. Stops at the first file that cannot
// be read (false, with a one-line message) or when visit returns false.
bool ForEachHive(const std::vector<SourceFile>& files,
                 const std::function<bool(const std::string& label, const FileOrigin* origin,
                                          std::unique_ptr<hive::HiveBytes>)>& visit,
                 const std::function<void(const std::string& path, const std::string& why)>& passOver,
                 std::string* error);

// What the disk image or VM machine file an entry names holds, for the
// state its selector names: each record of the image module's listing, its
// kind and fields, and in notes what its readers found wrong but read all
// the same. False with a one-line message when the entry names no
// image (a hive or a .reg export is read as it stands), or it cannot be
// read.
bool ListImageSource(const std::string& entry,
                     const std::function<void(const std::string& kind, const std::vector<std::string>& fields)>& record,
                     std::vector<std::string>* notes, std::string* error);

}  // namespace sources
