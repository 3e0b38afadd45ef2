// regwalk --deleted: the key records a hive still holds in its free space,
// listed, with their values, or as a REGEDIT4 file.
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "bytes/bytes.h"
#include "hive/recover.h"
#include "pathpattern/pathpattern.h"
#include "regfile/regexport.h"
#include "regwalk/regwalk.h"
#include "sources/sources.h"
#include "store/api.h"
#include "store/key_names.h"
#include "tools/registry_cli.h"
#include "tools/regwalk/common.h"
#include "tools/regwalk/json.h"
#include "tools/regwalk/run.h"

namespace tools::regwalk {

using regfile::AppendFormattedValue;
using regfile::ExportableName;

namespace {

enum class RecoverOutput { kList, kValues, kExport, kJson };

struct HiveFinds {
  std::string path;     // where the hive lies: its file, or its place in an image
  std::string exportAs;  // its name in an export: the file's name, and #n for the n-th of that name
  hive::Recovery recovery;
  std::optional<sources::FileOrigin> origin = std::nullopt;  // its place in an image, as fields
};

// The live keys of one name, as a recovered record is shown beside them:
// listed in full with the first record of the name, and named by that
// record afterwards, so that records and live keys of one name, however
// many of each, cost a line apiece.
struct Candidates {
  std::vector<std::string> paths;
  std::string listedWith;  // "FILE: offset 0x..": the record they were listed with
};

// Live keys by folded name, for the names of recovered keys only.
using CandidatesByName = std::map<std::string, Candidates>;

int NoteCandidate(HKEY, const char* path, std::intptr_t user) {
  auto* candidates = reinterpret_cast<CandidatesByName*>(user);
  std::string_view name = path;
  name.remove_prefix(name.rfind('\\') + 1);
  auto it = candidates->find(store::FoldedName(name));
  if (it != candidates->end()) it->second.paths.push_back(path);
  return 0;
}

// A recovered name as a line of text can show it.
std::string Shown(std::string_view name) { return bytes::Escaped(name); }

// Whether a recovered name can name its key in an export.
bool UsableKeyName(std::string_view name) {
  return name.size() <= store::kMaxKeyNameBytes && store::PlausibleKeyName(name, store::InstalledRegistry().leadBytes());
}

// The name of a hive's file, without where it lies: after the last '/' of
// a path, or the last '\' of a place in an image.
std::string FileNameOf(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

// The key that holds a recovered key in an export: under
// HKEY_LOCAL_MACHINE\Recovered, which Windows 9x never writes, named by the
// hive's file (SYSTEM.DAT, and SYSTEM.DAT#2 for a second source of that
// name) and the record's offset, so no two collide and no name passes the
// 255 characters Windows 9x allows.
std::string ExportParent(std::string base, std::uint64_t offset) {
  for (char& c : base) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '\\') c = '_';
  }
  char at[24];
  std::snprintf(at, sizeof at, "@%" PRIx64, offset);
  std::size_t room = store::kMaxKeyNameBytes - std::string_view(at).size();
  if (base.size() > room) base.resize(room);
  return "HKEY_LOCAL_MACHINE\\Recovered\\" + base + at;
}

// The data as the store serves a live value: a string gets the terminator
// it was stored without.
std::string Served(const store::Value& value) {
  std::string data(value.data);
  if (store::AddsTerminator(value)) data += '\0';
  return data;
}

// ,"source":{...}: where in an image a hive lies, as fields for programs,
// each null where it does not apply.
void AppendOrigin(std::string& out, const sources::FileOrigin& origin) {
  out += ",\"source\":{";
  bool first = true;
  auto text = [&](const char* field, const std::string& value) {
    out += first ? "" : ",";
    first = false;
    if (value.empty()) {
      out.append(1, '"').append(field).append("\":null");
    } else {
      AppendUtf8Field(out, field, value);
    }
  };
  auto number = [&](const char* field, int value) {
    out.append(",\"").append(field).append("\":").append(value < 0 ? "null" : std::to_string(value));
  };
  text("image", origin.image);
  text("snapshot", origin.snapshot);
  number("disk", origin.disk);
  number("partition", origin.partition);
  text("path", origin.path);
  text("cab", origin.cab);
  text("selector", origin.selector);
  out += '}';
}

// A recovered record as a line of JSON: its file and offset, its name and
// values as stored, what was lost, and the live keys of its name.
std::string JsonLine(JsonText& json, const HiveFinds& hive, const hive::RecoveredKey& key, Candidates& candidates) {
  std::string out = "{";
  AppendUtf8Field(out, "file", hive.path);
  if (hive.origin) AppendOrigin(out, *hive.origin);
  out += ",\"offset\":\"" + bytes::Hex(key.offset) + "\",";
  json.Field(out, "name", key.name);
  out += ',';
  json.ValueList(out, key.values);
  if (!key.lost.empty()) AppendJsonString(out += ",\"lost\":", key.lost);
  if (candidates.paths.size() > 1 && !candidates.listedWith.empty()) {
    AppendUtf8Field(out += ',', "candidates_listed_with", candidates.listedWith);
  } else {
    out += ",\"candidates\":[";
    for (std::size_t i = 0; i < candidates.paths.size(); ++i) {
      if (i != 0) out += ',';
      out += '{';
      json.Field(out, "path", candidates.paths[i]);
      out += '}';
    }
    out += ']';
    if (candidates.listedWith.empty()) candidates.listedWith = hive.path + ": offset " + bytes::Hex(key.offset);
  }
  return out += "}\n";
}

// A recovered record as lines of text, or as an export's section.
std::string FormatKey(const HiveFinds& hive, const hive::RecoveredKey& key, Candidates& candidates,
                      RecoverOutput output) {
  std::string out;
  const char* comment = output == RecoverOutput::kExport ? "; " : "  ";
  const char* lineEnd = output == RecoverOutput::kExport ? "\r\n" : "\n";
  std::string offset = bytes::Hex(key.offset);
  if (output == RecoverOutput::kExport) out += lineEnd;
  if (output == RecoverOutput::kExport) out += "; ";
  out += hive.path + ": offset " + offset + ": " + Shown(key.name) + lineEnd;
  if (candidates.paths.size() > 1 && !candidates.listedWith.empty()) {
    out += comment + ("maybe an earlier version of one of the " + std::to_string(candidates.paths.size()) +
                      " live keys of this name listed with " + candidates.listedWith) + lineEnd;
  } else {
    for (const std::string& path : candidates.paths) out += comment + ("maybe an earlier version of " + path) + lineEnd;
    if (candidates.listedWith.empty()) candidates.listedWith = hive.path + ": offset " + offset;
  }
  if (!key.lost.empty()) out += comment + ("partial: " + key.lost) + lineEnd;
  if (output == RecoverOutput::kExport) {
    std::string section = ExportParent(hive.exportAs, key.offset);
    if (UsableKeyName(key.name)) {
      section += '\\';
      section += key.name;
    } else {
      out += "; its name cannot stand as a key name: the values sit in the key above";
      out += lineEnd;
    }
    out += "[" + section + "]" + lineEnd;
  }
  if (output != RecoverOutput::kList) {
    for (const store::Value& value : key.values) {
      // A value whose name cannot stand in an export is said, not written.
      if (output == RecoverOutput::kExport && !ExportableName(value.name)) {
        out += "; a value whose name holds a line break is left out\r\n";
        continue;
      }
      if (output == RecoverOutput::kValues) out += "  ";
      AppendFormattedValue(out, value.name, value.type, Served(value), output == RecoverOutput::kExport, nullptr,
                           store::InstalledRegistry().leadBytes());
      out += lineEnd;
    }
  }
  return out;
}

// Searches the hives of the sources. False after a message when a source
// cannot be read or none is a hive.
bool SearchHives(const Options& options, std::vector<HiveFinds>* hives) {
  std::string error;
  std::vector<sources::SourceFile> files;
  if (!ChooseSourceFiles(options.files, &files, &error)) {
    Say("%s: %s\n", kProgram, error.c_str());
    return false;
  }
  std::map<std::string, int> sourcesOfName;  // by folded file name
  bool searched = sources::ForEachHive(
      files,
      [&](const std::string& path, const sources::FileOrigin* origin, std::unique_ptr<hive::HiveBytes> bytes) {
        std::string name = FileNameOf(path);
        int n = ++sourcesOfName[store::FoldedName(name)];
        HiveFinds finds{path, n == 1 ? name : name + "#" + std::to_string(n), {}};
        if (origin != nullptr) finds.origin = *origin;
        if (!hive::RecoverDeletedKeys(std::move(bytes), path, &finds.recovery, &error)) return false;
        hives->push_back(std::move(finds));
        return true;
      },
      [&](const std::string& path, const std::string& why) {
        Say("%s: %s: not searched: %s\n", kProgram, path.c_str(), why.c_str());
      },
      &error);
  if (!searched) {
    Say("%s: %s\n", kProgram, error.c_str());
    return false;
  }
  if (hives->empty()) {
    Say("%s: --deleted searches hives, and no source is one (SYSTEM.DAT or USER.DAT)\n", kProgram);
    return false;
  }
  return true;
}

// Which recovered keys the pattern selects: it comes in the user's
// charset, and is matched against names in the registry's codepage.
struct Selection {
  const char* pattern = nullptr;
  std::string stored;
  bool matchesNothing = false;

