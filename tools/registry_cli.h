// tools/ owns what both command-line tools share: the one way every tool
// chooses its registry (the paths given, else KORMALD_REGISTRY; the
// codepage KORMALD_CODEPAGE names), printing in the user's charset, the
// exit statuses, and how problems reach the user. It is the only folder
// that reads the environment. tools/regwalk/ holds the regwalk command;
// kormald's own code is in lister/.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sources/sources.h"
#include "tools/exit_status.h"

namespace tools {

inline constexpr char kRegistryVariable[] = "KORMALD_REGISTRY";

// The command line as the 64-bit Windows build's programs hold it: they
// start at wmain (they run on Windows NT alone), and their UTF-16
// arguments are held as UTF-8, so that a path outside the ANSI codepage (a
// machine folder named in Cyrillic on a Western Windows) reaches the file
// calls whole. Elsewhere main's argv serves. Lives as long as main.
class HostArguments {
 public:
#if defined(_WIN64)
  HostArguments(int argc, wchar_t** argv);
  char** argv() { return pointers_.data(); }
#endif

 private:
  std::vector<std::string> arguments_;
  std::vector<char*> pointers_;
};

// An environment variable as the command line is held (UTF-8 on the
// 64-bit Windows build); null where it is not set.
const char* HostVariable(const char* name);
// The codepage of the registry's text: a number overrides what the registry
// says (its ACP value, else 1252); raw keeps every byte as stored and
// prints it so.
inline constexpr char kCodepageVariable[] = "KORMALD_CODEPAGE";
// Set (to anything but nothing): every damaged key is named, not only the
// first kNamedNotesPerFile of a run.
inline constexpr char kAllDamageVariable[] = "KORMALD_ALL_DAMAGE";

// The files of the sources to read: the given paths when there are any,
// else those of KORMALD_REGISTRY. False with a one-line message when it is
// unset or names something that cannot be a source.
bool ChooseSourceFiles(const std::vector<std::string>& paths, std::vector<sources::SourceFile>* files,
                       std::string* error);

// What a damaged key lost, in one line: its file, its offset, its path
// (a parent's and a backslash for a key whose name could not be read),
// what is wrong, and that it is left out with its subkeys.
std::string DamageMessage(const store::Damage& damage, std::string_view path);

// The files a list of sources names, joined as KORMALD_REGISTRY joins them,
// with the messages the tools give for it.
bool ListSourceText(std::string_view list, std::vector<sources::SourceFile>* files, std::string* error);

// Loads the registry of files without installing it, its text taken as
// codepage says: empty, as the registry says (its ACP value, else 1252); a
// number, that codepage; raw, every byte as stored. named is how a message
// names the choice (KORMALD_CODEPAGE). Null with a one-line message.
std::unique_ptr<store::Registry> LoadRegistry(const std::vector<sources::SourceFile>& files, std::string_view codepage,
                                              std::string_view named, std::string* error);

// Opens the registry from paths, or from KORMALD_REGISTRY when there are
// none, and reports damage found later on standard error, one line per
// damaged key. On failure prints one line "PROGRAM: what is wrong" on
// standard error and returns false.
bool OpenRegistryForTool(const char* program, const std::vector<std::string>& paths);

// Text as the registry holds it (its codepage) in the user's charset (the
// locale's): characters the locale cannot show are transliterated or
// written as '?'. Unchanged with KORMALD_CODEPAGE=raw, under the C locale,
// and where the locale's charset is the registry's codepage. Formatting
// (padding to columns) happens before, in the codepage.
std::string ToUser(std::string_view registryText);

// A pattern typed in the user's charset, as the registry's codepage writes
// it (unchanged where ToUser changes nothing). Conversion never makes a
// wildcard of a character: one the codepage cannot hold matches no key.
enum class PatternText {
  kReady,           // *stored holds the pattern
  kMatchesNothing,  // a character the registry's codepage cannot hold
  kInvalid,         // bytes that are not text in the user's charset
};
PatternText PatternFromUser(std::string_view userText, std::string* stored);

// Converts a tool's pattern: true with *stored ready to match, or with
// *matchesNothing set after one line on standard error (the run goes on and
// lists nothing); false after one line on standard error for a pattern that
// is not text at all (the run fails).
bool ConvertPattern(const char* program, const char* pattern, std::string* stored, bool* matchesNothing);
// The codepage the registry's text is in (0: unknown, kept as stored).
int TextCodepage();

// Writes registry text to standard output in the user's charset.
void PrintText(std::string_view registryText);

// Lets standard output carry bytes as they are (exports write their own
// CR LF); listings keep the C runtime's text mode, CR LF on Windows.
void BinaryOutput();

// Whether the registry has shown itself incomplete since it was opened: a
// damaged key met (and reported), or a source's lines left out as it was
// read (reported as it was opened).
bool RegistryIncomplete();
// The paths of the damaged keys met since the registry was last opened: a
// key's own, or for one whose name could not be read, its parent's and a
// backslash.
const std::vector<std::string>& DamagedPaths();

// A walk or registry result for a message: the number and, where it has
// one, its name ("1009 ERROR_BADDB").
std::string DescribeResult(int code);

// Asks the system to back a large region that is written from end to end
// with huge pages where it offers them (Linux's transparent huge pages): a
// fault for every 2 MiB instead of every 4 KiB. A hint; nothing changes
// where it is not taken.
void PreferHugePages(void* start, std::size_t size);

// Says how many damaged keys went unnamed, the line the tools print as
// they exit, and forgets what the run met (damage, lines left out): for a
// program that runs a tool's command more than once (the Python
// package's diff).
void EndRun();

// How the registries opened from now on take their text, in place of
// KORMALD_CODEPAGE, as LoadRegistry's codepage does (the Python package's
// choice); none goes back to the variable.
void SetCodepageChoice(std::optional<std::string> choice);

// Where the tools' messages go: standard error, unless a program that
// keeps them (the Python package, running regwalk's diff) gives a sink of
// its own, which then hears each message whole, line end and all. Null
// goes back to standard error.
using MessageSink = std::function<void(std::string_view message)>;
void SetMessageSink(MessageSink sink);
// Writes a message as fprintf writes to standard error, or hands it to the
// sink.
void Say(const char* format, ...);

// Flushes standard output; on failure prints why and returns false, so that
// a listing that never reached its reader is not reported as a success.
bool FinishOutput(const char* program);

}  // namespace tools
