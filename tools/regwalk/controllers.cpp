// regwalk --controllers: every key kormald's walk offers its visitor under
// the class key, each with its fate, for a driver developer whose
// controller is missing from kormald's list: the row kormald prints, or
// why there is none. It walks as kormald walks, by the rules kormald lists
// by (tools/controllers.h); where the scope holds no device node naming an
// instance, the rest of HKEY_LOCAL_MACHINE\Enum is searched for those that
// do, and the option that would reach them is named.
#include <cstdio>
#include <string>
#include <vector>

#include "regwalk/regwalk.h"
#include "store/api.h"
#include "tools/controllers.h"
#include "tools/registry_cli.h"
#include "tools/regwalk/json.h"
#include "tools/regwalk/run.h"

namespace tools::regwalk {

namespace {

namespace rules = tools::controllers;

constexpr char kEveryEnumerator[] = "HKEY_LOCAL_MACHINE\\Enum";

// What became of one key kormald examines; --json names each as Name does.
enum class Kind { kListed, kNoPortDriver, kNoDeviceNode, kNotInScope, kUnreadable };

const char* Name(Kind kind) {
  switch (kind) {
    case Kind::kListed: return "listed";
    case Kind::kNoPortDriver: return "no_port_driver";
    case Kind::kNoDeviceNode: return "no_device_node";
    case Kind::kNotInScope: return "not_in_scope";
    case Kind::kUnreadable: return "unreadable";
  }
  return "";
}

struct Fate {
  std::string key;
  Kind kind;
  std::string row = {};         // listed: what kormald prints, without its line end
  std::string target = {};      // the driver key a device node must name
  std::string deviceNode = {};  // listed: the first in the scope that names it
  std::vector<std::string> elsewhere = {};  // not_in_scope: the device nodes outside it that do
  std::string why = {};                     // unreadable
};

// The device nodes under a walk that name target: the first, or all.
struct Search {
  const char* target;
  bool all;
  std::vector<std::string> found = {};
};

int FindNamingNode(HKEY key, const char* path, std::intptr_t user) {
  auto* search = reinterpret_cast<Search*>(user);
  if (!rules::NamesDriver(key, search->target)) return 0;
  search->found.emplace_back(path);
  return search->all ? 0 : 1;
}

struct Explaining {
  int mode;
  const char* scope;
  std::vector<Fate> fates = {};
  bool searchEndedEarly = false;
};

int Explain(HKEY key, const char* path, std::intptr_t user) {
  auto* e = reinterpret_cast<Explaining*>(user);
  rules::Instance instance;
  if (!rules::ReadInstance(key, &instance)) {
    e->fates.push_back({path, Kind::kNoPortDriver});
    return 0;
  }
  Fate fate{path, Kind::kListed};
  fate.target = rules::TargetOf(path, e->mode);
  Search first{fate.target.c_str(), false};
  int result = WalkKeys(e->scope, 1, FindNamingNode, reinterpret_cast<std::intptr_t>(&first));
  if (!first.found.empty()) {
    fate.row = rules::Row(path, instance);
    fate.row.pop_back();
    fate.deviceNode = first.found.front();
  } else if (result != 0) {
    fate.kind = Kind::kUnreadable;
    fate.why = "the search for " + fate.target + " under " + e->scope + " ended early: " + DescribeResult(result);
    e->searchEndedEarly = true;
  } else {
    Search all{fate.target.c_str(), true};
    if ((e->mode & rules::kModeAll) == 0) {
      WalkKeys(kEveryEnumerator, 1, FindNamingNode, reinterpret_cast<std::intptr_t>(&all));
    }
    fate.elsewhere = std::move(all.found);
    fate.kind = fate.elsewhere.empty() ? Kind::kNoDeviceNode : Kind::kNotInScope;
  }
  e->fates.push_back(std::move(fate));
  return 0;
}

// The options that reach every enumerator, in the order kormald reads them.
const char* Reaching(int mode) { return (mode & rules::kModeScsi) != 0 ? "-SCSI +ALL" : "+ALL"; }

std::string Text(const Fate& f, int mode, const char* scope) {
  std::string line = f.key + ": ";
  switch (f.kind) {
    case Kind::kListed:
      return line + "listed: " + f.row + " (named by " + f.deviceNode + ")";
    case Kind::kNoPortDriver:
      return line + "no row: no PortDriver value";
    case Kind::kUnreadable:
      return line + "no row: " + f.why;
    case Kind::kNoDeviceNode:
      return line + "no row: no device node under " + kEveryEnumerator + " names " + f.target;
    case Kind::kNotInScope:
      break;
  }
  line += "no row: no device node under " + std::string(scope) + " names " + f.target + "; ";
  for (std::size_t i = 0; i < f.elsewhere.size(); ++i) line += (i == 0 ? "" : ", ") + f.elsewhere[i];
  return line + (f.elsewhere.size() == 1 ? " does" : " do") + ", which " + Reaching(mode) + " reaches";
}

std::string Json(JsonText& json, const Fate& f, int mode, const char* scope) {
  std::string out = "{";
  json.Field(out, "key", f.key);
  out += ",\"fate\":\"" + std::string(Name(f.kind)) + "\"";
  if (!f.target.empty()) json.Field(out += ',', "target", f.target);
  if (f.kind == Kind::kListed) {
    json.Field(out += ',', "row", f.row);
    json.Field(out += ',', "device_node", f.deviceNode);
  }
  if (f.kind == Kind::kNotInScope || f.kind == Kind::kNoDeviceNode) json.Field(out += ',', "scope", scope);
  if (f.kind == Kind::kNotInScope) {
    out += ",\"elsewhere\":[";
    for (std::size_t i = 0; i < f.elsewhere.size(); ++i) {
      out += i == 0 ? "{" : ",{";
      json.Field(out, "path", f.elsewhere[i]);
      out += '}';
    }
    out += "],\"options\":\"" + std::string(Reaching(mode)) + "\"";
  }
  if (f.kind == Kind::kUnreadable) AppendJsonString(out += ",\"why\":", f.why);
  return out + "}\n";
}

}  // namespace

int RunControllers(const Options& options) {
  if (!OpenRegistryForTool(kProgram, options.files)) return kExitFailure;
  char scope[sizeof rules::kEnumeratorPathInitial];
  rules::EditEnumeratorPath(scope, options.mode);
  const char* classPath = rules::ClassPath(options.mode);
  Explaining explaining{options.mode, scope};
  int result = WalkKeys(classPath, 1, Explain, reinterpret_cast<std::intptr_t>(&explaining));
  // The keys kormald's walk could not read are named among the rest.
  std::string under = std::string(classPath) + "\\";
  for (const std::string& path : DamagedPaths()) {
    if (path.starts_with(under) || path + "\\" == under) {
      explaining.fates.push_back({path, Kind::kUnreadable, {}, {}, {}, {}, "the key could not be read"});
    }
  }
  std::unique_ptr<JsonText> json = options.json ? std::make_unique<JsonText>(TextCodepage()) : nullptr;
  for (const Fate& f : explaining.fates) {
    if (json) {
      std::string line = Json(*json, f, options.mode, scope);
      std::fwrite(line.data(), 1, line.size(), stdout);
    } else {
      PrintText(Text(f, options.mode, scope) + "\n");
    }
  }
  if (!FinishOutput(kProgram)) return kExitFailure;
  if (result != 0) {
    std::fprintf(stderr, "%s: the walk of %s ended early: %s; keys after it are missing\n", kProgram, classPath,
                 DescribeResult(result).c_str());
    return kExitIncomplete;
  }
  return explaining.searchEndedEarly || RegistryIncomplete() ? kExitIncomplete : kExitSuccess;
}

}  // namespace tools::regwalk
