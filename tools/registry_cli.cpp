#include "tools/registry_cli.h"

#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <optional>
#include <cstring>

#include <clocale>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <langinfo.h>
#include <sys/mman.h>
#endif

#include "pathpattern/pathpattern.h"
#include "regfile/regfile.h"
#include "regwalk/regwalk.h"
#include "sources/codepage.h"
#include "sources/seam.h"
#include "store/api.h"
#include "text/text.h"
#include "text/unicode.h"
#include "text/wide.h"
#include "winreg/winreg.h"

namespace tools {

namespace {

const char* g_program = "";
std::optional<std::string> g_codepageChoice;  // SetCodepageChoice's, over KORMALD_CODEPAGE
bool g_damageMet = false;
bool g_linesLeftOut = false;
// Registry text to the user's charset and back; null where the bytes pass
// unchanged (raw, the C locale, or a locale in the registry's codepage).
// Made the first time text that is not ASCII alone passes: most runs print
// none, and finding the locale's charset and loading a conversion cost
// more than a small walk.
std::unique_ptr<text::TextConverter> g_toUser;
std::unique_ptr<text::TextConverter> g_fromUser;
// The registry text's codepage: a number, or kInstalledCodepage for the
// installed registry's, asked for only here.
constexpr int kInstalledCodepage = -1;
int g_textCodepage = 0;
bool g_textReady = true;
std::string g_userCharset;  // the charset the user types in, once the text is set up

void SetUpText() {
  g_textReady = true;
  g_toUser.reset();
  g_fromUser.reset();
  if (g_textCodepage == kInstalledCodepage) g_textCodepage = sources::RegistryCodepage(store::InstalledRegistry());
  if (g_textCodepage == 0) return;
  std::string registry = text::CodepageCharset(g_textCodepage);
#ifdef _WIN32
  // A console shows its output codepage (an OEM one such as 437 or 850);
  // redirected, the output keeps the registry's bytes. The command line
  // comes in the ANSI codepage, or in UTF-8 from the 64-bit build's
  // HostArguments.
  DWORD mode = 0;
  std::string shown = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0
                          ? text::CodepageCharset(static_cast<int>(GetConsoleOutputCP()))
                          : registry;
#if defined(_WIN64)
  std::string typed = "UTF-8";  // HostArguments
#else
  std::string typed = text::CodepageCharset(static_cast<int>(GetACP()));
#endif
  g_userCharset = typed;
  if (shown != registry) g_toUser = text::TextConverter::Open(registry, shown, true);
  if (typed != registry) g_fromUser = text::TextConverter::Open(typed, registry);
  return;
#else
  std::setlocale(LC_CTYPE, "");
  std::string charset = nl_langinfo(CODESET);
  g_userCharset = charset;
  if (charset == "ANSI_X3.4-1968" || charset == registry) return;
  g_toUser = text::TextConverter::Open(registry, charset, true);
  g_fromUser = text::TextConverter::Open(charset, registry);
#endif
  if (!g_toUser || !g_fromUser) {
    g_toUser.reset();
    g_fromUser.reset();
  }
}

void UseCodepage(int codepage) {
  g_textCodepage = codepage;
  g_textReady = false;
}

// The converter for text that is not ASCII alone; null: pass it unchanged.
text::TextConverter* ToUserConverter() {
  if (!g_textReady) SetUpText();
  return g_toUser.get();
}

// The paths of the damaged keys met since the registry was opened.
std::vector<std::string> g_damagedPaths;

// Damaged keys named so far in this run, and those counted only: a hive
// cut short loses hundreds, and like a .reg file's notes they are named
// as many as a terminal shows, then counted in one line at exit.
std::size_t g_damageNamed = 0;
std::size_t g_damageUnnamed = 0;

void CountUnnamedDamage() { EndRun(); }

void ReportDamage(const store::Damage& damage, const std::string& path) {
  g_damageMet = true;
  g_damagedPaths.push_back(path);
  static const bool all = [] {
    const char* set = std::getenv(kAllDamageVariable);
    return set != nullptr && *set != '\0';
  }();
  if (!all && g_damageNamed == regfile::kNamedNotesPerFile) {
    static const bool counted = std::atexit(CountUnnamedDamage) == 0;
    (void)counted;
    ++g_damageUnnamed;
    return;
  }
  ++g_damageNamed;
  Say("%s: %s\n", g_program, DamageMessage(damage, ToUser(path)).c_str());
}

// How a codepage choice says the registry's text is to be taken. A named
// codepage comes with its conversion from UTF-8, held in toCodepage.
bool ChooseText(std::string_view value, std::string_view named, sources::TextChoice* choice,
                std::unique_ptr<text::TextConverter>* toCodepage, std::string* error) {
  if (value.empty()) return true;
  if (value == "raw") {
    choice->kind = sources::TextChoice::Kind::kRaw;
    return true;
  }
  int codepage = text::ParseCodepageNumber(value).value_or(0);
  std::string said = std::string(named) + "=" + std::string(value);
  if (codepage == 0) {
    *error = said + ": expected a Windows codepage number (such as 1252) or raw";
    return false;
  }
  *toCodepage = text::TextConverter::Open("UTF-8", text::CodepageCharset(codepage));
  if (!*toCodepage) {
    *error = said + ": this system cannot convert text to codepage " + std::string(value);
    return false;
  }
  *choice = sources::TextChoice{sources::TextChoice::Kind::kNamed, codepage, toCodepage->get()};
  return true;
}

// Installs the registry the sources name, its text taken as
// KORMALD_CODEPAGE says.
bool OpenRegistry(const std::vector<std::string>& paths, std::string* error) {
  std::vector<sources::SourceFile> files;
  if (!ChooseSourceFiles(paths, &files, error)) return false;
  const char* codepage = std::getenv(kCodepageVariable);
  std::unique_ptr<store::Registry> reg =
      g_codepageChoice ? LoadRegistry(files, *g_codepageChoice, "codepage", error)
                       : LoadRegistry(files, codepage != nullptr ? codepage : "", kCodepageVariable, error);
  if (!reg) return false;
  for (const std::string& note : reg->LoadNotes()) Say("%s: %s\n", g_program, note.c_str());
  g_linesLeftOut = g_linesLeftOut || reg->SomethingLeftOut();
  store::InstallRegistry(std::move(reg));
  return true;
}

}  // namespace

#if defined(_WIN64)
HostArguments::HostArguments(int argc, wchar_t** argv) {
  for (int i = 0; i < argc; ++i) arguments_.push_back(text::Utf8Of(argv[i]));
  for (std::string& argument : arguments_) pointers_.push_back(argument.data());
  pointers_.push_back(nullptr);
}
#endif

const char* HostVariable(const char* name) {
#if defined(_WIN64)
  static std::vector<std::unique_ptr<std::string>> held;
  const wchar_t* value = ::_wgetenv(text::WideOf(name).c_str());
  if (value == nullptr) return nullptr;
  held.push_back(std::make_unique<std::string>(text::Utf8Of(value)));
  return held.back()->c_str();
#else
  return std::getenv(name);
#endif
}

bool ChooseSourceFiles(const std::vector<std::string>& paths, std::vector<sources::SourceFile>* files,
                       std::string* error) {
  std::vector<std::string> chosen = paths;
  if (chosen.empty()) {
    const char* list = HostVariable(kRegistryVariable);
    if (list == nullptr) {
      *error = std::string(kRegistryVariable) +
               " is not set; set it to a .reg export, a SYSTEM.DAT or USER.DAT hive, a Windows directory, or a "
               "disk image (several joined by '" + sources::kListSeparator + "')";
      return false;
    }
    chosen = sources::SplitSourceList(list);
  }
  if (sources::ListSources(chosen, kRegistryVariable, files, error)) return true;
#ifdef _WIN32
  // "C:\A.DAT:C:\B.DAT", as the list is written elsewhere: an entry that
  // names nothing and holds a ':' past its drive letter's.
  for (const std::string& entry : chosen) {
    if (entry.find(':', 2) != std::string::npos && error->starts_with(entry + ": ")) {
      *error += " (on Windows the entries of " + std::string(kRegistryVariable) + " are joined by ';')";
      break;
    }
  }
#endif
  return false;
}

std::string DamageMessage(const store::Damage& damage, std::string_view path) {
  // A key whose name could not be read is known only by its parent.
  std::string key = path.ends_with('\\') ? "a key under " + std::string(path.substr(0, path.size() - 1))
                                          : std::string(path);
  char offset[32];
  std::snprintf(offset, sizeof offset, "0x%" PRIx64, damage.offset);
  return damage.file + ": offset " + offset + ": " + key + ": " + damage.what + "; left out with its subkeys";
}

bool ListSourceText(std::string_view list, std::vector<sources::SourceFile>* files, std::string* error) {
  return sources::ListSources(sources::SplitSourceList(list), kRegistryVariable, files, error);
}

std::unique_ptr<store::Registry> LoadRegistry(const std::vector<sources::SourceFile>& files, std::string_view codepage,
                                              std::string_view named, std::string* error) {
  sources::TextChoice choice;
  std::unique_ptr<text::TextConverter> toCodepage;
  if (!ChooseText(codepage, named, &choice, &toCodepage, error)) return nullptr;
  return sources::LoadSourceFiles(files, choice, error);
}

bool OpenRegistryForTool(const char* program, const std::vector<std::string>& paths) {
  g_program = program;
#ifdef _WIN32
  // Windows with no file named: its own registry, whose A functions give
  // text in the ANSI codepage.
  if (paths.empty() && HostVariable(kRegistryVariable) == nullptr && sources::UsePlatformRegistry()) {
    UseCodepage(static_cast<int>(GetACP()));
    return true;
  }
#endif
  std::string error;
  if (!OpenRegistry(paths, &error)) {
    Say("%s: %s\n", program, error.c_str());
    return false;
  }
  store::SetDamageReporter(ReportDamage);
  g_damagedPaths.clear();
  UseCodepage(kInstalledCodepage);
  return true;
}

std::string ToUser(std::string_view registryText) {
  text::TextConverter* toUser = text::IsAscii(registryText) ? nullptr : ToUserConverter();
  return toUser != nullptr ? toUser->Convert(registryText) : std::string(registryText);
}

PatternText PatternFromUser(std::string_view userText, std::string* stored) {
  if (text::IsAscii(userText)) {
    stored->assign(userText);
    return PatternText::kReady;
  }
  if (!g_textReady) SetUpText();
  if (!g_fromUser) {
    stored->assign(userText);
    return PatternText::kReady;
  }
  if (g_fromUser->ConvertExactly(userText, stored)) return PatternText::kReady;
  // Which of the two: text the locale does not hold, or a character the
  // codepage lacks.
  std::string utf8;
  auto check = text::TextConverter::Open(g_userCharset, "UTF-8");
  return check && !check->ConvertExactly(userText, &utf8) ? PatternText::kInvalid : PatternText::kMatchesNothing;
}

bool ConvertPattern(const char* program, const char* pattern, std::string* stored, bool* matchesNothing) {
  *matchesNothing = false;
  if (pattern == nullptr) return true;
  switch (PatternFromUser(pattern, stored)) {
    case PatternText::kReady:
      return true;
    case PatternText::kMatchesNothing:
      *matchesNothing = true;
      Say("%s: the pattern holds a character codepage %d cannot hold: no key matches it\n", program,
          g_textCodepage);
      return true;
    case PatternText::kInvalid:
      break;
  }
  Say("%s: the pattern is not valid text in the locale's charset (%s)\n", program,
      g_userCharset.c_str());
  return false;
}

void PrintText(std::string_view registryText) {
  text::TextConverter* toUser = text::IsAscii(registryText) ? nullptr : ToUserConverter();
  if (toUser == nullptr) {
    std::fwrite(registryText.data(), 1, registryText.size(), stdout);
    return;
  }
  std::string shown = toUser->Convert(registryText);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}

bool RegistryIncomplete() { return g_damageMet || g_linesLeftOut; }

const std::vector<std::string>& DamagedPaths() { return g_damagedPaths; }

int TextCodepage() {
  return g_textCodepage == kInstalledCodepage ? sources::RegistryCodepage(store::InstalledRegistry()) : g_textCodepage;
}

void BinaryOutput() {
#ifdef _WIN32
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

std::string DescribeResult(int code) {
#ifdef _WIN32
  // The platform's own words for its codes.
  if (code > 0) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    if (n > 0) return std::to_string(code) + " " + std::string(text, n);
  }
#endif
  struct Name {
    int code;
    const char* name;
  } static const names[] = {
      {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
      {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
      {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
      {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
      {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
      {ERROR_BAD_PATHNAME, "ERROR_BAD_PATHNAME"},
      {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
      {ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
      {ERROR_BADDB, "ERROR_BADDB"},
      {ERROR_BADKEY, "ERROR_BADKEY"},
      {MATCH_ERROR, "MATCH_ERROR"},
  };
  std::string text = std::to_string(code);
  if (code == WALK_FAILED) return text + " (" + kWalkFailedCauses + ")";
  for (const Name& n : names) {
    if (n.code == code) return text + " " + n.name;
  }
  return text;
}

namespace {
MessageSink& Sink() {
  static MessageSink sink;
  return sink;
}
}  // namespace

void EndRun() {
  if (g_damageUnnamed != 0) {
    Say("%s: %zu more damaged key%s, each left out with its subkeys, not named one by one (%s=1 names every "
        "one)\n", g_program, g_damageUnnamed, g_damageUnnamed == 1 ? "" : "s", kAllDamageVariable);
  }
  g_damageNamed = 0;
  g_damageUnnamed = 0;
  g_damageMet = false;
  g_linesLeftOut = false;
  g_damagedPaths.clear();
}

void SetCodepageChoice(std::optional<std::string> choice) { g_codepageChoice = std::move(choice); }

void SetMessageSink(MessageSink sink) { Sink() = std::move(sink); }

void Say(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  if (!Sink()) {
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    return;
  }
  std::va_list again;
  va_copy(again, arguments);
  int n = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string message(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(message.data(), message.size() + 1, format, again);
  va_end(again);
  Sink()(message);
}

void PreferHugePages([[maybe_unused]] void* start, [[maybe_unused]] std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Only whole huge pages inside the region can be backed so.
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  auto from = (reinterpret_cast<std::uintptr_t>(start) + kHuge - 1) & ~(kHuge - 1);
  auto to = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(kHuge - 1);
  if (from < to) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#endif
}

bool FinishOutput(const char* program) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
#ifdef _WIN32
    // The reader went away (more, quit): Windows reports it as a failed
    // write (EINVAL from ERROR_NO_DATA) where a POSIX system ends the
    // program quietly with SIGPIPE. Quiet here too.
    DWORD last = GetLastError();
    if (last == ERROR_NO_DATA || last == ERROR_BROKEN_PIPE || errno == EPIPE) return false;
#endif
    Say("%s: cannot write the output: %s\n", program, std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace tools
