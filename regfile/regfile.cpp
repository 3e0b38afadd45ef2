#include "regfile/regfile.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "bytes/bytes.h"
#include "text/text.h"
#include "text/unicode.h"

namespace regfile {

using store::Registry;
using store::Root;
using text::TextConverter;

namespace {

const store::LeadBytes kNoLeadBytes;
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader31 = "REGEDIT";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Bom = "\xFF\xFE";

// The roots regedit knows, by their full names only: "HKLM" and the like
// are reg.exe's, and regedit opens no key by them.
struct RootName {
  std::string_view name;
  Root root;
};
constexpr std::array<RootName, 6> kRootNames{{
    {"HKEY_LOCAL_MACHINE", Root::kLocalMachine},
    {"HKEY_USERS", Root::kUsers},
    {"HKEY_CLASSES_ROOT", Root::kClassesRoot},
    {"HKEY_CURRENT_CONFIG", Root::kCurrentConfig},
    {"HKEY_CURRENT_USER", Root::kCurrentUser},
    {"HKEY_DYN_DATA", Root::kDynData},
}};

// How a value's data is written after its '=': the tags regedit knows,
// compared with letter case. Anything else is no value.
enum class DataForm { kString, kDword, kHex };
struct TypeTag {
  std::string_view tag;
  DataForm form;
  std::uint32_t type;
  bool typeFollows;  // "hex(TYPE):", the type in hex
};
constexpr std::array<TypeTag, 4> kTypeTags{{
    {"\"", DataForm::kString, REG_SZ, false},
    {"hex:", DataForm::kHex, REG_BINARY, false},
    {"dword:", DataForm::kDword, REG_DWORD, false},
    {"hex(", DataForm::kHex, REG_NONE, true},
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

// A number as Windows' wcstoul reads it in base 16, which is how regedit
// reads hex bytes and types: blanks, a sign and "0x" may come first; past
// 64 bits it saturates, past 32 bits it is 0xFFFFFFFF (1 when negative),
// and a negative one wraps. used is 0 where no digit was read.
struct WindowsNumber {
  std::uint32_t value = 0;
  bool outOfRange = false;
  std::size_t used = 0;
};

WindowsNumber ReadWindowsNumber(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (IsBlank(s[i]) || s[i] == '\v' || s[i] == '\f')) ++i;
  bool negative = i < s.size() && s[i] == '-';
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) i += 2;
  std::uint64_t magnitude = 0;
  bool saturated = false;
  std::size_t first = i;
  for (; i < s.size() && HexDigit(s[i]) >= 0; ++i) {
    if (magnitude >> 60 != 0) saturated = true;
    magnitude = saturated ? magnitude : magnitude << 4 | static_cast<std::uint64_t>(HexDigit(s[i]));
  }
  WindowsNumber n;
  if (i == first) return n;
  n.used = i;
  constexpr std::uint64_t kUint32Max = 0xFFFFFFFFULL;
  if (!negative) {
    if (saturated || magnitude > kUint32Max) {
      n.value = 0xFFFFFFFFU;
      n.outOfRange = true;
    } else {
      n.value = static_cast<std::uint32_t>(magnitude);
    }
  } else if (saturated || magnitude > kUint32Max) {
    n.value = 1;
    n.outOfRange = true;
  } else {
    n.value = static_cast<std::uint32_t>(0 - magnitude);
  }
  return n;
}

// A file's text for a note: 60 bytes at most, escaped for the terminal.
std::string Shown(std::string_view text) {
  constexpr std::size_t kWidth = 60;
  std::string out = "'";
  bytes::AppendEscaped(out, text.substr(0, kWidth));
  out += text.size() > kWidth ? "...'" : "'";
  return out;
}

// Lines end at CR LF, CR or LF, as regedit reads them. The next CR and the
// next LF are each looked for once, and again only once passed, so that a
// file with no CR at all costs one pass, not one per line.
class LineReader {
 public:
  explicit LineReader(std::string_view text)
      : text_(text), nextCr_(text.find('\r')), nextLf_(text.find('\n')) {}

  bool Next(std::string_view* line) {
    if (at_ >= text_.size()) return false;
    if (nextCr_ < at_) nextCr_ = text_.find('\r', at_);
    if (nextLf_ < at_) nextLf_ = text_.find('\n', at_);
    std::size_t end = nextCr_ < nextLf_ ? nextCr_ : nextLf_;
    if (end == std::string_view::npos) {
      *line = text_.substr(at_);
      at_ = text_.size();
    } else {
      *line = text_.substr(at_, end - at_);
      at_ = end + (end == nextCr_ && nextLf_ == end + 1 ? 2 : 1);
    }
    ++number_;
    return true;
  }
  std::size_t number() const { return number_; }

