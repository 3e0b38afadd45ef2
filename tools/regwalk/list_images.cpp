// --list-images: what a disk image or a VM holds, so that a user handed one
// need not guess selectors. The image module lists; this lays it out, a
// line of tab-separated fields per record, or a JSON object per line.
#include <cstdio>
#include <string>
#include <vector>

#include "sources/sources.h"
#include "tools/exit_status.h"
#include "tools/registry_cli.h"
#include "tools/regwalk/json.h"
#include "tools/regwalk/run.h"

namespace tools::regwalk {

namespace {

// The fields of each kind of record, as the usage text names them; a
// number's field is written as a JSON number.
struct Columns {
  const char* kind;
  std::vector<const char*> names;
  std::vector<bool> numeric;
};

const Columns kColumns[] = {
    {"file", {"disk", "path", "format"}, {true, false, false}},
    {"snapshot", {"id", "name", "selector"}, {false, false, false}},
    {"partition", {"disk", "number", "type", "bytes", "letter"}, {true, true, false, true, false}},
    {"windows", {"disk", "partition", "directory", "selector"}, {true, true, false, false}},
};

std::string JsonLine(const std::string& kind, const std::vector<std::string>& fields) {
  std::string line = "{\"record\":";
  AppendJsonString(line, kind);
  for (const Columns& c : kColumns) {
    if (kind != c.kind) continue;
    for (std::size_t i = 0; i < fields.size() && i < c.names.size(); ++i) {
      line += ',';
      if (c.numeric[i]) {
        AppendJsonString(line, c.names[i]);
        line += ':' + fields[i];
      } else {
        AppendUtf8Field(line, c.names[i], fields[i]);
      }
    }
  }
  return line + "}\n";
}

// A field of a text line: a tab or a line break in it (a snapshot's name
// may hold one) would break the columns, so they are written as C does.
std::string Field(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\t' || c == '\n' || c == '\r') {
      out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

int RunListImages(const Options& options) {
  std::string error;
  bool listed = sources::ListImageSource(
      options.image,
      [&](const std::string& kind, const std::vector<std::string>& fields) {
        std::string line = kind;
        if (options.json) {
          line = JsonLine(kind, fields);
        } else {
          for (const std::string& f : fields) line += '\t' + Field(f);
          line += '\n';
        }
        std::fwrite(line.data(), 1, line.size(), stdout);
      },
      &error);
  bool written = FinishOutput(kProgram);
  if (!listed) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return kExitFailure;
  }
  return written ? kExitSuccess : kExitFailure;
}

}  // namespace tools::regwalk
