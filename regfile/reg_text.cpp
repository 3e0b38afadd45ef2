#include "regfile/reg_text.h"

#include "bytes/bytes.h"
#include "regfile/regfile.h"

namespace regfile {

std::string Shown(std::string_view text) {
  constexpr std::size_t kWidth = 60;
  std::string out = "'";
  bytes::AppendEscaped(out, text.substr(0, kWidth));
  out += text.size() > kWidth ? "...'" : "'";
  return out;
}

bool ReadHeader(std::string_view line, std::string_view fileName, bool* unicode, std::string* error) {
  // Blanks before the header are allowed, as regedit allows them; blanks
  // after it, which regedit refuses, are taken too: files published for
  // Windows carry them, and people read those files with this tool.
  std::string_view header = TrimRight(TrimLeft(line));
  if (header == kHeader4) return true;
  if (header == kHeader5) {
    *unicode = true;
    return true;
  }
  std::string where = std::string(fileName) + ":1: ";
  if (header == kHeader31) {
    *error = where + "a Windows 3.1 registration file (REGEDIT): not read, only REGEDIT4 and version 5 exports";
  } else {
    *error = where + "not a registry export: expected REGEDIT4 or " + std::string(kHeader5) + ", found " +
             Shown(header);
  }
  return false;
}

Quoted ReadQuoted(std::string_view s, const store::LeadBytes& lead) {
  Quoted q;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    // A double-byte character is taken whole: its second byte may be '\\'
    // or '"'.
    if (lead.Pairs(s, i)) {
      q.text += c;
      q.text += s[++i];
      continue;
    }
    if (c == '"') {
      q.ok = true;
      q.rest = s.substr(i + 1);
      return q;
    }
    if (c != '\\') {
      q.text += c;
      continue;
    }
    if (++i >= s.size()) break;
    char e = s[i];
    switch (e) {
      case '\\':
      case '"':
        q.text += e;
        break;
      case 'n':
        q.text += '\n';
        break;
      case 'r':
        q.text += '\r';
        break;
      case '0':
        q.why = "holds the escape \\0, which Windows refuses";
        return q;
      default:
        if (q.unknownEscape.empty()) q.unknownEscape = s.substr(i - 1, 2);
        q.text += e;
        if (lead.Pairs(s, i)) q.text += s[++i];
        break;
    }
  }
  q.why = "has no closing quote";
  return q;
}

std::size_t LastClosingBracket(std::string_view p, const store::LeadBytes& lead) {
  if (lead.empty()) return p.rfind(']');
  std::size_t last = std::string_view::npos;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (lead.Pairs(p, i)) {
      ++i;
    } else if (p[i] == ']') {
      last = i;
    }
  }
  return last;
}

bool LooksLikeRegFile(std::string_view bytes) {
  if (bytes.starts_with(kUtf16Bom)) return true;
  if (bytes.starts_with(kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
  bytes = TrimLeft(bytes);
  // Windows 3.1's header is named when refused; other text that begins
  // "REGEDIT" is no export (regedit imports nothing from it).
  std::string_view after31 = bytes.starts_with(kHeader31) ? TrimLeft(bytes.substr(kHeader31.size())) : "-";
  bool header31 = after31.empty() || after31.front() == '\r' || after31.front() == '\n';
  return bytes.starts_with(kHeader4) || bytes.starts_with(kHeader5) || header31;
}

}  // namespace regfile