 private:
  std::string_view text_;
  std::size_t nextCr_;
  std::size_t nextLf_;
  std::size_t at_ = 0;
  std::size_t number_ = 0;
};

// Quoted text as regedit reads it, past its opening quote: \\ \" \n \r
// stand for their characters; a backslash before any other character is
// dropped (unknownEscape names the first such); \0, and a backslash or the
// line ending before the closing quote, make it no text.
struct Quoted {
  bool ok = false;
  std::string text;
  std::string_view rest;  // past the closing quote
  std::string_view unknownEscape;
  const char* why = "";
};

// The loader: one state for each situation regedit can be in between two
// lines, each line read once; a hex value continued over lines stays open,
// each line's bytes appended to it, until it ends or is found broken.
class Loader {
 public:
  Loader(Registry& reg, std::string_view fileName, TextConverter* toCodepage, RegFileReport& report)
      : reg_(reg), fileName_(fileName), toCodepage_(toCodepage), report_(report) {}

  bool Run(std::string_view bytes, std::string* error) {
    std::string decoded;
    if (bytes.starts_with(kUtf16Bom)) {
      bytes.remove_prefix(kUtf16Bom.size());
      text::Utf16ToUtf8(bytes, decoded, true);
      // Half a character at the end: the line it ends is left out, as a
      // lone surrogate's is (regedit drops the byte and keeps the line).
      if (bytes.size() % 2 != 0) text::AppendUtf8(decoded, 0xD800);
      bytes = decoded;
      unicode_ = true;
      fromUtf16_ = true;
    } else if (bytes.starts_with(kUtf8Bom)) {
      bytes.remove_prefix(kUtf8Bom.size());
      unicode_ = true;
    }
    LineReader lines(bytes);
    std::string_view line;
    State state = State::kHeader;
    while (lines.Next(&line)) {
      line_ = lines.number();
      switch (state) {
        case State::kHeader:
          if (!Header(line, error)) return false;
          Take(1);
          state = State::kLineStart;
          break;
        case State::kLineStart:
          state = LineStart(line);
          break;
        case State::kHexContinuation:
          state = HexContinuation(line);
          break;
      }
    }
    report_.lines = lines.number();
    if (state == State::kHeader) {
      *error = std::string(fileName_) + ":1: empty file: expected REGEDIT4 or " + std::string(kHeader5);
      return false;
    }
    // A file that ends inside a continued value ends the value.
    if (state == State::kHexContinuation) SetHexValue();
    std::size_t unnamed = report_.leftOut + report_.changed - report_.notesNamed;
    if (unnamed > 0) {
      reg_.AddLoadNote(std::string(fileName_) + ": " + std::to_string(unnamed) +
                           " more lines left out or changed, not named one by one",
                       report_.leftOut > 0);
    }
    report_.unicode = unicode_;
    return true;
  }

 private:
  enum class State {
    kHeader,           // the first line, naming the format
    kLineStart,        // a key line, a value line, a comment or a blank
    kHexContinuation,  // the line after a hex value's trailing backslash
  };

  // A value being read: hex data goes on over the lines after one that
  // ends with a backslash, appended here as each is read.
  struct OpenValue {
    std::size_t firstLine = 0;
    std::string name;  // as stored
    std::uint32_t type = 0;
    std::string data;
    std::string_view unknownEscape;
  };

  // --- The outcome of each line or value, counted once. ---

  void Take(std::size_t lines) { report_.linesTaken += lines; }

  void Note(std::size_t line, const std::string& what, bool leftOut) {
    if (report_.notesNamed < kNamedNotesPerFile) {
      ++report_.notesNamed;
      reg_.AddLoadNote(std::string(fileName_) + ":" + std::to_string(line) + ": " + what, leftOut);
    }
  }

  // Leaves out the lines from first to the current one, as one thing.
  State LeaveOut(std::size_t first, const std::string& what) {
    report_.linesLeftOut += line_ - first + 1;
    ++report_.leftOut;
    Note(first, what, true);
    return State::kLineStart;
  }
  State LeaveOut(const std::string& what) { return LeaveOut(line_, what); }

  // --- States. ---

