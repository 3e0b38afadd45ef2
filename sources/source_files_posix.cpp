// Reading source files on POSIX systems: a hive mapped or read piece by
// piece, anything else read whole.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "bytes/bytes.h"
#include "sources/source_files.h"

namespace sources {

using diskimage::SourceKind;
using diskimage::SourceType;
using hive::HiveBytes;
using hive::LooksLikeHive;
using hive::MemoryHiveBytes;

std::string SystemError(const std::string& path, int error) { return path + ": " + std::strerror(error); }

namespace {

// Real Windows 9x hives stay far below this; a file above it is most likely
// generated, and mapped it would bring in pages all around the few keys a
// listing needs.
constexpr std::uint64_t kMappedBytes = std::uint64_t{16} << 20;

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

// A file's first and last sectors: what tells a disk image.
struct Ends {
  char start[kHeadBytes] = {};
  char end[kHeadBytes] = {};
  std::size_t got = 0;
  std::size_t endGot = 0;
  std::string_view Head() const { return {start, got}; }
  std::string_view Tail() const { return {end, endGot}; }
};

bool ReadEnds(int fd, std::uint64_t size, Ends& ends) {
  return ReadAt(fd, 0, sizeof ends.start, ends.start, &ends.got) &&
         ReadAt(fd, size >= sizeof ends.end ? size - sizeof ends.end : 0, sizeof ends.end, ends.end, &ends.endGot);
}

std::string TooLarge(const std::string& path, const std::string& size) {
  return path + ": " + bytes::TooLargeForRegistryFile(size, kMaxRegistryFileBytes);
}

// Reads a whole file: a regular one with one read where the system allows,
// anything else (a pipe, a device) to its end, but only while its first
// bytes may begin a registry file and it stays within the largest one: a
// device that never ends, or a pipe of something else, costs a sector.
bool ReadWholeFile(const std::string& path, int fd, const struct stat& st, FileImage& image, std::string* error) {
  if (S_ISREG(st.st_mode)) {
    if (static_cast<std::uint64_t>(st.st_size) > kMaxRegistryFileBytes) {
      *error = TooLarge(path, std::to_string(st.st_size));
      return false;
    }
    image.bytes = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(st.st_size) + 1);
    if (!ReadAt(fd, 0, static_cast<std::size_t>(st.st_size), image.bytes.get(), &image.size)) {
      *error = SystemError(path, errno);
      return false;
    }
    return true;  // a file that shrank while read is read as far as it goes
  }
  // Read in pieces, and joined once the end is known: never more held
  // than what was read and one piece, even while joining.
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::vector<std::unique_ptr<char[]>> pieces;
  std::size_t total = 0;
  std::size_t inLast = kPiece;
  bool headSeen = false;
  while (true) {
    if (inLast == kPiece) {
      if (total > kMaxRegistryFileBytes) {
        *error = TooLarge(path, "more than " + std::to_string(kMaxRegistryFileBytes));
        return false;
      }
      pieces.push_back(std::make_unique_for_overwrite<char[]>(kPiece));
      inLast = 0;
    }
    ssize_t n = ::read(fd, pieces.back().get() + inLast, kPiece - inLast);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = SystemError(path, errno);
      return false;
    }
    if (n == 0) break;
    inLast += static_cast<std::size_t>(n);
    total += static_cast<std::size_t>(n);
    if (!headSeen && total >= kHeadBytes) {
      headSeen = true;
      if (!MayBeRegistry(std::string_view(pieces.front().get(), std::min(total, kPiece)))) break;
    }
  }
  if (total > kMaxRegistryFileBytes) {
    *error = TooLarge(path, "more than " + std::to_string(kMaxRegistryFileBytes));
    return false;
  }
  image.bytes = std::make_unique_for_overwrite<char[]>(total + 1);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::size_t n = std::min(kPiece, total - i * kPiece);
    if (n != 0) std::memcpy(image.bytes.get() + i * kPiece, pieces[i].get(), n);
    pieces[i].reset();
  }
  image.size = total;
  if (!MayBeRegistry(std::string_view(image.bytes.get(), std::min(total, kHeadBytes)))) image.size = 0;
  return true;
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

// Puts size bytes from p under the handler, installed the first time (only
// then: installed again, it would take itself for what it replaced, and a
// fault not ours would call it for ever). False where no slot is left.
bool Guard(const void* p, std::uint64_t size) {
  static bool installed = false;
  if (g_mappedCount == kMaxMapped) return false;
  if (!installed) {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previousBus);
    installed = true;
  }
  auto from = reinterpret_cast<std::uintptr_t>(p);
  g_mapped[g_mappedCount++] = MappedRange{from, from + static_cast<std::uintptr_t>(size)};
  return true;
}

void Unguard(const void* p) {
  auto from = reinterpret_cast<std::uintptr_t>(p);
  for (int i = 0; i < g_mappedCount; ++i) {
    if (g_mapped[i].from == from) g_mapped[i] = g_mapped[--g_mappedCount];
  }
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
    Guard(p, size);
    return Adopt(static_cast<char*>(p), size, 0, size);
  }
  // Takes over a mapping of mapped bytes at base, which Guard guards: the
  // hive's are size of them from lead.
  static std::unique_ptr<HiveBytes> Adopt(char* base, std::uint64_t mapped, std::uint64_t lead, std::uint64_t size) {
    return std::unique_ptr<HiveBytes>(new MappedHiveBytes(base, mapped, lead, size));
  }

  ~MappedHiveBytes() override {
    Unguard(base_);
    ::munmap(base_, static_cast<std::size_t>(mapped_));
  }

  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t length, void* out) override {
    if (!bytes::InRange(offset, length, size_)) return false;
    if (length != 0) std::memcpy(out, p_ + offset, length);
    return true;
  }
  std::string_view Keep(std::uint64_t offset, std::size_t length) override {
    if (!bytes::InRange(offset, length, size_)) return {};
    return {p_ + offset, length};
  }

 private:
  MappedHiveBytes(char* base, std::uint64_t mapped, std::uint64_t lead, std::uint64_t size)
      : base_(base), mapped_(mapped), p_(base + lead), size_(size) {}
  char* base_;
  std::uint64_t mapped_;
  const char* p_;
  std::uint64_t size_;
};

}  // namespace

