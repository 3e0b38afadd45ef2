#include "regfile/regfile.h"

#include <array>
#include <cstdint>
#include <optional>

#include "text/text.h"

namespace regfile {

using store::Registry;
using store::Root;
using text::TextConverter;

namespace {

const store::LeadBytes kNoLeadBytes;
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Bom = "\xFF\xFE";

struct RootName {
  std::string_view longName;
  std::string_view shortName;
  Root root;
};
constexpr std::array<RootName, 6> kRootNames{{
    {"HKEY_LOCAL_MACHINE", "HKLM", Root::kLocalMachine},
    {"HKEY_USERS", "HKU", Root::kUsers},
    {"HKEY_CLASSES_ROOT", "HKCR", Root::kClassesRoot},
    {"HKEY_CURRENT_USER", "HKCU", Root::kCurrentUser},
    {"HKEY_CURRENT_CONFIG", "HKCC", Root::kCurrentConfig},
    {"HKEY_DYN_DATA", "HKDD", Root::kDynData},
}};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}
std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16LE to UTF-8. On a lone surrogate returns the index of its code unit.
std::optional<std::size_t> Utf16ToUtf8(std::string_view bytes, std::string& out) {
  std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8;
  };
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      return i;
    } else {
      AppendUtf8(out, u);
    }
  }
  return std::nullopt;
}

class Loader {
 public:
  Loader(Registry& reg, std::string_view fileName, std::string* error, TextConverter* toCodepage)
      : reg_(reg), fileName_(fileName), error_(error), toCodepage_(toCodepage) {}

  bool Unicode() const { return unicode_; }

  bool Run(std::string_view bytes) {
    std::string decoded;
    if (bytes.starts_with(kUtf16Bom)) {
      bytes.remove_prefix(kUtf16Bom.size());
      if (bytes.size() % 2 != 0) return FailAt(CountLines(bytes, bytes.size()), "file ends inside a UTF-16 character");
      if (auto bad = Utf16ToUtf8(bytes, decoded)) {
        return FailAt(CountLines(bytes, *bad * 2), "invalid UTF-16 (unpaired surrogate)");
      }
      bytes = decoded;
      unicode_ = true;
    } else if (bytes.starts_with(kUtf8Bom)) {
      bytes.remove_prefix(kUtf8Bom.size());
      unicode_ = true;
    }
    return Lines(bytes);
  }

 private:
  // Line number of a byte offset in UTF-16 text, for errors found while
  // decoding it.
  static std::size_t CountLines(std::string_view utf16, std::size_t offset) {
    std::size_t line = 1;
    for (std::size_t i = 0; i + 1 < offset && i + 1 < utf16.size(); i += 2) {
      if (utf16[i] == '\n' && utf16[i + 1] == '\0') ++line;
    }
    return line;
  }

  bool FailAt(std::size_t line, std::string_view what) {
    *error_ = std::string(fileName_) + ":" + std::to_string(line) + ": " + std::string(what);
    return false;
  }
  bool Fail(std::string_view what) { return FailAt(line_, what); }
  bool Fail(std::string_view what, std::string_view text) {
    std::string shown(text.substr(0, 60));
    return Fail(std::string(what) + " '" + shown + (text.size() > 60 ? "...'" : "'"));
  }

  // Takes the next physical line, without its line end.
  bool NextLine(std::string_view& rest, std::string_view& line) {
    if (rest.empty()) return false;
    std::size_t end = rest.find('\n');
    line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    ++line_;
    return true;
  }

  bool Lines(std::string_view text) {
    std::string_view line;
    if (!NextLine(text, line)) return FailAt(1, "empty file: expected REGEDIT4 or " + std::string(kHeader5));
    std::string_view header = TrimRight(line);
    if (header == kHeader5) {
      unicode_ = true;
    } else if (header != kHeader4) {
      return Fail("not a registry export: expected REGEDIT4 or " + std::string(kHeader5) + ", found", header);
    }
    while (NextLine(text, line)) {
      if (line.find('\0') != std::string_view::npos) return Fail("NUL byte in line");
      std::string_view body = TrimLeft(line);
      if (body.empty() || body.front() == ';' || body.front() == '#') continue;
      if (body.front() == '[') {
        if (!Section(body)) return false;
      } else if (body.front() == '"' || body.front() == '@') {
        std::size_t startLine = line_;
        std::string logical;
        if (!LogicalLine(body, text, logical)) return false;
        std::size_t endLine = line_;
        line_ = startLine;
        if (!ValueLine(logical)) return false;
        line_ = endLine;
      } else {
        return Fail("unexpected text", body);
      }
    }
    return true;
  }

