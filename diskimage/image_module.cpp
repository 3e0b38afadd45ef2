// The disk image reader, a module loaded only when a source is an image:
// The Sleuth Kit's library opens the image (raw, VMDK, VHD, E01), its MBR
// partition table and its FAT volumes; libmspack opens the cabinets in which
// Windows 98 and Me keep the registry of their last boots. Nothing is
// written: the image is opened read-only, and cabinets are unpacked in
// memory. Only the clusters of the files it reads are read.
#include <tsk/libtsk.h>

#include <mspack.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bytes/bytes.h"
#include "diskimage/image.h"
#include "diskimage/image_module.h"

namespace {

using diskimage::FatVolume;

// The largest registry file, as the client passes it in: a file system or
// a cabinet that claims a larger one costs an error, not the memory.
std::uint64_t g_maxFileBytes = 0;

std::string TooLarge(std::uint64_t claimed) {
  return "is " + bytes::TooLargeForRegistryFile(std::to_string(claimed), g_maxFileBytes);
}

// A partition, or the whole image when it is a bare volume. Its file
// system is opened the first time it is needed: a disk of many partitions
// costs what the selector or the search looks at.
struct Volume {
  FatVolume where;
  std::uint64_t offset = 0;  // in bytes
  bool dosFat = true;        // a type DOS gives a letter to
  std::string outside;       // why it cannot be read: it ends past the image's end
  char letter = 0;
  TSK_FS_INFO* fs = nullptr;
  bool tried = false;
};

// Everything opened on one image, closed on every way out.
struct Image {
  TSK_IMG_INFO* img = nullptr;
  std::vector<Volume> volumes;
  std::vector<std::string> problems;  // of the partition table, one line each
  ~Image() {
    for (Volume& v : volumes) {
      if (v.fs != nullptr) tsk_fs_close(v.fs);
    }
    if (img != nullptr) tsk_img_close(img);
  }
};

std::string TskError() {
  const char* text = tsk_error_get();
  std::string error = text != nullptr ? text : "unknown error";
  tsk_error_reset();
  while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
  return error;
}

std::string Label(const Volume& v) {
  std::string label = v.where.number == 0 ? "the volume" : "partition " + std::to_string(v.where.number);
  if (v.letter != 0) label += std::string(" (") + v.letter + ":)";
  return label;
}

// What a Microsoft cabinet (SYSBCKUP\RB000.CAB) begins with.
constexpr std::string_view kCabinetSignature = "MSCF";

// The Sleuth Kit takes paths with '/'; Windows users write '\'.
std::string TskPath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
  return path;
}

// A path as messages and labels show it: '\' between names, and bytes no
// line of text should carry (a damaged MSDOS.SYS can hold any) escaped.
std::string WindowsPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return bytes::Escaped(path);
}

std::optional<std::uint32_t> HiddenEntrySize(TSK_FS_INFO* fs, const std::string& path);

// The whole of a file, or false when it is not there or cannot be read.
bool ReadFile(TSK_FS_INFO* fs, const std::string& path, std::string* bytes, std::string* error) {
  TSK_FS_FILE* file = tsk_fs_file_open(fs, nullptr, TskPath(path).c_str());
  if (file == nullptr) {
    tsk_error_reset();
    if (std::optional<std::uint32_t> claimed = HiddenEntrySize(fs, path)) {
      *error = WindowsPath(path) + ": its directory entry claims " + std::to_string(*claimed) +
               " bytes, impossible for a registry file on this volume";
    }
    return false;
  }
  bool ok = file->meta != nullptr && file->meta->type == TSK_FS_META_TYPE_REG;
  if (ok && (file->meta->size < 0 || static_cast<std::uint64_t>(file->meta->size) > g_maxFileBytes)) {
    *error = WindowsPath(path) + " " + TooLarge(static_cast<std::uint64_t>(file->meta->size));
    ok = false;
  }
  if (ok) {
    auto size = static_cast<std::size_t>(file->meta->size);
    bytes->resize(size);
    ssize_t got = size == 0 ? 0 : tsk_fs_file_read(file, 0, bytes->data(), size, TSK_FS_FILE_READ_FLAG_NONE);
    if (got < 0 || static_cast<std::size_t>(got) != size) {
      *error = "cannot read " + WindowsPath(path) + ": " + (got < 0 ? TskError() : "the file is cut short");
      ok = false;
    }
  }
  tsk_fs_file_close(file);
  return ok;
}

