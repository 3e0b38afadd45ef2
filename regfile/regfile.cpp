#include "regfile/regfile.h"

#include <array>
#include <cstdint>
#include <vector>

#include "regfile/reg_text.h"
#include "regfile/hex_data.h"
#include "regfile/load_notes.h"
#include "text/text.h"
#include "text/unicode.h"

namespace regfile {

using store::Registry;
using store::Root;
using text::TextConverter;

namespace {

const store::LeadBytes kNoLeadBytes;

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

// The loader: one state for each situation regedit can be in between two
// lines, each line read once; a hex value continued over lines stays open,
// each line's bytes appended to it, until it ends or is found broken.
class Loader {
 public:
  Loader(Registry& reg, std::string_view fileName, TextConverter* toCodepage, RegFileReport& report)
      : reg_(reg), fileName_(fileName), toCodepage_(toCodepage), report_(report),
        notes_(reg, fileName, &report.notesNamed) {}

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
      // A continued value's lines are settled with it, when it ends.
      if (state != State::kHexContinuation) first_ = line_;
      Step step;
      switch (state) {
        case State::kHeader:
          if (!ReadHeader(line, fileName_, &unicode_, error)) return false;
          step = Taken();
          break;
        case State::kLineStart:
          step = LineStart(line);
          break;
        case State::kHexContinuation:
          step = HexContinuation(line);
          break;
      }
      Settle(step.fate);
      state = step.next;
    }
    report_.lines = lines.number();
    if (state == State::kHeader) {
      *error = std::string(fileName_) + ":1: empty file: expected REGEDIT4 or " + std::string(kHeader5);
      return false;
    }
    // A file that ends inside a continued value ends the value.
    if (state == State::kHexContinuation) Settle(SetHexValue().fate);
    notes_.Close(report_.leftOut > 0);
    report_.unicode = unicode_;
    return true;
  }

 private:
  enum class State {
    kHeader,           // the first line, naming the format
    kLineStart,        // a key line, a value line, a comment or a blank
    kHexContinuation,  // the line after a hex value's trailing backslash
  };

  // What became of the lines read since the last whose fate was settled:
  // the current one, or a continued value's lines from its first.
  enum class Fate { kTaken, kLeftOut, kPending };
  // What each line's handler says: the state the next line is read in,
  // and the fate of the lines so far. Every line's fate is settled once,
  // in Run, from this.
  struct Step {
    State next = State::kLineStart;
    Fate fate = Fate::kTaken;
  };

  // A value being read: hex data goes on over the lines after one that
  // ends with a backslash, appended here as each is read.
  struct OpenValue {
    std::string name;  // as stored
    std::uint32_t type = 0;
    std::string data;
    std::string_view unknownEscape;
  };

  // --- The fate of each line or value. ---

  static Step Taken() { return {State::kLineStart, Fate::kTaken}; }
  static Step Pending() { return {State::kHexContinuation, Fate::kPending}; }
  // Leaves out the lines from the first unsettled one to the current one,
  // as one thing, named at the first.
  Step LeaveOut(const std::string& what) {
    ++report_.leftOut;
    Note(first_, what, true);
    return {State::kLineStart, Fate::kLeftOut};
  }

  void Settle(Fate fate) {
    std::size_t lines = line_ - first_ + 1;
    if (fate == Fate::kTaken) report_.linesTaken += lines;
    if (fate == Fate::kLeftOut) report_.linesLeftOut += lines;
  }

  void Note(std::size_t line, const std::string& what, bool leftOut) { notes_.Note(line, what, leftOut); }

  // --- States. ---

  Step LineStart(std::string_view line) {
    std::string_view body = TrimLeft(line);
    if (const char* bad = BadText(line)) return LeaveOut(std::string("line left out: ") + bad);
    if (body.empty() || body.front() == ';' || body.front() == '#') return Taken();
    switch (body.front()) {
      case '[':
        return KeyLine(body.substr(1));
      case '@':
        return ValueLine({}, body.substr(1), {});
      case '"': {
        Quoted name = ReadQuoted(body.substr(1), QuotedLead());
        if (!name.ok) return LeaveOut("value left out: its name " + std::string(name.why) + ": " + Shown(body));
        return ValueLine(name.text, name.rest, name.unknownEscape);
      }
      default:
        return LeaveOut("line left out: not a key, a value or a comment: " + Shown(body));
    }
  }