  // A value line with its continuation lines: hex data may go on over lines
  // that end with a backslash. Each line is appended once, so a value
  // continued over many lines costs its length, not its length squared.
  bool LogicalLine(std::string_view first, std::string_view& rest, std::string& logical) {
    logical = first;
    if (!IsHexValue(first)) return true;
    while (true) {
      std::string_view tail = TrimRight(logical);
      if (!tail.ends_with('\\')) return true;
      logical.resize(tail.size() - 1);
      std::string_view line;
      if (!NextLine(rest, line)) return Fail("file ends inside a continued value");
      if (line.find('\0') != std::string_view::npos) return Fail("NUL byte in line");
      logical += TrimLeft(line);
    }
  }

  // Whether a value line's data is hex: only those continue over lines.
  bool IsHexValue(std::string_view logical) const {
    std::size_t eq = DataStart(logical);
    if (eq == std::string_view::npos) return false;
    std::string_view data = TrimLeft(logical.substr(eq));
    return data.size() >= 4 && store::SameName(data.substr(0, 3), "hex") && (data[3] == ':' || data[3] == '(');
  }

  // Where the data begins, past the name and '=', or npos.
  std::size_t DataStart(std::string_view logical) const {
    const store::LeadBytes& lead = QuotedLead();
    std::size_t i = 0;
    if (logical.front() == '@') {
      i = 1;
    } else {
      for (i = 1; i < logical.size() && logical[i] != '"'; ++i) {
        if (logical[i] == '\\' || lead[static_cast<unsigned char>(logical[i])]) ++i;
      }
      if (i >= logical.size()) return std::string_view::npos;
      ++i;
    }
    while (i < logical.size() && IsBlank(logical[i])) ++i;
    if (i >= logical.size() || logical[i] != '=') return std::string_view::npos;
    return i + 1;
  }