// What a path names: a file, a directory, ...; nullopt when nothing.
std::optional<TSK_FS_META_TYPE_ENUM> TypeOf(TSK_FS_INFO* fs, const std::string& path) {
  TSK_FS_FILE* file = tsk_fs_file_open(fs, nullptr, TskPath(path).c_str());
  if (file == nullptr) {
    tsk_error_reset();
    return std::nullopt;
  }
  std::optional<TSK_FS_META_TYPE_ENUM> type;
  if (file->meta != nullptr) type = file->meta->type;
  tsk_fs_file_close(file);
  return type;
}

// What the entry of a file the library would not open claims of its size:
// it drops an entry whose size cannot be. nullopt when there is none.
std::optional<std::uint32_t> HiddenEntrySize(TSK_FS_INFO* fs, const std::string& path) {
  std::string tsk = TskPath(path);
  std::size_t slash = tsk.rfind('/');
  std::string parent = slash == 0 ? "/" : tsk.substr(0, slash);
  TSK_FS_FILE* dir = tsk_fs_file_open(fs, nullptr, parent.c_str());
  if (dir == nullptr) {
    tsk_error_reset();
    return std::nullopt;
  }
  // A FAT directory holds at most 65,536 entries of 32 bytes.
  constexpr TSK_OFF_T kMaxDirectoryBytes = TSK_OFF_T{65536} * 32;
  std::optional<std::uint32_t> claimed;
  if (dir->meta != nullptr && dir->meta->type == TSK_FS_META_TYPE_DIR && dir->meta->size > 0) {
    std::string bytes(static_cast<std::size_t>(std::min(dir->meta->size, kMaxDirectoryBytes)), '\0');
    ssize_t got = tsk_fs_file_read(dir, 0, bytes.data(), bytes.size(), TSK_FS_FILE_READ_FLAG_NONE);
    if (got > 0) claimed = diskimage::FatEntrySize(std::string_view(bytes.data(), static_cast<std::size_t>(got)),
                                                   tsk.substr(slash + 1));
  }
  tsk_error_reset();
  tsk_fs_file_close(dir);
  return claimed;
}

bool IsDirectory(TSK_FS_INFO* fs, const std::string& path) { return TypeOf(fs, path) == TSK_FS_META_TYPE_DIR; }
// Whether a file is there, even one whose entry claims a size it cannot
// have: reading it then says so.
bool Exists(TSK_FS_INFO* fs, const std::string& path) {
  return TypeOf(fs, path).has_value() || HiddenEntrySize(fs, path).has_value();
}

bool HoldsRegistry(TSK_FS_INFO* fs, const std::string& dir) {
  return Exists(fs, dir + "/SYSTEM.DAT") || Exists(fs, dir + "/USER.DAT");
}

// --- cabinets, unpacked in memory through libmspack's own I/O hooks ------

struct MemoryFile {
  std::string* bytes;
  std::size_t at = 0;
  bool writing = false;
};