  bool Selects(const hive::RecoveredKey& key) const {
    if (matchesNothing) return false;
    if (pattern == nullptr) return true;
    std::string name(key.name.substr(0, key.name.find('\0')));
    return (MatchPath(stored.c_str(), name.c_str(), MATCH_FOLD_CASE) & (MATCH_EXACT | MATCH_BELOW)) != 0;
  }
};

// The live keys of the selected records' names: the live registry is
// walked once, for those names only.
CandidatesByName FindCandidates(const std::vector<HiveFinds>& hives, const Selection& selection) {
  CandidatesByName candidates;
  for (const HiveFinds& hive : hives) {
    for (const hive::RecoveredKey& key : hive.recovery.keys) {
      if (selection.Selects(key)) candidates[store::FoldedName(key.name)];
    }
  }
  for (const char* root : {"HKEY_LOCAL_MACHINE", "HKEY_USERS"}) {
    WalkKeys(root, 1, NoteCandidate, reinterpret_cast<std::intptr_t>(&candidates));
  }
  return candidates;
}

// To standard output, or to put where it is given (text then in the
// registry's codepage, as it stands).
void PrintFinds(const std::vector<HiveFinds>& hives, const Selection& selection, CandidatesByName& candidates,
                RecoverOutput output, const regfile::ExportFile::Put* put) {
  std::unique_ptr<JsonText> json = output == RecoverOutput::kJson ? std::make_unique<JsonText>(TextCodepage()) : nullptr;
  // An export stays in the registry's codepage, as regedit reads it.
  std::optional<regfile::ExportFile> file;
  if (output == RecoverOutput::kExport) {
    (file = put != nullptr ? regfile::ExportFile(nullptr, *put) : StandardOutputExport(nullptr))->Begin();
  }
  for (const HiveFinds& hive : hives) {
    for (const hive::RecoveredKey& key : hive.recovery.keys) {
      if (!selection.Selects(key)) continue;
      Candidates& named = candidates[store::FoldedName(key.name)];
      if (file) {
        file->Add(FormatKey(hive, key, named, output));
        continue;
      }
      std::string text = json ? JsonLine(*json, hive, key, named) : FormatKey(hive, key, named, output);
      if (put != nullptr) {
        (*put)(text);
      } else if (json) {
        std::fwrite(text.data(), 1, text.size(), stdout);
      } else {
        PrintText(text);
      }
    }
  }
  if (file) file->End();
}

void ReportCounts(const std::vector<HiveFinds>& hives) {
  for (const HiveFinds& hive : hives) {
    std::size_t partial = 0;
    for (const hive::RecoveredKey& key : hive.recovery.keys) partial += key.lost.empty() ? 0 : 1;
    std::size_t found = hive.recovery.keys.size();
    Say("%s: %s: %zu free records: %zu decode as key records (%zu of them partial), %zu do not\n", kProgram,
        hive.path.c_str(), hive.recovery.freeRecords, found, partial, hive.recovery.freeRecords - found);
  }
}

}  // namespace

