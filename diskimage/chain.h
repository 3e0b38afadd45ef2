// The chain of files a VM disk stands on: a differencing or delta image,
// its parent, and so on to the base. Each link is opened as the kind its
// first bytes say, and every read the disk is asked for goes down the
// chain only as far as the first link that holds the bytes.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "diskimage/disk.h"
#include "diskimage/host_file.h"
#include "diskimage/image.h"
#include "diskimage/machine.h"

namespace diskimage {

// VirtualBox and VMware stop far sooner; a longer chain is damage, or made.
inline constexpr std::size_t kMaxChainLinks = 64;

// The files a chain has entered, child first.
class Chain {
 public:
  // False with error when path is already in the chain (the chain loops)
  // or the chain would grow past kMaxChainLinks.
  bool Enter(const std::string& path, std::string* error);
  const std::vector<std::string>& files() const { return files_; }

  // The files a machine's description gives its disk images, by UUID (as
  // UuidText writes one): a differencing VDI's parent is looked for there
  // before the folders VirtualBox keeps images in.
  void Know(std::map<std::string, std::string> media) { media_ = std::move(media); }
  const std::string* Known(const std::string& uuid) const {
    auto found = media_.find(uuid);
    return found == media_.end() ? nullptr : &found->second;
  }

 private:
  std::map<std::string, std::string> media_;
  std::vector<std::string> files_;
  std::vector<std::string> canonical_;
};

// The disk an image of kind holds, with the files it stands on.
std::unique_ptr<Disk> OpenChain(const std::string& path, ImageKind kind, Chain& chain, std::string* error);

// A host file's first and last 512 bytes (fewer where it is shorter), as
// DetectImage takes them. False with error where they cannot be read.
bool ReadEnds(const HostFile& file, std::string* head, std::string* tail, std::string* error);

// A parent named by a child, or a disk a machine names: its kind is told
// by its first bytes.
std::unique_ptr<Disk> OpenChainLink(const std::string& path, Chain& chain, std::string* error);

// Where a parent that a child names by its path on the machine that wrote
// it is looked for: beside the child, by the name's last part, as a
// machine's folder moves whole (and a Windows path means nothing here).
std::string ParentBeside(const std::string& child, const std::string& named);

// The readers of each container format, each a link of chain.
std::unique_ptr<Disk> OpenVdi(const std::string& path, Chain& chain, std::string* error);
std::unique_ptr<Disk> OpenQcow(const std::string& path, Chain& chain, std::string* error);
std::unique_ptr<Disk> OpenVhd(const std::string& path, Chain& chain, std::string* error);
std::unique_ptr<Disk> OpenVhdi(const std::string& path, Chain& chain, std::string* error);  // VHDX
std::unique_ptr<Disk> OpenVmdk(const std::string& path, Chain& chain, std::string* error);

// A qcow2 image's disk as its internal snapshot wanted (a name or an ID)
// saved it, and the snapshots it holds.
std::unique_ptr<Disk> OpenQcowSnapshot(const std::string& path, const std::string& wanted, Chain& chain,
                                       std::string* error);
bool QcowSnapshots(const std::string& path, std::vector<Snapshot>* out, std::string* error);

}  // namespace diskimage