mspack_file* MemoryOpen(mspack_system*, const char* name, int mode) {
  // The "file name" libmspack hands back is the MemoryFile we gave it.
  auto* file = reinterpret_cast<MemoryFile*>(const_cast<char*>(name));
  file->at = 0;
  file->writing = mode != MSPACK_SYS_OPEN_READ;
  if (file->writing) file->bytes->clear();
  return reinterpret_cast<mspack_file*>(file);
}
void MemoryClose(mspack_file*) {}
int MemoryRead(mspack_file* f, void* buffer, int bytes) {
  auto* file = reinterpret_cast<MemoryFile*>(f);
  if (bytes < 0) return -1;
  std::size_t n = std::min(static_cast<std::size_t>(bytes), file->bytes->size() - std::min(file->at, file->bytes->size()));
  if (n != 0) std::memcpy(buffer, file->bytes->data() + file->at, n);
  file->at += n;
  return static_cast<int>(n);
}
int MemoryWrite(mspack_file* f, void* buffer, int bytes) {
  auto* file = reinterpret_cast<MemoryFile*>(f);
  if (bytes < 0) return -1;
  // Unpacking stops at the largest registry file, whatever the cabinet
  // said of the file's length.
  if (file->bytes->size() + static_cast<std::size_t>(bytes) > g_maxFileBytes) return -1;
  file->bytes->append(static_cast<const char*>(buffer), static_cast<std::size_t>(bytes));
  return bytes;
}
int MemorySeek(mspack_file* f, off_t offset, int mode) {
  auto* file = reinterpret_cast<MemoryFile*>(f);
  off_t base = mode == MSPACK_SYS_SEEK_START ? 0
               : mode == MSPACK_SYS_SEEK_CUR ? static_cast<off_t>(file->at)
                                             : static_cast<off_t>(file->bytes->size());
  off_t to = base + offset;
  if (to < 0 || to > static_cast<off_t>(file->bytes->size())) return -1;
  file->at = static_cast<std::size_t>(to);
  return 0;
}
off_t MemoryTell(mspack_file* f) { return static_cast<off_t>(reinterpret_cast<MemoryFile*>(f)->at); }
void MemoryMessage(mspack_file*, const char*, ...) {}
void* MemoryAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void MemoryFree(void* p) { std::free(p); }
void MemoryCopy(void* from, void* to, size_t bytes) { std::memmove(to, from, bytes); }

mspack_system g_memory = {MemoryOpen, MemoryClose, MemoryRead,   MemoryWrite, MemorySeek, MemoryTell,
                          MemoryMessage, MemoryAlloc, MemoryFree, MemoryCopy, nullptr};

bool Unpack(std::string& cabinet, const std::string& name, std::string* out, std::string* error) {
  mscab_decompressor* cabd = mspack_create_cab_decompressor(&g_memory);
  if (cabd == nullptr) {
    *error = "cannot start the cabinet reader";
    return false;
  }
  MemoryFile in{&cabinet};
  mscabd_cabinet* cab = cabd->open(cabd, reinterpret_cast<char*>(&in));
  bool found = false;
  bool ok = false;
  if (cab == nullptr) {
    *error = "not a cabinet, or a damaged one";
  } else {
    for (mscabd_file* file = cab->files; file != nullptr; file = file->next) {
      if (strcasecmp(file->filename, name.c_str()) != 0) continue;
      found = true;
      if (file->length > g_maxFileBytes) {
        *error = name + " in the cabinet " + TooLarge(file->length);
        break;
      }
      // Its stated length, so that the unpacked file is held once, not in
      // a buffer grown by doubling.
      out->reserve(file->length);
      MemoryFile result{out};
      ok = cabd->extract(cabd, file, reinterpret_cast<char*>(&result)) == MSPACK_ERR_OK;
      if (!ok) *error = "cannot unpack " + name + " from the cabinet (damaged, or larger than it says)";
      break;
    }
    if (!found) *error = "the cabinet holds no " + name;
    cabd->close(cabd, cab);
  }
  mspack_destroy_cab_decompressor(cabd);
  return ok;
}

// --- finding the registry ---------------------------------------------------

int RootOf(const std::string& name) {
  std::string upper = name.substr(name.find_last_of("\\/") + 1);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.starts_with("SYSTEM.")) return 2;
  if (upper.starts_with("USER.")) return 3;
  return -1;
}

// A volume's FAT file system, opened now if it was not; null when it does
// not hold one, or lies past the image's end.
TSK_FS_INFO* FileSystem(const Image& image, Volume& v) {
  if (!v.tried && v.outside.empty()) {
    v.tried = true;
    v.fs = tsk_fs_open_img(image.img, static_cast<TSK_OFF_T>(v.offset), TSK_FS_TYPE_FAT_DETECT);
    if (v.fs == nullptr) tsk_error_reset();
  }
  return v.fs;
}