  Step KeyLine(std::string_view p) {
    // What regedit takes for no key line keeps the key before it open.
    if (!p.empty() && IsBlank(p.front())) return LeaveOut("key line left out: a blank after '[': " + Shown(p));
    std::size_t close = LastClosingBracket(p, QuotedLead());
    if (close == std::string_view::npos) return LeaveOut("key line left out: no closing ']': " + Shown(p));
    std::string_view path = p.substr(0, close);
    std::string_view after = p.substr(close + 1);
    Step next = path.starts_with('-') ? DeleteKey(path.substr(1)) : OpenKey(path);
    if (!after.empty() && next.fate == Fate::kTaken) {
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
  std::vector<std::string_view> KeyNames(std::string_view rest, std::string* why) const {
    std::vector<std::string_view> names;
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

  Step OpenKey(std::string_view path) {
    current_ = store::kNoNode;
    std::string_view rest;
    const RootName* root = SplitRoot(path, &rest);
    std::string why;
    std::vector<std::string_view> names;
    if (root == nullptr) {
      why = "unknown root key: " + Shown(path.substr(0, store::FindSeparator(path, QuotedLead())));
    } else {
      names = KeyNames(rest, &why);
    }
    if (!why.empty()) {
      noKey_ = {NoKey::kKeyLeftOut, line_};
      return LeaveOut("key left out: " + why);
    }
    std::uint32_t at = reg_.RootNode(root->root, true);
    for (std::string_view name : names) at = reg_.FindOrAddChild(at, Stored(name));
    current_ = at;
    return Taken();
  }

  Step DeleteKey(std::string_view path) {
    current_ = store::kNoNode;
    noKey_ = {NoKey::kKeyDeleted, line_};
    std::string_view rest;
    // regedit deletes only a path that begins with 'H' or 'h', as every
    // root's name does, and passes over any other without a word.
    bool rootLike = path.starts_with('H') || path.starts_with('h');
    const RootName* root = rootLike ? SplitRoot(path, &rest) : nullptr;
    if (root == nullptr) return LeaveOut("key deletion left out: no root key named: " + Shown(path));
    std::string why;
    std::vector<std::string_view> names = KeyNames(rest, &why);
    if (names.empty() && why.empty()) why = "a root key cannot be deleted";
    if (!why.empty()) return LeaveOut("key deletion left out: " + why + ": " + Shown(path));
    std::string joined;
    for (std::string_view name : names) (joined.empty() ? joined : joined += '\\') += name;
    std::uint32_t id = reg_.FindPath(reg_.RootNode(root->root, false), Stored(joined));
    if (id != store::kNoNode) reg_.RemoveSubtree(id);
    return Taken();
  }

  // A value line past its name: '=', then its data, or '-' to delete it.
  Step ValueLine(std::string name, std::string_view rest, std::string_view nameEscape) {
    rest = TrimLeft(rest);
    if (!rest.starts_with('=')) return LeaveOut("value left out: no '=' after its name: " + Shown(rest));
    std::string_view data = TrimRight(TrimLeft(rest.substr(1)));
    if (Characters(name) > store::kMaxValueNameBytes) {
      return LeaveOut("value left out: its name is longer than " + std::to_string(store::kMaxValueNameBytes) +
                      " characters: " + Shown(name));
    }
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
      return Taken();
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
    return Taken();
  }

  Step StringData(std::string_view data) {
    Quoted text = ReadQuoted(data, QuotedLead());
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
  Step DwordData(std::string_view data) {
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
  // but not one written "0x..": regedit looks for the x of "0x" as the
  // second character, whatever the first is, and refuses the line.
  bool ReadType(std::string_view* data) {
    std::string_view s = *data;
    bool hexPrefix = s.size() > 1 && (s[1] == 'x' || s[1] == 'X');
    if (s.empty() || hexPrefix) return false;
    WindowsNumber type = ReadWindowsNumber(s);
    std::size_t end = type.used;
    if (end + 1 >= s.size() || s[end] != ')' || s[end + 1] != ':') return false;
    if (type.Overflowed()) return false;
    value_.type = type.value;
    data->remove_prefix(end + 2);
    return true;
  }

  // Hex bytes on the value's line or on a continuation line.
  Step HexData(std::string_view data, bool firstLine) {
    if (firstLine && data.empty()) return SetValue();
    bool continued = false;
    if (!AppendHexBytes(data, &value_.data, &continued)) {
      return LeaveOut("value left out: bad hex data at line " + std::to_string(line_) + ": " +
                                            Shown(data));
    }
    return continued ? Pending() : SetHexValue();
  }

  Step HexContinuation(std::string_view line) {
    std::string_view body = TrimLeft(line);
    if (const char* bad = BadText(line)) {
      return LeaveOut("value left out with line " + std::to_string(line_) + ", which " + bad);
    }
    if (body.empty() || body.front() == ';') return Pending();
    if (HexDigit(body.front()) < 0) {
      return LeaveOut("value left out with line " + std::to_string(line_) +
                                            ", which continues it but does not begin with a hex digit: " +
                                            Shown(body));
    }
    return HexData(body, false);
  }

  // Ends hex data as regedit ends it: a string type's gets its terminator
  // where it lacks one (8-bit or UTF-16), and a version 5 file's UTF-16
  // text is stored in the registry's codepage, like its quoted strings.
  Step SetHexValue() {
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

  Step SetValue() {
    if (current_ == store::kNoNode) {
      return LeaveOut("value left out: no key is open: " + NoKeyReason());
    }
    reg_.SetValue(current_, reg_.Keep(value_.name), value_.type, reg_.Keep(value_.data));
    if (!value_.unknownEscape.empty()) {
      ++report_.changed;
      Note(first_,
           "unknown escape " + Shown(value_.unknownEscape) + " read without its backslash, as Windows reads it",
           false);
    }
    return Taken();
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
  LoadNotes notes_;
  std::size_t line_ = 0;   // the line being read
  std::size_t first_ = 0;  // the first line whose fate is not settled
  bool unicode_ = false;
  bool fromUtf16_ = false;
  std::uint32_t current_ = store::kNoNode;
  // Why no key is open, for the values that meet none.
  struct NoKey {
    enum Kind { kNoKeyLine, kKeyLeftOut, kKeyDeleted } kind = kNoKeyLine;
    std::size_t line = 0;
  } noKey_;
  OpenValue value_;
};

}  // namespace

bool LoadRegFile(Registry& reg, std::string_view bytes, std::string_view fileName, std::string* error,
                 TextConverter* toCodepage, RegFileReport* report) {
  RegFileReport local;
  Loader loader(reg, fileName, toCodepage, report != nullptr ? *report : local);
  return loader.Run(bytes, error);
}

}  // namespace regfile
