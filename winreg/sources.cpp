#include "winreg/sources.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "winreg/hive.h"
#include "winreg/regfile.h"
#include "winreg/text.h"

namespace regstore {

namespace {

// Far above any Windows 9x registry (they stop working long before), and
// low enough that a wrong path to a disk image fails fast and clearly.
constexpr std::uint64_t kMaxSourceBytes = std::uint64_t{1} << 30;

// Real Windows 9x hives stay far below this; a file above it is most likely
// generated, and mapped it would bring in pages all around the few keys a
// listing needs.
constexpr std::uint64_t kMappedBytes = std::uint64_t{16} << 20;

std::string SystemError(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

struct FileImage {
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
};

// Closes a file descriptor on every way out.
struct OpenFile {
  int fd = -1;
  explicit OpenFile(int f) : fd(f) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }
  int Release() { return std::exchange(fd, -1); }
};

// Reads up to length bytes at offset; fewer only where the file ends.
bool ReadAt(int fd, std::uint64_t offset, std::size_t length, char* out, std::size_t* got) {
  *got = 0;
  while (*got < length) {
    ssize_t n = ::pread(fd, out + *got, length - *got, static_cast<off_t>(offset + *got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads a whole file: a regular one with one read where the system allows,
// anything else (a pipe, a device) to its end.
bool ReadWholeFile(const std::string& path, int fd, const struct stat& st, FileImage& image, std::string* error) {
  if (S_ISREG(st.st_mode)) {
    if (static_cast<std::uint64_t>(st.st_size) > kMaxSourceBytes) {
      *error = path + ": too large for a registry file (" + std::to_string(st.st_size) + " bytes)";
      return false;
    }
    image.bytes = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(st.st_size) + 1);
    if (!ReadAt(fd, 0, static_cast<std::size_t>(st.st_size), image.bytes.get(), &image.size)) {
      *error = SystemError(path, errno);
      return false;
    }
    return true;  // a file that shrank while read is read as far as it goes
  }
  std::size_t capacity = 0;
  while (true) {
    if (image.size == capacity) {
      if (capacity >= kMaxSourceBytes) {
        *error = path + ": too large for a registry file (more than " + std::to_string(kMaxSourceBytes) + " bytes)";
        return false;
      }
      std::size_t grown = std::max<std::size_t>(capacity * 2, 64 * 1024);
      auto bigger = std::make_unique_for_overwrite<char[]>(grown + 1);
      if (image.size != 0) std::memcpy(bigger.get(), image.bytes.get(), image.size);
      image.bytes = std::move(bigger);
      capacity = grown;
    }
    ssize_t n = ::read(fd, image.bytes.get() + image.size, capacity - image.size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = SystemError(path, errno);
      return false;
    }
    if (n == 0) return true;
    image.size += static_cast<std::size_t>(n);
  }
}

// Mapped files, for the SIGBUS handler: a mapped file that shrinks while
// mapped makes reads past its new end fault. The handler puts a page of
// zeros in place of the missing one, so the reader sees bytes that fail its
// checks (damage, reported as such) instead of the process dying.
struct MappedRange {
  std::uintptr_t from;
  std::uintptr_t to;
};
constexpr int kMaxMapped = 64;
MappedRange g_mapped[kMaxMapped];
int g_mappedCount = 0;
struct sigaction g_previousBus {};

void OnBusError(int signal, siginfo_t* info, void* context) {
  auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (int i = 0; i < g_mappedCount; ++i) {
    if (at >= g_mapped[i].from && at < g_mapped[i].to) {
      auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
      void* zeros = ::mmap(reinterpret_cast<void*>(at & ~(page - 1)), page, PROT_READ,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
      if (zeros != MAP_FAILED) return;
    }
  }
  // Not ours: whatever would have happened without us happens now.
  if ((g_previousBus.sa_flags & SA_SIGINFO) != 0 && g_previousBus.sa_sigaction != nullptr) {
    g_previousBus.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previousBus.sa_handler != SIG_DFL && g_previousBus.sa_handler != SIG_IGN) {
    g_previousBus.sa_handler(signal);
    return;
  }
  ::signal(SIGBUS, SIG_DFL);  // the faulting read runs again and ends the process
}

// A hive file mapped read-only: the pages a walk touches are read in by the
// system, several at a time, with no copy.
class MappedHiveBytes final : public HiveBytes {
 public:
  // Maps fd (which may then be closed); null when the system will not, or
  // when no slot is left for the fault handler.
  static std::unique_ptr<HiveBytes> Map(int fd, std::uint64_t size) {
    if (size == 0 || g_mappedCount == kMaxMapped) return nullptr;
    void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) return nullptr;
    if (g_mappedCount == 0) {
      struct sigaction action {};
      action.sa_sigaction = OnBusError;
      action.sa_flags = SA_SIGINFO;
      sigemptyset(&action.sa_mask);
      ::sigaction(SIGBUS, &action, &g_previousBus);
    }
    auto from = reinterpret_cast<std::uintptr_t>(p);
    g_mapped[g_mappedCount++] = MappedRange{from, from + static_cast<std::uintptr_t>(size)};
    return std::unique_ptr<HiveBytes>(new MappedHiveBytes(static_cast<const char*>(p), size));
  }

  ~MappedHiveBytes() override {
    auto from = reinterpret_cast<std::uintptr_t>(p_);
    for (int i = 0; i < g_mappedCount; ++i) {
      if (g_mapped[i].from == from) g_mapped[i] = g_mapped[--g_mappedCount];
    }
    ::munmap(const_cast<char*>(p_), static_cast<std::size_t>(size_));
  }

  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t length, void* out) override {
    if (offset > size_ || length > size_ - offset) return false;
    if (length != 0) std::memcpy(out, p_ + offset, length);
    return true;
  }
  std::string_view Keep(std::uint64_t offset, std::size_t length) override {
    if (offset > size_ || length > size_ - offset) return {};
    return {p_ + offset, length};
  }

 private:
  MappedHiveBytes(const char* p, std::uint64_t size) : p_(p), size_(size) {}
  const char* p_;
  std::uint64_t size_;
};

// A hive file read piece by piece, as the keys a walk touches need it: the
// key area in small chunks, each block whole. A file that shrinks while open
// reads as ending early, which the hive reader takes for damage.
class FileHiveBytes final : public HiveBytes {
 public:
  FileHiveBytes(int fd, std::uint64_t size) : file_(fd), size_(size) {}
  std::uint64_t Size() const override { return size_; }

  bool Read(std::uint64_t offset, std::size_t length, void* out) override {
    if (offset > size_ || length > size_ - offset) return false;
    auto* to = static_cast<char*>(out);
    while (length > 0) {
      std::uint64_t chunk = offset / kChunkBytes;
      const Piece* piece = Chunk(chunk);
      if (piece == nullptr) return false;
      std::size_t from = static_cast<std::size_t>(offset - chunk * kChunkBytes);
      if (from >= piece->size) return false;
      std::size_t n = std::min(length, piece->size - from);
      std::memcpy(to, piece->bytes.get() + from, n);
      to += n;
      offset += n;
      length -= n;
    }
    return true;
  }

  std::string_view Keep(std::uint64_t offset, std::size_t length) override {
    if (offset > size_ || length > size_ - offset) return {};
    auto buffer = std::make_unique_for_overwrite<char[]>(length + 1);
    std::size_t got = 0;
    if (!ReadAt(file_.fd, offset, length, buffer.get(), &got) || got != length) return {};
    kept_.push_back(std::move(buffer));
    return {kept_.back().get(), length};
  }

 private:
  // Small enough that the entries of a few keys cost little, large enough
  // that a full walk reads the key area in few calls.
  static constexpr std::size_t kChunkBytes = 16 * 1024;
  // Chunks are copied out of, never lent, so the cache may be cleared.
  static constexpr std::size_t kMaxChunks = 256;

  struct Piece {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
  };

  const Piece* Chunk(std::uint64_t chunk) {
    if (lastChunk_ == chunk && last_ != nullptr) return last_;
    auto it = chunks_.find(chunk);
    if (it == chunks_.end()) {
      if (chunks_.size() >= kMaxChunks) chunks_.clear();
      Piece piece{std::make_unique_for_overwrite<char[]>(kChunkBytes), 0};
      if (!ReadAt(file_.fd, chunk * kChunkBytes, kChunkBytes, piece.bytes.get(), &piece.size)) return nullptr;
      it = chunks_.emplace(chunk, std::move(piece)).first;
    }
    lastChunk_ = chunk;
    last_ = &it->second;
    return last_;
  }

  OpenFile file_;
  std::uint64_t size_;
  std::unordered_map<std::uint64_t, Piece> chunks_;
  std::uint64_t lastChunk_ = 0;
  const Piece* last_ = nullptr;
  std::vector<std::unique_ptr<char[]>> kept_;
};

std::string_view BaseName(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A source file's bytes: a hive ready for the hive reader, or a whole file.
struct SourceBytes {
  std::unique_ptr<HiveBytes> hive;
  FileImage image;
};

bool ReadSource(const std::string& path, SourceBytes& out, std::string* error) {
  OpenFile file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
    *error = SystemError(path, errno);
    return false;
  }
  // A regular file that holds a hive is read piece by piece, as its keys
  // are needed; anything else is read whole first.
  if (S_ISREG(st.st_mode)) {
    if (static_cast<std::uint64_t>(st.st_size) > kMaxSourceBytes) {
      *error = path + ": too large for a registry file (" + std::to_string(st.st_size) + " bytes)";
      return false;
    }
    char start[4] = {};
    std::size_t got = 0;
    if (!ReadAt(file.fd, 0, sizeof start, start, &got)) {
      *error = SystemError(path, errno);
      return false;
    }
    if (LooksLikeHive(std::string_view(start, got))) {
      // Mapped up to a size: faster than any read for what a walk touches.
      // Beyond it, read piece by piece, so that a few keys of a huge file
      // cost a few pieces, not the pages mapping would bring in around them.
      auto size = static_cast<std::uint64_t>(st.st_size);
      if (size <= kMappedBytes) out.hive = MappedHiveBytes::Map(file.fd, size);
      if (!out.hive) out.hive = std::make_unique<FileHiveBytes>(file.Release(), size);
      return true;
    }
  }
  if (!ReadWholeFile(path, file.fd, st, out.image, error)) return false;
  if (LooksLikeHive(std::string_view(out.image.bytes.get(), out.image.size))) {
    out.hive = MemoryHiveBytes(std::move(out.image.bytes), out.image.size);
  }
  return true;
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
  if (source.hive) {
    if (!hiveRoot) {
      std::string_view name = BaseName(path);
      if (SameName(name, "USER.DAT")) hiveRoot = Root::kUsers;
      if (SameName(name, "SYSTEM.DAT")) hiveRoot = Root::kLocalMachine;
    }
    return LoadHive(reg, std::move(source.hive), path, hiveRoot, error);
  }
  std::string_view bytes(source.image.bytes.get(), source.image.size);
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
      *error = SystemError(path, errno);
      return false;
    }
    if (!S_ISDIR(st.st_mode)) {
      files->push_back({path, std::nullopt});
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
    std::string prefix = path.ends_with('/') ? path : path + "/";
    if (!system.empty()) files->push_back({prefix + system, Root::kLocalMachine});
    if (!user.empty()) files->push_back({prefix + user, Root::kUsers});
  }
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

namespace {

std::unique_ptr<Registry> LoadFiles(const std::vector<SourceFile>& files, LoadContext& context, std::string* error) {
  auto reg = std::make_unique<Registry>();
  for (const SourceFile& file : files) {
    if (!LoadFile(*reg, file.path, file.hiveRoot, context, error)) return nullptr;
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
             "Windows directory (several joined by ':')";
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
