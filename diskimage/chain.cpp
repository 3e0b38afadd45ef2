#include "diskimage/chain.h"

#include <algorithm>
#include <filesystem>

#include "diskimage/host_file.h"

namespace diskimage {

bool Chain::Enter(const std::string& path, std::string* error) {
  std::error_code ec;
  std::string canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(path), ec).string();
  if (ec) canonical = path;
  if (std::find(canonical_.begin(), canonical_.end(), canonical) != canonical_.end()) {
    *error = files_.front() + ": its chain of parents loops back to " + path;
    return false;
  }
  if (files_.size() == kMaxChainLinks) {
    *error = files_.front() + ": its chain of parents goes on past " + std::to_string(kMaxChainLinks) + " files";
    return false;
  }
  files_.push_back(path);
  canonical_.push_back(std::move(canonical));
  return true;
}

std::string ParentBeside(const std::string& child, const std::string& named) {
  std::filesystem::path folder = std::filesystem::path(child).parent_path();
  // A relative name with folders in it ("../Win98.vmdk") is taken as it
  // stands when it leads somewhere; a Windows separator never is.
  bool relative = !named.empty() && named.find_first_of("\\:") == std::string::npos && named.front() != '/';
  std::error_code ec;
  if (relative && std::filesystem::exists(folder / named, ec)) return (folder / named).string();
  return (folder / named.substr(named.find_last_of("\\/") + 1)).string();
}

std::unique_ptr<Disk> OpenChain(const std::string& path, Container format, Chain& chain, std::string* error) {
  switch (format) {
    case Container::kQcow:
    case Container::kQcow2: return OpenQcow(path, chain, error);
    case Container::kVdi: return OpenVdi(path, chain, error);
    case Container::kVhd: return OpenVhd(path, chain, error);
    case Container::kRaw:
      if (!chain.Enter(path, error)) return nullptr;
      return OpenRawDisk(path, error);
    case Container::kE01:
    case Container::kVmdk:
    case Container::kVhdx: break;
  }
  const ContainerFormat& row = FormatOf(format);
  if (chain.libraries_ == nullptr) {
    *error = path + ": a " + std::string(row.name) + " image, which is read through " + std::string(row.library) +
             ", and this reader has none";
    return nullptr;
  }
  return chain.libraries_(format, path, chain, error);
}

bool ReadEnds(const HostFile& file, std::string* head, std::string* tail, std::string* error) {
  head->assign(512, '\0');
  tail->assign(512, '\0');
  std::int64_t got = file.ReadAt(0, head->data(), head->size(), error);
  std::int64_t gotTail = file.Size() >= 512 ? file.ReadAt(file.Size() - 512, tail->data(), tail->size(), error) : 0;
  if (got < 0 || gotTail < 0) return false;
  head->resize(static_cast<std::size_t>(got));
  tail->resize(static_cast<std::size_t>(gotTail));
  return true;
}

bool DetectFile(const std::string& path, SourceKind* kind, std::string* error) {
  HostFile file;
  std::string head, tail;
  if (!file.Open(path, error) || !ReadEnds(file, &head, &tail, error)) return false;
  *kind = DetectSource(head, tail);
  return true;
}

std::unique_ptr<Disk> OpenChainLink(const std::string& path, Chain& chain, std::string* error) {
  HostFile file;
  if (!file.Open(path, error)) {
    // The first link is a machine's disk: no child names it.
    *error = chain.files().empty() ? path + ": " + *error : chain.files().back() + ": its parent " + path + " " + *error;
    return nullptr;
  }
  std::string head, tail;
  if (!ReadEnds(file, &head, &tail, error)) return nullptr;
  // A parent no format claims is read as a raw disk, as QEMU reads a
  // backing file it cannot probe.
  SourceKind kind = DetectSource(head, tail);
  return OpenChain(path, kind.type == SourceType::kDisk ? kind.container : Container::kRaw, chain, error);
}

}  // namespace diskimage