// The first line of what the library says, as one line of a message.
std::string FirstLine(std::string text) {
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

// Reads length bytes of a file at offset; false where it ends.
bool ReadAt(std::FILE* file, std::uint64_t offset, std::size_t length, std::string* out) {
  out->assign(length, '\0');
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(out->data(), 1, length, file) == length;
}

// What an image's first and last sectors say it is.
diskimage::ImageKind KindOf(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return diskimage::ImageKind::kNone;
  std::string head, tail;
  ReadAt(file, 0, 512, &head);
  off_t size = fseeko(file, 0, SEEK_END) == 0 ? ftello(file) : 0;
  if (size >= 512) ReadAt(file, static_cast<std::uint64_t>(size) - 512, 512, &tail);
  std::fclose(file);
  return diskimage::DetectImage(head, tail);
}

// Every segment of an EWF image is there, from the first to the one that
// says it is the last: the library would read a missing one as zeros.
bool EwfSegmentsPresent(const std::string& path, std::string* error) {
  constexpr int kMaxSegments = 99 + 22 * 26 * 26;
  for (int n = 1; n <= kMaxSegments; ++n) {
    std::string name = n == 1 ? path : diskimage::EwfSegmentName(path, n);
    std::FILE* file = name.empty() ? nullptr : std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
      *error = path + ": segment " + (name.empty() ? std::to_string(n) : name) + " missing";
      return false;
    }
    diskimage::EwfSegment segment = diskimage::ReadEwfSegment(
        [file](std::uint64_t offset, std::size_t length, std::string* out) { return ReadAt(file, offset, length, out); });
    std::fclose(file);
    if (!segment.valid) {
      *error = path + ": segment " + name + " is damaged: its sections cannot be followed to its end";
      return false;
    }
    if (segment.last) return true;
  }
  *error = path + ": more segments than EWF can name";
  return false;
}

// Opens the image and finds its volumes: the partitions of its MBR, read
// here in the order DOS and Linux give them (the primary slots, then the
// extended partition's chain), or the image itself as one bare volume.
bool OpenVolumes(Image& image, const std::string& path, std::string* error) {
  // A container format is opened as what it is: should its library fail,
  // its reason is passed on, where a guess would read the file as raw.
  diskimage::ImageKind kind = KindOf(path);
  TSK_IMG_TYPE_ENUM type = TSK_IMG_TYPE_DETECT;
  const char* format = nullptr;
  if (kind == diskimage::ImageKind::kVmdk) type = TSK_IMG_TYPE_VMDK_VMDK, format = "a VMDK";
  if (kind == diskimage::ImageKind::kVhd) type = TSK_IMG_TYPE_VHD_VHD, format = "a VHD";
  if (kind == diskimage::ImageKind::kE01) type = TSK_IMG_TYPE_EWF_EWF, format = "an E01";
  if (kind == diskimage::ImageKind::kE01 && !EwfSegmentsPresent(path, error)) return false;
  image.img = tsk_img_open_sing(path.c_str(), type, 0);
  if (image.img == nullptr) {
    *error = path + (format != nullptr ? std::string(": cannot be read as ") + format + " image: "
                                       : std::string(": cannot be read as a disk image: ")) +
             FirstLine(TskError());
    return false;
  }
  constexpr std::uint64_t kSector = 512;
  auto sectors = static_cast<std::uint64_t>(image.img->size) / kSector;
  std::string unreadable;  // the library's word on a sector it could not read
  auto readSector = [&](std::uint64_t sector, std::string* bytes) {
    if (sector >= sectors) return false;
    bytes->assign(kSector, '\0');
    ssize_t got = tsk_img_read(image.img, static_cast<TSK_OFF_T>(sector * kSector), bytes->data(), kSector);
    if (got != static_cast<ssize_t>(kSector)) {
      if (unreadable.empty()) unreadable = got < 0 ? TskError() : "it ends inside sector " + std::to_string(sector);
      return false;
    }
    return true;
  };
  // A bare volume first: a FAT boot sector carries the MBR's signature too.
  if (TSK_FS_INFO* fs = tsk_fs_open_img(image.img, 0, TSK_FS_TYPE_FAT_DETECT)) {
    image.volumes.push_back(Volume{FatVolume{0, false}, 0, true, {}, 0, fs, true});
    return true;
  }
  tsk_error_reset();
  diskimage::PartitionTable table = diskimage::ReadPartitionTable(readSector);
  if (!unreadable.empty() && !table.found) {
    *error = path + ": cannot be read: " + unreadable;
    return false;
  }
  image.problems = table.problems;
  for (const diskimage::Partition& p : table.partitions) {
    Volume v{FatVolume{p.number, p.logical}, p.start * kSector, diskimage::IsDosFatType(p.type), {}, 0, nullptr, false};
    if (p.start + p.sectors > sectors) v.outside = "partition " + std::to_string(p.number) + " ends past the image's end";
    image.volumes.push_back(std::move(v));
  }
  if (!table.found || image.volumes.empty()) {
    *error = path + ": no FAT volume in the image" + (table.found ? "'s partitions" : "");
    if (!unreadable.empty()) *error += " (" + unreadable + ")";
    return false;
  }
  // Letters as DOS gives them, by the partitions' types.
  std::vector<std::size_t> lettered;
  std::vector<FatVolume> where;
  for (std::size_t i = 0; i < image.volumes.size(); ++i) {
    if (!image.volumes[i].dosFat) continue;
    lettered.push_back(i);
    where.push_back(image.volumes[i].where);
  }
  std::vector<char> letters = diskimage::DriveLetters(where);
  for (std::size_t i = 0; i < letters.size(); ++i) image.volumes[lettered[i]].letter = letters[i];
  return true;
}

