// The chain of files a VM disk stands on: a differencing or delta image,
// its parent, and so on to the base. Each link is opened as the container
// format its first bytes say (formats.h), and every read the disk is asked
// for goes down the chain only as far as the first link that holds the
// bytes. The formats an outside library reads are opened by the image
// module, which hands the chain its opener of them.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diskimage/disk.h"
#include "diskimage/formats.h"
#include "diskimage/host_file.h"
#include "diskimage/machine.h"

namespace diskimage {

// VirtualBox and VMware stop far sooner; a longer chain is damage, or made.
inline constexpr std::size_t kMaxChainLinks = 64;

class Chain;

// Opens a link in a format the table gives an outside library to read.
using LibraryOpener = std::unique_ptr<Disk> (*)(Container format, const std::string& path, Chain& chain,
                                                std::string* error);

// The files a chain has entered, child first.
class Chain {
 public:
  // Without libraries, a link in a format only a library reads is refused
  // by name.
  explicit Chain(LibraryOpener libraries = nullptr) : libraries_(libraries) {}

  // False with error when path is already in the chain (the chain loops)
  // or the chain would grow past kMaxChainLinks.
  bool Enter(const std::string& path, std::string* error);
  const std::vector<std::string>& files() const { return files_; }

  // What a link's reader found wrong but read all the same (a checksum that
  // disagrees), a message each, for the user.
  void Note(std::string message) { notes_.push_back(std::move(message)); }
  const std::vector<std::string>& notes() const { return notes_; }

  // The files a machine's description gives its disk images, by UUID (as
  // UuidText writes one): a differencing VDI's parent is looked for there
  // before the folders VirtualBox keeps images in.
  void Know(std::map<std::string, std::string> media) { media_ = std::move(media); }
  const std::string* Known(const std::string& uuid) const {
    auto found = media_.find(uuid);
    return found == media_.end() ? nullptr : &found->second;
  }

 private:
  friend std::unique_ptr<Disk> OpenChain(const std::string&, Container, Chain&, std::string*);
  LibraryOpener libraries_;
  std::map<std::string, std::string> media_;
  std::vector<std::string> files_;
  std::vector<std::string> canonical_;
  std::vector<std::string> notes_;
};

// The disk a file in format holds, with the files it stands on.
std::unique_ptr<Disk> OpenChain(const std::string& path, Container format, Chain& chain, std::string* error);

// A host file's first and last 512 bytes (fewer where it is shorter), as
// DetectSource takes them. False with error where they cannot be read.
bool ReadEnds(const HostFile& file, std::string* head, std::string* tail, std::string* error);

// What the host file at path is, by its first and last bytes, as
// DetectSource says. False with error ("cannot be opened: ...") where they
// cannot be read.
bool DetectFile(const std::string& path, SourceKind* kind, std::string* error);

// A parent named by a child, or a disk a machine names: its format is
// told by its first bytes.
std::unique_ptr<Disk> OpenChainLink(const std::string& path, Chain& chain, std::string* error);

// Where the file a child names as its parent (what: "parent", or qcow2's
// "backing file") lies, the same for every format that names it by path:
// each name as written (from the child's folder where it is relative),
// then by its last part beside the child, as a machine's folder moves
// whole and a path the machine that wrote it knew may mean nothing here.
// The first place found, or empty with error naming the first name and
// every place it was looked for.
std::string LocateParent(const std::string& child, const std::vector<std::string>& names, std::string_view what,
                         std::string* error);

// The readers of our own, each a link of chain.
std::unique_ptr<Disk> OpenVdi(const std::string& path, Chain& chain, std::string* error);
std::unique_ptr<Disk> OpenQcow(const std::string& path, Chain& chain, std::string* error);  // qcow and qcow2
std::unique_ptr<Disk> OpenVhd(const std::string& path, Chain& chain, std::string* error);
std::unique_ptr<Disk> OpenVmdk(const std::string& path, Chain& chain, std::string* error);

// A qcow2 image's disk as its internal snapshot wanted saved it, and the
// snapshots it holds.
std::unique_ptr<Disk> OpenQcowSnapshot(const std::string& path, const StateWanted& wanted, Chain& chain,
                                       std::string* error);
bool QcowSnapshots(const std::string& path, std::vector<Snapshot>* out, std::string* error);

}  // namespace diskimage