  bool Section(std::string_view body) {
    std::size_t close = body.rfind(']');
    if (close == std::string_view::npos) return Fail("key name without closing ']'", body);
    if (!TrimRight(body.substr(close + 1)).empty()) return Fail("text after the key name", body.substr(close + 1));
    std::string_view path = body.substr(1, close - 1);
    bool remove = path.starts_with('-');
    if (remove) path.remove_prefix(1);
    // A version 5 file's text is UTF-8 here, whose characters never hold a
    // '\' byte; a REGEDIT4 file's is the codepage's, perhaps double-byte.
    const store::LeadBytes& lead = QuotedLead();
    std::size_t cut = store::FindSeparator(path, lead);
    std::string_view rootName = path.substr(0, cut);
    const RootName* root = nullptr;
    for (const RootName& r : kRootNames) {
      if (store::SameName(rootName, r.longName) || store::SameName(rootName, r.shortName)) root = &r;
    }
    if (root == nullptr) return Fail("unknown root key", rootName);
    std::string_view rest = cut == std::string_view::npos ? std::string_view{} : path.substr(cut + 1);
    if (cut != std::string_view::npos) {
      int depth = 1;
      for (std::size_t from = 0;; ++depth) {
        std::size_t next = store::FindSeparator(rest, lead, from);
        if (next == from || (next == std::string_view::npos && from == rest.size())) {
          return Fail("empty key name in", path);
        }
        std::string_view name = rest.substr(from, next == std::string_view::npos ? next : next - from);
        if (Characters(name) > store::kMaxKeyNameBytes) {
          return Fail("key name longer than " + std::to_string(store::kMaxKeyNameBytes) + " characters", name);
        }
        if (next == std::string_view::npos) break;
        from = next + 1;
      }
      if (depth > store::kMaxKeyDepth) return Fail("keys nested deeper than " + std::to_string(store::kMaxKeyDepth) + " levels");
    }
    if (remove) {
      if (rest.empty()) return Fail("a root key cannot be deleted", path);
      std::string inCodepage = Stored(rest);
      std::uint32_t id = reg_.FindPath(reg_.RootNode(root->root, false), inCodepage);
      if (id != store::kNoNode) reg_.RemoveSubtree(id);
      current_ = store::kNoNode;
      inDeleted_ = true;
      return true;
    }
    std::uint32_t at = reg_.RootNode(root->root, true);
    while (!rest.empty()) {
      std::size_t next = store::FindSeparator(rest, lead);
      at = reg_.FindOrAddChild(at, Stored(rest.substr(0, next)));
      rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next + 1);
    }
    current_ = at;
    inDeleted_ = false;
    return true;
  }

  // Text of a version 5 export, held as UTF-8 once decoded, in the form the
  // store keeps: the registry's codepage, as Windows' A functions give it.
  std::string Stored(std::string_view text) const {
    if (!unicode_ || toCodepage_ == nullptr) return std::string(text);
    return toCodepage_->Convert(text);
  }

  // The lead bytes quoted text and paths are read with: the registry's, in
  // an 8-bit export; none in a version 5 one, held here as UTF-8.
  const store::LeadBytes& QuotedLead() const { return unicode_ ? kNoLeadBytes : reg_.leadBytes(); }

  // A name's length as Windows counts it: bytes in an 8-bit export,
  // characters in a Unicode one (held here as UTF-8).
  std::size_t Characters(std::string_view name) const {
    if (!unicode_) return name.size();
    std::size_t n = 0;
    for (unsigned char c : name) n += (c & 0xC0) != 0x80 ? 1 : 0;
    return n;
  }

  // Reads a quoted text from s (at its opening quote) with \\ and \"
  // escapes; advances s past the closing quote.
  bool Quoted(std::string_view& s, std::string& out, std::string_view what) {
    const store::LeadBytes& lead = QuotedLead();
    for (std::size_t i = 1; i < s.size(); ++i) {
      char c = s[i];
      // A double-byte character is taken whole: its second byte may be '\\'.
      if (lead[static_cast<unsigned char>(c)] && i + 1 < s.size()) {
        out += c;
        out += s[++i];
        continue;
      }
      if (c == '"') {
        s.remove_prefix(i + 1);
        return true;
      }
      if (c == '\\') {
        if (i + 1 >= s.size()) break;
        char e = s[++i];
        if (e != '\\' && e != '"') return Fail("bad escape in " + std::string(what), s.substr(i - 1, 2));
        out += e;
      } else {
        out += c;
      }
    }
    return Fail("unterminated " + std::string(what), s);
  }

  // Nothing but blanks or a comment may follow a value's data.
  bool EndOfData(std::string_view rest) {
    rest = TrimLeft(rest);
    if (!rest.empty() && rest.front() != ';') return Fail("unexpected text after the value", rest);
    return true;
  }

  bool ValueLine(std::string_view s) {
    std::string name;
    if (s.front() == '@') {
      s.remove_prefix(1);
    } else if (!Quoted(s, name, "value name")) {
      return false;
    }
    if (Characters(name) > store::kMaxValueNameBytes) {
      return Fail("value name longer than " + std::to_string(store::kMaxValueNameBytes) + " characters", name);
    }
    s = TrimLeft(s);
    if (!s.starts_with('=')) return Fail("expected '=' after the value name, found", s);
    s = TrimLeft(s.substr(1));
    if (current_ == store::kNoNode) {
      return Fail(inDeleted_ ? "value under a deleted key" : "value before any key");
    }
    name = Stored(name);
    std::string_view keptName = reg_.Keep(name);

    if (s.starts_with('-')) {
      if (!EndOfData(s.substr(1))) return false;
      reg_.DeleteValue(current_, name);
      return true;
    }
    if (s.starts_with('"')) {
      std::string text;
      if (!Quoted(s, text, "string") || !EndOfData(s)) return false;
      text = Stored(text);
      text += '\0';
      reg_.SetValue(current_, keptName, REG_SZ, reg_.Keep(text));
      return true;
    }
    if (s.size() >= 6 && store::SameName(s.substr(0, 6), "dword:")) {
      s.remove_prefix(6);
      std::uint32_t number = 0;
      std::size_t digits = 0;
      while (digits < s.size() && HexDigit(s[digits]) >= 0) {
        number = number << 4 | static_cast<std::uint32_t>(HexDigit(s[digits]));
        ++digits;
      }
      if (digits == 0 || digits > 8) return Fail("dword needs 1 to 8 hex digits", s);
      if (!EndOfData(s.substr(digits))) return false;
      char bytes[4] = {static_cast<char>(number), static_cast<char>(number >> 8),
                       static_cast<char>(number >> 16), static_cast<char>(number >> 24)};
      reg_.SetValue(current_, keptName, REG_DWORD, reg_.Keep(std::string_view(bytes, 4)));
      return true;
    }
    if (s.size() >= 3 && store::SameName(s.substr(0, 3), "hex")) return HexValue(s.substr(3), keptName);
    return Fail("unrecognised value data", s);
  }

  bool HexValue(std::string_view s, std::string_view name) {
    std::uint32_t type = REG_BINARY;
    if (s.starts_with('(')) {
      std::size_t close = s.find(')');
      std::string_view digits = s.substr(1, close == std::string_view::npos ? 0 : close - 1);
      if (close == std::string_view::npos || digits.empty() || digits.size() > 8) {
        return Fail("bad value type in", s);
      }
      type = 0;
      for (char c : digits) {
        if (HexDigit(c) < 0) return Fail("bad value type in", s);
        type = type << 4 | static_cast<std::uint32_t>(HexDigit(c));
      }
      s.remove_prefix(close + 1);
    }
    if (!s.starts_with(':')) return Fail("expected ':' after hex, found", s);
    s.remove_prefix(1);
    std::string data;
    // Bytes of two hex digits each, separated by commas; one trailing comma
    // is what an export leaves before a line break.
    while (true) {
      s = TrimLeft(s);
      if (s.empty() || s.front() == ';') break;
      std::size_t digits = 0;
      while (digits < s.size() && HexDigit(s[digits]) >= 0) ++digits;
      if (digits != 2) return Fail("hex bytes need two digits each, found", s);
      data += static_cast<char>(HexDigit(s[0]) << 4 | HexDigit(s[1]));
      s = TrimLeft(s.substr(2));
      if (s.empty() || s.front() == ';') break;
      if (s.front() != ',') return Fail("expected ',' between hex bytes, found", s);
      s.remove_prefix(1);
    }
    // Strings in a version 5 export are UTF-16LE; the store holds 8-bit
    // text, so they become UTF-8 like the quoted strings of such a file.
    bool isString = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    if (unicode_ && isString && data.size() % 2 == 0) {
      std::string utf8;
      if (!Utf16ToUtf8(data, utf8)) data = Stored(utf8);
    }
    reg_.SetValue(current_, name, type, reg_.Keep(data));
    return true;
  }

  Registry& reg_;
  std::string_view fileName_;
  std::string* error_;
  std::size_t line_ = 0;
  bool unicode_ = false;
  TextConverter* toCodepage_;
  std::uint32_t current_ = store::kNoNode;
  bool inDeleted_ = false;
};

}  // namespace