// What the partition table could not give, for a message that ends a search.
std::string Unread(const Image& image) {
  std::string said;
  for (const Volume& v : image.volumes) {
    if (!v.outside.empty()) said += (said.empty() ? "" : "; ") + v.outside;
  }
  for (const std::string& problem : image.problems) said += (said.empty() ? "" : "; ") + problem;
  return said.empty() ? "" : " (" + said + ")";
}

struct Finder {
  const char* image;
  KormaldHiveFound found;
  void* context;
  std::string error;

  // Hands over one file of a volume, unpacked from a cabinet where asked.
  bool Give(const Volume& v, TSK_FS_INFO* fs, const std::string& path, const std::string& cab, int root) {
    std::string bytes;
    if (!ReadFile(fs, path, &bytes, &error)) {
      if (error.empty()) error = "no " + WindowsPath(path);
      error = std::string(image) + ": " + Label(v) + ": " + error;
      return false;
    }
    std::string label = std::string(image) + ": " + Label(v) + ": " + WindowsPath(path);
    if (cab.empty() && bytes.starts_with(kCabinetSignature)) {
      error = label + ": a cabinet; name the hive in it with &cab=, such as " + image + "#path=" +
              WindowsPath(path) + "&cab=SYSTEM.DAT";
      return false;
    }
    if (!cab.empty()) {
      std::string unpacked;
      if (!Unpack(bytes, cab, &unpacked, &error)) {
        error = label + ": " + error;
        return false;
      }
      bytes.swap(unpacked);
      label += " (" + cab + ")";
      root = RootOf(cab);
    }
    if (found(context, label.c_str(), root, bytes.data(), bytes.size()) != 0) {
      error = "stopped";
      return false;
    }
    return true;
  }

