#include "diskimage/chain.h"

#include <algorithm>
#include <filesystem>

#include "diskimage/host_file.h"
#include "diskimage/host_path.h"
#include "diskimage/messages.h"

namespace diskimage {

bool Chain::Enter(const std::string& path, std::string* error) {
  std::error_code ec;
  std::string canonical = HostString(std::filesystem::weakly_canonical(std::filesystem::absolute(HostPath(path)), ec));
  if (ec) canonical = path;
  if (std::find(canonical_.begin(), canonical_.end(), canonical) != canonical_.end()) {
    *error = files_.front() + ": its chain of parents loops back to " + Named(path);
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

namespace {

// The places a name is looked for, in LocateParent's order.
std::vector<std::string> PlacesOf(const std::filesystem::path& folder, const std::string& named) {
  std::vector<std::string> places;
  if (named.empty()) return places;
#if defined(_WIN32)
  bool hostPath = true;
#else
  // A Windows path (a drive, or its separator) names no file here.
  bool hostPath = named.find('\\') == std::string::npos && !(named.size() > 1 && named[1] == ':');
#endif
  if (hostPath) places.push_back(HostRooted(named) ? named : HostString(folder / HostPath(named)));
  std::string beside = HostString(folder / HostPath(named.substr(named.find_last_of("\\/") + 1)));
  if (std::find(places.begin(), places.end(), beside) == places.end()) places.push_back(beside);
  return places;
}

}  // namespace

std::string LocateParent(const std::string& child, const std::vector<std::string>& names, std::string_view what,
                         std::string* error) {
  std::filesystem::path folder = HostPath(child).parent_path();
  for (const std::string& named : names) {
    for (const std::string& place : PlacesOf(folder, named)) {
      if (HostExists(place)) return place;
    }
  }
  std::string looked;
  std::vector<std::string> places = names.empty() ? std::vector<std::string>{} : PlacesOf(folder, names.front());
  for (std::size_t i = 0; i < places.size(); ++i) {
    looked += (i == 0 ? "" : i + 1 == places.size() ? " and " : ", ") + Named(places[i]);
  }
  *error = child + ": its " + std::string(what) + " " + (names.empty() ? "" : Named(names.front())) +
           " is missing (looked for at " + looked + ")";
  return {};
}

std::unique_ptr<Disk> OpenChain(const std::string& path, Container format, Chain& chain, std::string* error) {
  switch (format) {
    case Container::kQcow:
    case Container::kQcow2: return OpenQcow(path, chain, error);
    case Container::kVdi: return OpenVdi(path, chain, error);
    case Container::kVhd: return OpenVhd(path, chain, error);
    case Container::kVmdk: return OpenVmdk(path, chain, error);
    case Container::kRaw:
      if (!chain.Enter(path, error)) return nullptr;
      return OpenRawDisk(path, error);
    case Container::kE01:
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
    *error = chain.files().empty() ? Named(path) + ": " + *error
                                   : chain.files().back() + ": its parent " + Named(path) + " " + *error;
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