int RunDeleted(const Options& options) { return Deleted(options, nullptr); }

int Deleted(const Options& options, const regfile::ExportFile::Put* put) {
  RecoverOutput output = options.json                         ? RecoverOutput::kJson
                         : options.output == Output::kValues ? RecoverOutput::kValues
                         : options.output == Output::kExport ? RecoverOutput::kExport
                                                             : RecoverOutput::kList;
  if (options.pattern != nullptr && MatchPath(options.pattern, "", MATCH_FOLD_CASE) < 0) {
    Say("%s: the pattern does not compile\n", kProgram);
    return kExitFailure;
  }
  std::vector<HiveFinds> hives;
  if (!SearchHives(options, &hives)) return kExitFailure;
  if (!OpenRegistryForTool(kProgram, options.files)) return kExitFailure;
  Selection selection{options.pattern, {}, false};
  if (!ConvertPattern(kProgram, options.pattern, &selection.stored, &selection.matchesNothing)) return kExitFailure;
  CandidatesByName candidates = FindCandidates(hives, selection);
  PrintFinds(hives, selection, candidates, output, put);
  bool written = put != nullptr || FinishOutput(kProgram);
  ReportCounts(hives);
  return written ? kExitSuccess : kExitFailure;
}

}  // namespace tools::regwalk