int CodepageNamedIn(std::string_view bytes) {
  if (!bytes.starts_with(kHeader4)) return 0;
  constexpr std::string_view kSection = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]";
  constexpr std::string_view kAcp = "\"ACP\"=\"";
  bool inSection = false;
  int named = 0;
  while (!bytes.empty()) {
    std::size_t end = bytes.find_first_of("\r\n");
    std::string_view line = TrimRight(bytes.substr(0, end));
    bytes = end == std::string_view::npos ? std::string_view{} : bytes.substr(end + 1);
    if (line.starts_with('[')) {
      inSection = line.size() == kSection.size() && store::SameName(line, kSection);
    } else if (inSection && line.size() > kAcp.size() && store::SameName(line.substr(0, kAcp.size()), kAcp)) {
      int codepage = 0;
      std::string_view digits = line.substr(kAcp.size());
      std::size_t i = 0;
      for (; i < digits.size() && digits[i] >= '0' && digits[i] <= '9' && codepage < 100000; ++i) {
        codepage = codepage * 10 + (digits[i] - '0');
      }
      if (i > 0 && i < digits.size() && digits[i] == '"') named = codepage;
    }
  }
  return named;
}

bool LooksLikeRegFile(std::string_view bytes) {
  if (bytes.starts_with(kUtf16Bom)) return true;
  if (bytes.starts_with(kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
  return bytes.starts_with(kHeader4) || bytes.starts_with(kHeader5);
}

bool LoadRegFile(Registry& reg, std::string_view bytes, std::string_view fileName, std::string* error,
                 TextConverter* toCodepage, bool* unicode) {
  Loader loader(reg, fileName, error, toCodepage);
  bool ok = loader.Run(bytes);
  if (unicode != nullptr) *unicode = loader.Unicode();
  return ok;
}

}  // namespace regfile