FileBlock FileBlock::Allocate(std::size_t size) {
  FileBlock block;
  if (size == 0) return block;
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return block;
  if (!Guard(p, size)) {
    ::munmap(p, size);
    return block;
  }
  block.data_ = static_cast<char*>(p);
  block.size_ = size;
  return block;
}

FileBlock& FileBlock::operator=(FileBlock&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  return *this;
}

FileBlock::~FileBlock() {
  if (data_ == nullptr) return;
  Unguard(data_);
  ::munmap(data_, size_);
}

std::unique_ptr<hive::HiveBytes> FileBlock::TakeHive(std::string_view bytes) {
  if (!Holds(bytes.data(), bytes.size())) return hive::CopyHiveBytes(bytes);
  std::size_t lead = static_cast<std::size_t>(bytes.data() - data_);
  return MappedHiveBytes::Adopt(std::exchange(data_, nullptr), std::exchange(size_, 0), lead, bytes.size());
}

namespace {

// A hive file read piece by piece, as the keys a walk touches need it: the
// key area in small chunks, each block whole. A file that shrinks while open
// reads as ending early, which the hive reader takes for damage.
class FileHiveBytes final : public HiveBytes {
 public:
  FileHiveBytes(int fd, std::uint64_t size) : file_(fd), size_(size) {}
  std::uint64_t Size() const override { return size_; }

  bool Read(std::uint64_t offset, std::size_t length, void* out) override {
    if (!bytes::InRange(offset, length, size_)) return false;
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

  bool ReadAlone(std::uint64_t offset, std::size_t length, void* out) override {
    if (!bytes::InRange(offset, length, size_)) return false;
    std::size_t got = 0;
    return ReadAt(file_.fd, offset, length, static_cast<char*>(out), &got) && got == length;
  }

  std::string_view Keep(std::uint64_t offset, std::size_t length) override {
    if (!bytes::InRange(offset, length, size_)) return {};
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
      // A full cache starts over with the same buffers: freed, they would
      // go back to the system and come back as fresh pages.
      if (chunks_.size() >= kMaxChunks) {
        for (auto& [number, piece] : chunks_) spare_.push_back(std::move(piece.bytes));
        chunks_.clear();
      }
      Piece piece{nullptr, 0};
      if (spare_.empty()) {
        piece.bytes = std::make_unique_for_overwrite<char[]>(kChunkBytes);
      } else {
        piece.bytes = std::move(spare_.back());
        spare_.pop_back();
      }
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
  std::vector<std::unique_ptr<char[]>> spare_;
  std::uint64_t lastChunk_ = 0;
  const Piece* last_ = nullptr;
  std::vector<std::unique_ptr<char[]>> kept_;
};

}  // namespace

bool ReadSource(const std::string& path, SourceBytes& out, std::string* error) {
  OpenFile file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
    *error = SystemError(path, errno);
    return false;
  }
  // A disk attached to this machine (over USB, or a loop device holding an
  // image) is a disk image, which the image module reads, read-only.
  if (S_ISBLK(st.st_mode)) {
    off_t size = ::lseek(file.fd, 0, SEEK_END);
    Ends ends;
    if (size < 0 || !ReadEnds(file.fd, static_cast<std::uint64_t>(size), ends)) {
      *error = SystemError(path, errno);
      return false;
    }
    out.image = SourceKindOf(ends.Head(), ends.Tail());
    if (out.image.type == SourceType::kNone) out.image = diskimage::DiskIn(diskimage::Container::kRaw);
    return true;
  }
  // A regular file that holds a hive is read piece by piece, as its keys
  // are needed; anything else is read whole first.
  if (S_ISREG(st.st_mode)) {
    // The first and last sector say whether it is a disk image, which the
    // image module reads itself, whatever its size.
    auto size = static_cast<std::uint64_t>(st.st_size);
    Ends ends;
    if (!ReadEnds(file.fd, size, ends)) {
      *error = SystemError(path, errno);
      return false;
    }
    out.image = SourceKindOf(ends.Head(), ends.Tail());
    if (out.image.type != SourceType::kNone) return true;
    // A file that does not begin like a registry file is not read further.
    if (!MayBeRegistry(ends.Head())) return true;
    if (size > kMaxRegistryFileBytes) {
      *error = TooLarge(path, std::to_string(st.st_size));
      return false;
    }
    if (LooksLikeHive(ends.Head())) {
      // Mapped up to a size: faster than any read for what a walk touches.
      // Beyond it, read piece by piece, so that a few keys of a huge file
      // cost a few pieces, not the pages mapping would bring in around them.
      if (size <= kMappedBytes) out.hive = MappedHiveBytes::Map(file.fd, size);
      if (!out.hive) out.hive = std::make_unique<FileHiveBytes>(file.Release(), size);
      return true;
    }
  }
  FileImage image;
  if (!ReadWholeFile(path, file.fd, st, image, error)) return false;
  if (image.size == 0) return true;
  if (LooksLikeHive(std::string_view(image.bytes.get(), image.size))) {
    out.hive = MemoryHiveBytes(std::move(image.bytes), image.size);
  } else {
    out.bytes = std::move(image.bytes);
    out.size = image.size;
  }
  return true;
}

}  // namespace sources