  // SYSTEM.DAT and USER.DAT of a Windows directory, whichever are there.
  bool GiveDirectory(const Volume& v, TSK_FS_INFO* fs, const std::string& dir) {
    bool any = false;
    for (const char* name : {"SYSTEM.DAT", "USER.DAT"}) {
      if (!Exists(fs, dir + "/" + name)) continue;
      if (!Give(v, fs, dir + "/" + name, "", RootOf(name))) return false;
      any = true;
    }
    if (!any) error = std::string(image) + ": " + Label(v) + ": no SYSTEM.DAT or USER.DAT in " + WindowsPath(dir);
    return any;
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int kormald_image_read(const char* image, int partition,
                                                                          const char* path, const char* cab,
                                                                          std::uint64_t maxFileBytes,
                                                                          KormaldHiveFound found,
                                                                          KormaldImageFailed failed, void* context) {
  g_maxFileBytes = maxFileBytes;
  auto fail = [&](const std::string& what) {
    failed(context, what.c_str());
    return 1;
  };
  Image disk;
  std::string message;
  if (!OpenVolumes(disk, image, &message)) return fail(message);
  Finder finder{image, found, context, {}};

  if (partition >= 0 || path[0] != '\0') {
    // Chosen by the user: a partition, a path in it, or both. Only the
    // chosen partition is opened; a path alone must name one volume.
    std::vector<std::pair<Volume*, TSK_FS_INFO*>> volumes;
    for (Volume& v : disk.volumes) {
      if (partition >= 0 && v.where.number != partition) continue;
      if (partition >= 0 && !v.outside.empty()) return fail(std::string(image) + ": " + v.outside);
      if (TSK_FS_INFO* fs = FileSystem(disk, v)) volumes.emplace_back(&v, fs);
    }
    if (volumes.empty()) {
      std::string what = partition >= 0 ? "no FAT volume is partition " + std::to_string(partition)
                                        : "no FAT volume in the image";
      return fail(std::string(image) + ": " + what + Unread(disk));
    }
    if (volumes.size() > 1 && path[0] != '\0') {
      return fail(std::string(image) + ": " + path + " names no partition: add part=N");
    }
    auto [v, fs] = volumes.front();
    std::string where = path[0] != '\0' ? path : "\\WINDOWS";
    if (cab[0] != '\0' && IsDirectory(fs, where)) {
      return fail(std::string(image) + ": " + Label(*v) + ": cab= names a file in a cabinet, and " +
                  WindowsPath(where) + " is a directory");
    }
    bool ok = path[0] != '\0' && !IsDirectory(fs, where) ? finder.Give(*v, fs, where, cab, RootOf(where))
                                                           : finder.GiveDirectory(*v, fs, where);
    return ok ? 0 : fail(finder.error);
  }

  // MSDOS.SYS on the boot volume (C:) names the Windows directory, which may
  // lie on another volume.
  for (Volume& boot : disk.volumes) {
    if (boot.letter != 'C') continue;
    TSK_FS_INFO* bootFs = FileSystem(disk, boot);
    std::string text;
    if (bootFs == nullptr || !ReadFile(bootFs, "/MSDOS.SYS", &text, &message)) break;
    std::optional<diskimage::WindowsDirectory> windows = diskimage::ParseMsdosSys(text);
    if (!windows) break;
    for (Volume& v : disk.volumes) {
      if (v.letter != windows->drive) continue;
      TSK_FS_INFO* fs = FileSystem(disk, v);
      if (fs == nullptr) {
        return fail(std::string(image) + ": MSDOS.SYS names " + windows->drive + ":" + WindowsPath(windows->path) + ", and " +
                    Label(v) + " holds no FAT volume" + Unread(disk));
      }
      return finder.GiveDirectory(v, fs, windows->path) ? 0 : fail(finder.error);
    }
    return fail(std::string(image) + ": MSDOS.SYS names " + windows->drive + ":" + WindowsPath(windows->path) +
                ", and no FAT volume of the image is " + windows->drive + ":");
  }

  // Without it, the \WINDOWS of each volume DOS gives a letter is a
  // candidate; more than one is not guessed at. Volumes past Z: are none.
  std::vector<std::pair<const Volume*, TSK_FS_INFO*>> candidates;
  bool anyFat = false;
  for (Volume& v : disk.volumes) {
    if (v.letter == 0 && v.where.number != 0) continue;
    TSK_FS_INFO* fs = FileSystem(disk, v);
    if (fs == nullptr) continue;
    anyFat = true;
    if (IsDirectory(fs, "/WINDOWS") && HoldsRegistry(fs, "/WINDOWS")) candidates.emplace_back(&v, fs);
  }
  if (!anyFat) return fail(std::string(image) + ": no FAT volume in the image's partitions" + Unread(disk));
  if (candidates.empty()) {
    return fail(std::string(image) + ": no Windows directory with a registry in the image" + Unread(disk));
  }
  if (candidates.size() > 1) {
    std::string list = std::string(image) + ": " + std::to_string(candidates.size()) +
                       " Windows directories, and no MSDOS.SYS to choose between them:";
    for (const auto& [v, fs] : candidates) {
      list += "\n  " + Label(*v) + ": \\WINDOWS   (choose it with " + image + "#part=" +
              std::to_string(v->where.number) + ")";
    }
    return fail(list);
  }
  auto [v, fs] = candidates.front();
  return finder.GiveDirectory(*v, fs, "/WINDOWS") ? 0 : fail(finder.error);
}