  bool Header(std::string_view line, std::string* error) {
    // Blanks before the header are allowed, as regedit allows them; blanks
    // after it, which regedit refuses, are taken too: files published for
    // Windows carry them, and people read those files with this tool.
    std::string_view header = TrimRight(TrimLeft(line));
    if (header == kHeader4) return true;
    if (header == kHeader5) {
      unicode_ = true;
      return true;
    }
    std::string where = std::string(fileName_) + ":1: ";
    if (header == kHeader31) {
      *error = where + "a Windows 3.1 registration file (REGEDIT): not read, only REGEDIT4 and version 5 exports";
    } else {
      *error = where + "not a registry export: expected REGEDIT4 or " + std::string(kHeader5) + ", found " +
               Shown(header);
    }
    return false;
  }

  State LineStart(std::string_view line) {
    std::string_view body = TrimLeft(line);
    if (const char* bad = BadText(line)) return LeaveOut(std::string("line left out: ") + bad);
    if (body.empty() || body.front() == ';' || body.front() == '#') {
      Take(1);
      return State::kLineStart;
    }
    switch (body.front()) {
      case '[':
        return KeyLine(body.substr(1));
      case '@':
        return ValueLine({}, body.substr(1), {});
      case '"': {
        Quoted name = ReadQuoted(body.substr(1));
        if (!name.ok) return LeaveOut("value left out: its name " + std::string(name.why) + ": " + Shown(body));
        return ValueLine(name.text, name.rest, name.unknownEscape);
      }
      default:
        return LeaveOut("line left out: not a key, a value or a comment: " + Shown(body));
    }
  }

  State KeyLine(std::string_view p) {
    // What regedit takes for no key line keeps the key before it open.
    if (!p.empty() && IsBlank(p.front())) return LeaveOut("key line left out: a blank after '[': " + Shown(p));
    std::size_t close = LastClosingBracket(p);
    if (close == std::string_view::npos) return LeaveOut("key line left out: no closing ']': " + Shown(p));
    std::string_view path = p.substr(0, close);
    std::string_view after = p.substr(close + 1);
    std::size_t takenBefore = report_.linesTaken;
    State next = path.starts_with('-') ? DeleteKey(path.substr(1)) : OpenKey(path);
    if (!after.empty() && report_.linesTaken > takenBefore) {
      ++report_.changed;
      Note(line_, "text after the key name's ']' ignored, as Windows ignores it: " + Shown(after), false);
    }
    return next;
  }

  // The root a key path begins with, and the rest past its backslash.
  const RootName* SplitRoot(std::string_view path, std::string_view* rest) const {
    std::size_t cut = store::FindSeparator(path, QuotedLead());
    std::string_view rootName = path.substr(0, cut);
    *rest = cut == std::string_view::npos ? std::string_view{} : path.substr(cut + 1);
    for (const RootName& r : kRootNames) {
      if (store::SameName(rootName, r.name)) return &r;
    }
    return nullptr;
  }

  // The names of a key path below its root; backslashes doubled or at the
  // end count as one, as Windows counts them. Empty with why set where the
  // path names no key Windows would open.
  const std::vector<std::string_view>& KeyNames(std::string_view rest, std::string* why) {
    std::vector<std::string_view>& names = names_;
    names.clear();
    if (rest.starts_with('\\')) {
      *why = "a key path cannot go on with '\\' right after its root";
      return names;
    }
    const store::LeadBytes& lead = QuotedLead();
    std::size_t from = 0;
    while (from < rest.size()) {
      std::size_t next = store::FindSeparator(rest, lead, from);
      std::size_t end = next == std::string_view::npos ? rest.size() : next;
      if (end > from) names.push_back(rest.substr(from, end - from));
      from = end + 1;
    }
    if (names.size() + 1 > static_cast<std::size_t>(store::kMaxKeyDepth)) {
      *why = "keys nested deeper than " + std::to_string(store::kMaxKeyDepth) + " levels";
      names.clear();
    }
    for (std::string_view name : names) {
      if (Characters(name) > store::kMaxKeyNameBytes) {
        *why = "a key name longer than " + std::to_string(store::kMaxKeyNameBytes) + " characters: " + Shown(name);
        names.clear();
        break;
      }
    }
    return names;
  }

