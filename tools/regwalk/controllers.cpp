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
using rules::Fate;
using Kind = rules::Fate::Kind;
using rules::kEveryEnumerator;

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
  rules::Explained explaining = rules::ExplainInstances(options.mode, DamagedPaths());
  int result = explaining.result;
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
