#include "diskimage/machine.h"

#include <algorithm>
#include <cstdint>
#include <tuple>

#include "bytes/bytes.h"
#include "diskimage/image.h"

namespace diskimage {

namespace {

std::string Lower(std::string_view s) {
  std::string lower(s);
  for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
  return lower;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// VMware's lines name = "value", the names in lower case (VMware reads
// them in any), the values with its escapes undone: |22 is '"', as '|'
// and two hex digits stand for any byte.
std::map<std::string, std::string> ReadLines(std::string_view text) {
  std::map<std::string, std::string> values;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    std::size_t eq = line.find('=');
    if (line.starts_with('#') || eq == std::string_view::npos) continue;
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    std::string plain = UndoHexEscapes(value, '|');
    values[Lower(Trim(line.substr(0, eq)))] = std::move(plain);
  }
  return values;
}

// Where a device node ("ide0:1", "scsi0:0") comes among a machine's
// disks: by bus, then controller, then unit. False for no disk node.
bool NodeOrder(std::string_view node, std::tuple<int, std::uint64_t, std::uint64_t>* order) {
  static constexpr std::string_view kBuses[] = {"ide", "sata", "scsi", "nvme"};
  for (int bus = 0; bus < 4; ++bus) {
    if (!node.starts_with(kBuses[bus])) continue;
    std::string_view rest = node.substr(kBuses[bus].size());
    std::size_t colon = rest.find(':');
    std::string_view controller = rest.substr(0, colon), unit = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
    auto number = [](std::string_view digits, std::uint64_t* out) {
      if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string_view::npos) return false;
      *out = std::stoull(std::string(digits));
      return true;
    };
    std::uint64_t c = 0, u = 0;
    if (!number(controller, &c) || !number(unit, &u)) return false;
    *order = {bus, c, u};
    return true;
  }
  return false;
}

// The files of nodes, ordered as NodeOrder orders their nodes.
std::vector<std::string> InNodeOrder(const std::map<std::string, std::string>& fileOfNode) {
  std::vector<std::pair<std::tuple<int, std::uint64_t, std::uint64_t>, std::string>> ordered;
  for (const auto& [node, file] : fileOfNode) {
    std::tuple<int, std::uint64_t, std::uint64_t> order;
    if (NodeOrder(node, &order) && !file.empty()) ordered.emplace_back(order, file);
  }
  std::sort(ordered.begin(), ordered.end());
  std::vector<std::string> files;
  for (auto& [order, file] : ordered) files.push_back(std::move(file));
  return files;
}

}  // namespace

std::vector<std::string> ParseVmxDisks(std::string_view vmx) {
  std::map<std::string, std::string> values = ReadLines(vmx);
  std::map<std::string, std::string> fileOfNode;
  for (const auto& [name, value] : values) {
    if (!name.ends_with(".filename")) continue;
    std::string node = name.substr(0, name.size() - 9);
    auto present = values.find(node + ".present");
    auto type = values.find(node + ".devicetype");
    // A CD-ROM drive's image, or a device left in the file but removed,
    // is no hard disk.
    if (present == values.end() || Lower(present->second) != "true") continue;
    if (type != values.end() && Lower(type->second).find("disk") == std::string::npos) continue;
    fileOfNode[node] = value;
  }
  return InNodeOrder(fileOfNode);
}

std::vector<Snapshot> ParseVmsd(std::string_view vmsd) {
  std::map<std::string, std::string> values = ReadLines(vmsd);
  // snapshotN.uid, snapshotN.displayName, snapshotN.diskM.fileName and
  // .node, by N in the order of the file's numbers.
  std::map<std::uint64_t, std::string> prefixes;
  for (const auto& [name, value] : values) {
    if (!name.starts_with("snapshot") || !name.ends_with(".uid")) continue;
    std::string_view digits = std::string_view(name).substr(8, name.size() - 12);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos) continue;
    prefixes[std::stoull(std::string(digits))] = name.substr(0, name.size() - 3);
  }
  std::vector<Snapshot> snapshots;
  for (const auto& [number, prefix] : prefixes) {
    Snapshot s{.id = values[prefix + "uid"], .name = values[prefix + "displayname"], .disks = {}};
    std::map<std::string, std::string> fileOfNode;
    for (auto it = values.lower_bound(prefix + "disk"); it != values.end() && it->first.starts_with(prefix + "disk"); ++it) {
      if (!it->first.ends_with(".node")) continue;
      std::string disk = it->first.substr(0, it->first.size() - 4);
      auto file = values.find(disk + "filename");
      if (file != values.end()) fileOfNode[Lower(it->second)] = file->second;
    }
    s.disks = InNodeOrder(fileOfNode);
    snapshots.push_back(std::move(s));
  }
  return snapshots;
}