  State OpenKey(std::string_view path) {
    current_ = store::kNoNode;
    std::string_view rest;
    const RootName* root = SplitRoot(path, &rest);
    std::string why;
    if (root == nullptr) {
      why = "unknown root key: " + Shown(path.substr(0, store::FindSeparator(path, QuotedLead())));
    } else {
      KeyNames(rest, &why);
    }
    if (!why.empty()) {
      noKey_ = {NoKey::kKeyLeftOut, line_};
      return LeaveOut("key left out: " + why);
    }
    std::uint32_t at = reg_.RootNode(root->root, true);
    for (std::string_view name : names_) at = reg_.FindOrAddChild(at, Stored(name));
    current_ = at;
    Take(1);
    return State::kLineStart;
  }

  State DeleteKey(std::string_view path) {
    current_ = store::kNoNode;
    noKey_ = {NoKey::kKeyDeleted, line_};
    std::string_view rest;
    const RootName* root = path.empty() || (path.front() != 'H' && path.front() != 'h') ? nullptr
                                                                                         : SplitRoot(path, &rest);
    if (root == nullptr) return LeaveOut("key deletion left out: no root key named: " + Shown(path));
    std::string why;
    const std::vector<std::string_view>& names = KeyNames(rest, &why);
    if (names.empty() && why.empty()) why = "a root key cannot be deleted";
    if (!why.empty()) return LeaveOut("key deletion left out: " + why + ": " + Shown(path));
    std::string joined;
    for (std::string_view name : names) (joined.empty() ? joined : joined += '\\') += name;
    std::uint32_t id = reg_.FindPath(reg_.RootNode(root->root, false), Stored(joined));
    if (id != store::kNoNode) reg_.RemoveSubtree(id);
    Take(1);
    return State::kLineStart;
  }

  // A value line past its name: '=', then its data, or '-' to delete it.
  State ValueLine(std::string name, std::string_view rest, std::string_view nameEscape) {
    rest = TrimLeft(rest);
    if (!rest.starts_with('=')) return LeaveOut("value left out: no '=' after its name: " + Shown(rest));
    std::string_view data = TrimRight(TrimLeft(rest.substr(1)));
    if (Characters(name) > store::kMaxValueNameBytes) {
      return LeaveOut("value left out: its name is longer than " + std::to_string(store::kMaxValueNameBytes) +
                      " characters: " + Shown(name));
    }
    value_.firstLine = line_;
    value_.name = unicode_ ? Stored(name) : std::move(name);
    value_.type = 0;
    value_.data.clear();
    value_.unknownEscape = nameEscape;
    if (data.starts_with('-')) {
      std::string_view after = TrimLeft(data.substr(1));
      if (!after.empty() && !after.starts_with(';')) {
        return LeaveOut("value deletion left out: text after '-': " + Shown(after));
      }
      if (current_ == store::kNoNode) return LeaveOut("value deletion left out: no key is open: " + NoKeyReason());
      reg_.DeleteValue(current_, value_.name);
      Take(1);
      return State::kLineStart;
    }
    const TypeTag* tag = nullptr;
    for (const TypeTag& t : kTypeTags) {
      if (data.starts_with(t.tag)) tag = &t;
    }
    if (tag == nullptr) return LeaveOut("value left out: unknown data type: " + Shown(data));
    data.remove_prefix(tag->tag.size());
    value_.type = tag->type;
    switch (tag->form) {
      case DataForm::kString:
        return StringData(data);
      case DataForm::kDword:
        return DwordData(data);
      case DataForm::kHex:
        if (tag->typeFollows && !ReadType(&data)) return LeaveOut("value left out: a bad type in hex(...)");
        return HexData(data, true);
    }
    return State::kLineStart;
  }

  State StringData(std::string_view data) {
    Quoted text = ReadQuoted(data);
    if (!text.ok) return LeaveOut("value left out: its string " + std::string(text.why) + ": " + Shown(data));
    std::string_view after = TrimLeft(text.rest);
    if (!after.empty() && !after.starts_with(';')) {
      return LeaveOut("value left out: text after its string's closing quote: " + Shown(after));
    }
    if (value_.unknownEscape.empty()) value_.unknownEscape = text.unknownEscape;
    value_.data = Stored(text.text);
    value_.data += '\0';
    return SetValue();
  }

