// --list-images: what a disk image or a VM holds, so that a user handed one
// need not guess selectors. The image module lists; this lays it out, a
// line of tab-separated fields per record, or a JSON object per line.
#include <cstdio>
#include <string>
#include <vector>

#include "bytes/bytes.h"
#include "imagemodule/image_module.h"
#include "sources/sources.h"
#include "tools/exit_status.h"
#include "tools/registry_cli.h"
#include "tools/regwalk/json.h"
#include "tools/regwalk/run.h"

namespace tools::regwalk {

namespace {

// A record as the boundary describes it; a number's field is written as a
// JSON number.
std::string JsonLine(const std::string& kind, const std::vector<std::string>& fields) {
  std::string line = "{\"record\":";
  AppendJsonString(line, kind);
  for (const KormaldRecordKind& record : kImageRecords) {
    if (kind != record.kind) continue;
    for (std::size_t i = 0; i < fields.size() && i < record.count; ++i) {
      line += ',';
      if (record.fields[i].number != 0) {
        AppendJsonString(line, record.fields[i].name);
        line += ':' + fields[i];
      } else {
        AppendUtf8Field(line, record.fields[i].name, fields[i]);
      }
    }
  }
  return line + "}\n";
}

// A field of a text line, escaped so that the line can be split and each
// field undone: a backslash, a tab and a line break as C writes them, and
// any other byte outside printable ASCII (a name from an image may hold
// any) as \xNN, as every message shows such a byte.
std::string Field(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '\t' || c == '\n' || c == '\r') {
      out += c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
    } else {
      bytes::AppendEscaped(out, std::string_view(&c, 1));
    }
  }
  return out;
}

}  // namespace

int RunListImages(const Options& options) {
  std::string error;
  std::vector<std::string> notes;
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
      &notes, &error);
  for (const std::string& note : notes) std::fprintf(stderr, "%s: %s\n", kProgram, note.c_str());
  bool written = FinishOutput(kProgram);
  if (!listed) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return kExitFailure;
  }
  return written ? kExitSuccess : kExitFailure;
}

}  // namespace tools::regwalk