namespace {

// An ID in any letter case, a UUID with or without its braces.
std::string BareId(std::string id) {
  id = Lower(id);
  if (id.size() > 2 && id.front() == '{' && id.back() == '}') id = id.substr(1, id.size() - 2);
  return id;
}

std::string Shown(const StateWanted& wanted) {
  return (wanted.byId ? "the snapshot of ID '" : "snapshot '") + bytes::Escaped(wanted.text) + "'";
}

}  // namespace

StateWanted ChoiceOf(const std::vector<Snapshot>& all, const Snapshot& s) {
  auto named = std::count_if(all.begin(), all.end(), [&](const Snapshot& other) { return other.name == s.name; });
  if (!s.name.empty() && named == 1) return {s.name, false};
  return {s.id, true};
}

std::string SnapshotChoices(const std::vector<Snapshot>& snapshots, const std::string& source,
                            const std::string* onlyNamed) {
  std::string lines;
  for (const Snapshot& s : snapshots) {
    if (onlyNamed != nullptr && s.name != *onlyNamed) continue;
    StateWanted chosen = ChoiceOf(snapshots, s);
    ImageSelector selector{.image = source};
    (chosen.byId ? selector.snapshotId : selector.snapshot) = chosen.text;
    lines += "\n  " + bytes::Escaped(s.name) + "   (ID " + bytes::Escaped(s.id) + "; choose it with " +
             FormatImageSelector(selector) + ")";
  }
  return lines;
}

const Snapshot* FindSnapshot(const std::vector<Snapshot>& snapshots, const StateWanted& wanted,
                             const std::string& source, std::string* error) {
  std::vector<const Snapshot*> found;
  for (const Snapshot& s : snapshots) {
    if (!wanted.byId && s.name == wanted.text) found.push_back(&s);
  }
  // A name is looked for first; where none has it, an ID.
  if (found.empty()) {
    for (const Snapshot& s : snapshots) {
      if (!s.id.empty() && BareId(s.id) == BareId(wanted.text)) found.push_back(&s);
    }
  }
  if (found.size() == 1) return found.front();
  if (found.empty()) {
    *error = source + ": no snapshot " + (wanted.byId ? "has the ID '" : "is named '") + bytes::Escaped(wanted.text) +
             (wanted.byId ? "'; " : "' or has that ID; ") +
             (snapshots.empty() ? std::string("it holds none") : "its snapshots:" + SnapshotChoices(snapshots, source));
  } else if (!wanted.byId && found.front()->name == wanted.text) {
    *error = source + ": " + std::to_string(found.size()) + " snapshots are named '" + bytes::Escaped(wanted.text) +
             "'; choose one by its ID:" + SnapshotChoices(snapshots, source, &wanted.text);
  } else {
    // IDs are each snapshot's own: two alike are damage, and neither is
    // guessed at.
    *error = source + ": " + std::to_string(found.size()) + " snapshots have the ID '" + bytes::Escaped(wanted.text) +
             "': the snapshot table is damaged, and neither is read";
  }
  return nullptr;
}

bool ChooseState(const Machine& machine, const StateWanted& wanted, const std::string& source,
                 std::vector<std::string>* disks, std::string* error) {
  if (wanted.current()) {
    *disks = machine.current;
  } else {
    const Snapshot* s = FindSnapshot(machine.snapshots, wanted, source, error);
    if (s == nullptr) return false;
    *disks = s->disks;
  }
  if (disks->empty()) {
    *error = source + ": " + (wanted.current() ? "its current state" : Shown(wanted)) + " has no hard disk";
    return false;
  }
  return true;
}

}  // namespace diskimage