  // 1 to 8 hex digits, with blanks around them.
  State DwordData(std::string_view data) {
    data = TrimLeft(data);
    std::size_t digits = 0;
    while (digits < data.size() && HexDigit(data[digits]) >= 0) ++digits;
    std::string_view after = TrimLeft(data.substr(digits));
    if (digits == 0 || digits > 8 || (!after.empty() && !after.starts_with(';'))) {
      return LeaveOut("value left out: a dword is 1 to 8 hex digits: " + Shown(data));
    }
    std::uint32_t number = 0;
    for (char c : data.substr(0, digits)) number = number << 4 | static_cast<std::uint32_t>(HexDigit(c));
    value_.data.assign({static_cast<char>(number), static_cast<char>(number >> 8), static_cast<char>(number >> 16),
                        static_cast<char>(number >> 24)});
    return SetValue();
  }

  // "TYPE):" after "hex(", as regedit reads it: a number wcstoul takes,
  // but not one written "0x..".
  bool ReadType(std::string_view* data) {
    std::string_view s = *data;
    if (s.empty() || (s.size() > 1 && (s[1] == 'x' || s[1] == 'X'))) return false;
    WindowsNumber type = ReadWindowsNumber(s);
    std::size_t end = type.used;
    if (end + 1 >= s.size() || s[end] != ')' || s[end + 1] != ':') return false;
    if (type.value == 0xFFFFFFFFU && type.outOfRange) return false;
    value_.type = type.value;
    data->remove_prefix(end + 2);
    return true;
  }

  // Hex bytes on the value's line or on a continuation line.
  State HexData(std::string_view data, bool firstLine) {
    if (firstLine && data.empty()) return SetValue();
    bool continued = false;
    if (!HexBytes(data, &continued)) {
      return LeaveOut(value_.firstLine, "value left out: bad hex data at line " + std::to_string(line_) + ": " +
                                            Shown(data));
    }
    return continued ? State::kHexContinuation : SetHexValue();
  }

  // Bytes separated by commas; a backslash where a byte could begin
  // continues them on the next line, and a comment may follow either.
  bool HexBytes(std::string_view s, bool* continued) {
    std::size_t i = 0;
    while (i < s.size()) {
      // Two digits and a comma or the end, as every export writes a byte,
      // read as wcstoul would read them.
      bool pair = i + 1 < s.size() && HexDigit(s[i]) >= 0 && HexDigit(s[i + 1]) >= 0;
      if (pair && (i + 2 == s.size() || s[i + 2] == ',')) {
        value_.data += static_cast<char>(HexDigit(s[i]) << 4 | HexDigit(s[i + 1]));
        i += 3;
        continue;
      }
      WindowsNumber n = ReadWindowsNumber(s.substr(i));
      if (n.value > 0xFF) return false;
      if (n.used == 0) {
        std::string_view after = TrimLeft(s.substr(i));
        if (after.starts_with(';')) return true;
        if (!after.starts_with('\\')) return false;
        after = TrimLeft(after.substr(1));
        *continued = true;
        return after.empty() || after.starts_with(';');
      }
      value_.data += static_cast<char>(n.value);
      i += n.used;
      if (i < s.size() && s[i] != ',') {
        std::string_view after = TrimLeft(s.substr(i));
        return after.empty() || after.starts_with(';');
      }
      if (i < s.size()) ++i;
    }
    return true;
  }

  State HexContinuation(std::string_view line) {
    std::string_view body = TrimLeft(line);
    if (const char* bad = BadText(line)) {
      return LeaveOut(value_.firstLine, "value left out with line " + std::to_string(line_) + ", which " + bad);
    }
    if (body.empty() || body.front() == ';') return State::kHexContinuation;
    if (HexDigit(body.front()) < 0) {
      return LeaveOut(value_.firstLine, "value left out with line " + std::to_string(line_) +
                                            ", which continues it but does not begin with a hex digit: " +
                                            Shown(body));
    }
    return HexData(body, false);
  }

  // Ends hex data as regedit ends it: a string type's gets its terminator
  // where it lacks one (8-bit or UTF-16), and a version 5 file's UTF-16
  // text is stored in the registry's codepage, like its quoted strings.
  State SetHexValue() {
    std::string& data = value_.data;
    if (store::IsStringType(value_.type) && !data.empty()) {
      if (!unicode_) {
        if (data.back() != '\0') data += '\0';
      } else if (data.size() % 2 == 0) {
        if (data[data.size() - 2] != '\0' || data.back() != '\0') data.append(2, '\0');
        std::string utf8;
        if (text::Utf16ToUtf8(data, utf8)) data = Stored(utf8);
      }
    }
    return SetValue();
  }

  State SetValue() {
    if (current_ == store::kNoNode) {
      return LeaveOut(value_.firstLine, "value left out: no key is open: " + NoKeyReason());
    }
    reg_.SetValue(current_, reg_.Keep(value_.name), value_.type, reg_.Keep(value_.data));
    Take(line_ - value_.firstLine + 1);
    if (!value_.unknownEscape.empty()) {
      ++report_.changed;
      Note(value_.firstLine,
           "unknown escape " + Shown(value_.unknownEscape) + " read without its backslash, as Windows reads it",
           false);
    }
    return State::kLineStart;
  }

  std::string NoKeyReason() const {
    std::string line = std::to_string(noKey_.line);
    switch (noKey_.kind) {
      case NoKey::kKeyLeftOut:
        return "its key, at line " + line + ", was left out";
      case NoKey::kKeyDeleted:
        return "the key line before it, at line " + line + ", deletes a key";
      case NoKey::kNoKeyLine:
        break;
    }
    return "no key line comes before it";
  }

  // --- Text. ---

  Quoted ReadQuoted(std::string_view s) const {
    const store::LeadBytes& lead = QuotedLead();
    Quoted q;
    for (std::size_t i = 0; i < s.size(); ++i) {
      char c = s[i];
      // A double-byte character is taken whole: its second byte may be '\\'
      // or '"'.
      if (lead[static_cast<unsigned char>(c)] && i + 1 < s.size()) {
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
          if (lead[static_cast<unsigned char>(e)] && i + 1 < s.size()) q.text += s[++i];
          break;
      }
    }
    q.why = "has no closing quote";
    return q;
  }

  // The last ']' of a key line that is a character of its own, not the
  // second byte of a double-byte one.
  std::size_t LastClosingBracket(std::string_view p) const {
    const store::LeadBytes& lead = QuotedLead();
    if (lead.empty()) return p.rfind(']');
    std::size_t last = std::string_view::npos;
    for (std::size_t i = 0; i < p.size(); ++i) {
      if (lead[static_cast<unsigned char>(p[i])]) {
        ++i;
      } else if (p[i] == ']') {
        last = i;
      }
    }
    return last;
  }

  // Why a line cannot be read as text at all, or null.
  const char* BadText(std::string_view line) const {
    if (line.find('\0') != std::string_view::npos) return "holds a NUL byte";
    if (fromUtf16_ && text::HoldsMarkedSurrogate(line)) return "is not UTF-16 text (a lone surrogate or half a character)";
    return nullptr;
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

  Registry& reg_;
  std::string_view fileName_;
  TextConverter* toCodepage_;
  RegFileReport& report_;
  std::size_t line_ = 0;
  bool unicode_ = false;
  bool fromUtf16_ = false;
  std::uint32_t current_ = store::kNoNode;
  // Why no key is open, for the values that meet none.
  struct NoKey {
    enum Kind { kNoKeyLine, kKeyLeftOut, kKeyDeleted } kind = kNoKeyLine;
    std::size_t line = 0;
  } noKey_;
  std::vector<std::string_view> names_;  // of the key line being read
  OpenValue value_;
};

}  // namespace

int CodepageNamedIn(std::string_view bytes) {
  if (!TrimLeft(bytes).starts_with(kHeader4)) return 0;
  constexpr std::string_view kSection = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\Codepage]";
  constexpr std::string_view kAcp = "\"ACP\"=\"";
  bool inSection = false;
  int named = 0;
  LineReader lines(bytes);
  std::string_view line;
  while (lines.Next(&line)) {
    line = TrimRight(TrimLeft(line));
    if (line.starts_with('[')) {
      inSection = line.size() == kSection.size() && store::SameName(line, kSection);
    } else if (inSection && line.size() > kAcp.size() && store::SameName(line.substr(0, kAcp.size()), kAcp)) {
      std::string_view quoted = line.substr(kAcp.size());
      std::size_t close = quoted.find('"');
      if (close == std::string_view::npos) continue;
      if (std::optional<int> codepage = text::ParseCodepageNumber(quoted.substr(0, close))) named = *codepage;
    }
  }
  return named;
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

bool LoadRegFile(Registry& reg, std::string_view bytes, std::string_view fileName, std::string* error,
                 TextConverter* toCodepage, RegFileReport* report) {
  RegFileReport local;
  Loader loader(reg, fileName, toCodepage, report != nullptr ? *report : local);
  return loader.Run(bytes, error);
}

}  // namespace regfile
