#include "testkit/test_support.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "regfile/regfile.h"

extern char** environ;

namespace testing_support {

namespace {
int ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}
}  // namespace

void InstallReg(std::string_view body) {
  auto reg = std::make_unique<store::Registry>();
  std::string text = "REGEDIT4\n\n" + std::string(body);
  std::string error;
  ASSERT_TRUE(regfile::LoadRegFile(*reg, text, "test.reg", &error)) << error;
  // A fixture whose lines the loader leaves out is a fault of the test.
  ASSERT_EQ(reg->LoadNotes(), std::vector<std::string>{});
  store::InstallRegistry(std::move(reg));
}

namespace {

void DumpNode(store::Registry& reg, std::uint32_t id, std::vector<std::string>& out) {
  std::string path = reg.PathOf(id);
  out.push_back(path);
  for (const store::Value& v : reg.Values(id)) {
    // The data as the registry calls hand it out.
    std::string served(v.data);
    if (store::AddsTerminator(v)) served += '\0';
    out.push_back(ValueLine(path, v.name, v.type, served));
  }
  // A copy: dumping a subkey decodes more keys, which may move the list.
  std::vector<std::uint32_t> children = reg.Subkeys(id);
  for (std::uint32_t child : children) DumpNode(reg, child, out);
}

}  // namespace

std::string ValueLine(std::string_view path, std::string_view name, std::uint32_t type, std::string_view served) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : served) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return std::string(path) + "|" + std::string(name) + "|" + std::to_string(type) + "|" + hex;
}

std::vector<std::string> DumpRegistry() {
  std::vector<std::string> out;
  store::Registry& reg = store::InstalledRegistry();
  DumpNode(reg, reg.RootNode(store::Root::kLocalMachine), out);
  DumpNode(reg, reg.RootNode(store::Root::kUsers), out);
  DumpNode(reg, reg.RootNode(store::Root::kDynData), out);
  return out;
}

std::string ScratchDir() {
  static int counter = 0;
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "none";
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("kormald-test-" + std::to_string(ProcessId())) /
                              (name + "-" + std::to_string(counter++));
  std::filesystem::create_directories(dir);
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                      ("kormald-test-" + std::to_string(ProcessId())),
                                  ignored);
    });
  }
  return dir.string();
}

std::string WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << path;
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

namespace {

RunResult RunOnce(const std::string& program, const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env, const std::string& stdoutPath) {
#ifdef _WIN32
  // The Windows build runs its tests in-process; programs are compared
  // under Wine by tests/windows/differential.
  (void)program, (void)args, (void)env, (void)stdoutPath;
  ADD_FAILURE() << "running programs is not done in the Windows build";
  return {};
#else
  std::string dir = ScratchDir();
  std::string outPath = stdoutPath.empty() ? dir + "/stdout" : stdoutPath;
  std::string errPath = dir + "/stderr";

  // Output bytes are compared as the registry holds them: the C locale,
  // and no codepage from the environment, unless a test asks.
  std::map<std::string, std::string> chosen = {{"LC_ALL", "C"}, {"KORMALD_CODEPAGE", "\x01unset"}};
  for (const auto& [key, value] : env) chosen[key] = value;
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string key = entry.substr(0, entry.find('='));
    if (chosen.count(key) == 0) envStrings.push_back(entry);
  }
  for (const auto& [key, value] : chosen) {
    if (value != "\x01unset") envStrings.push_back(key + "=" + value);
  }
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  // The programs this build made run as it does: through the emulator of
  // a 32-bit build, where there is one; anything else as it is.
  std::vector<std::string> argStrings{program};
  std::string run = program;
  std::string emulator = KORMALD_EMULATOR;
  if (!emulator.empty() && program.starts_with(KORMALD_BINARY_DIR_PREFIX)) {
    argStrings.insert(argStrings.begin(), emulator);
    run = emulator;
  }
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  RunResult result;
  int rc = posix_spawn(&pid, run.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot run " << program;
    return result;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (stdoutPath.empty()) result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
#endif
}

#ifndef _WIN32
// The Windows build of a program of this build's, where
// KORMALD_WINDOWS_TWIN names that build's tree and the test has not said
// KORMALD_TWIN=off, in the program's environment or under LinuxOnly (a
// case only one host can hold): empty otherwise.
std::string WindowsTwin(const std::string& program, const std::map<std::string, std::string>& env) {
  const char* tree = std::getenv("KORMALD_WINDOWS_TWIN");
  auto off = env.find("KORMALD_TWIN");
  const char* scoped = std::getenv("KORMALD_TWIN");
  if (tree == nullptr || *tree == '\0' || (off != env.end() && off->second == "off") ||
      (scoped != nullptr && std::string(scoped) == "off")) {
    return "";
  }
  for (const char* tool : {"lister/kormald", "tools/regwalk"}) {
    if (program == std::string(KORMALD_BINARY_DIR_PREFIX) + tool) return std::string(tree) + "/" + tool + ".exe";
  }
  return "";
}

// Text as the Linux build writes it: Windows' line ends as LF, and its
// separator as '/', alone or escaped as the listing's text and JSON write
// it ("\\\\"), where the two hosts join a folder and a file each its own
// way. Registry paths fold alike on both sides, so they still compare.
std::string AsOnLinux(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') continue;
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '\\') ++i;
    out += '/';
  }
  // Wine's drive Z: is the Unix root, where a Windows path made absolute
  // lies.
  for (std::size_t at = out.find("Z:/"); at != std::string::npos; at = out.find("Z:/", at)) out.erase(at, 2);
  return out;
}
#endif

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env, const std::string& stdoutPath) {
  RunResult result = RunOnce(program, args, env, stdoutPath);
#ifndef _WIN32
  // Every run of the tools is also a check of the Windows build under
  // Wine, on the same files: the same status, output and messages.
  if (std::string twin = WindowsTwin(program, env); !twin.empty()) {
    std::vector<std::string> wineArgs{twin};
    wineArgs.insert(wineArgs.end(), args.begin(), args.end());
    // Wine reads the command line, the environment and file names in the
    // Unix locale's charset: UTF-8, as a Linux system names its files,
    // while its Windows side keeps codepage 1252.
    std::map<std::string, std::string> wineEnv = env;
    wineEnv.emplace("LC_ALL", "C.UTF-8");
    RunResult windows = RunOnce("/usr/bin/wine", wineArgs, wineEnv, "");
    std::string linuxOut = stdoutPath.empty() ? result.out : ReadFile(stdoutPath);
    // Where Linux reads a VHDX or an E01, Windows refuses it by name.
    if (windows.err.find(": this build reads VHDX/E01 images only on Linux") != std::string::npos) {
      EXPECT_EQ(windows.status, 1) << windows.err;
      return result;
    }
    EXPECT_EQ(windows.status, result.status) << "the Windows build's status, on " << program;
    EXPECT_EQ(AsOnLinux(windows.out), AsOnLinux(linuxOut)) << "the Windows build's output, on " << program;
    EXPECT_EQ(AsOnLinux(windows.err), AsOnLinux(result.err)) << "the Windows build's messages, on " << program;
  }
#endif
  return result;
}

RunResult RunProgramWithPeak(const std::string& program, const std::vector<std::string>& args,
                              const std::map<std::string, std::string>& env) {
  // A spawned child's own count starts at its parent's size, so GNU time,
  // small itself, runs the program and reports what the program held.
  std::string peakPath = ScratchDir() + "/peak";
  std::vector<std::string> timed{"-q", "-f", "%M", "-o", peakPath};
  std::string emulator = KORMALD_EMULATOR;
  if (!emulator.empty() && program.starts_with(KORMALD_BINARY_DIR_PREFIX)) timed.push_back(emulator);
  timed.push_back(program);
  timed.insert(timed.end(), args.begin(), args.end());
  RunResult result = RunProgram("/usr/bin/time", timed, env);
  std::string peak = ReadFile(peakPath);
  result.peakKiB = peak.empty() ? -1 : std::stol(peak.substr(peak.find_last_of('\n', peak.size() - 2) + 1));
  return result;
}

std::string SourceDir() { return KORMALD_SOURCE_DIR; }

std::string SharedHive() {
  std::string path = SourceDir() + "/../shared/data/win9x/SYSTEM.DAT";
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return path;
  // CI names what it must test against: a missing hive there is a fault,
  // not a skip.
  if (std::getenv("KORMALD_REQUIRE_REFERENCE") != nullptr) {
    std::fprintf(stderr, "%s is missing, and KORMALD_REQUIRE_REFERENCE asks for it\n", path.c_str());
    std::exit(1);
  }
  return "";
}

#ifndef _WIN32
LinuxOnly::LinuxOnly() { ::setenv("KORMALD_TWIN", "off", 1); }
LinuxOnly::~LinuxOnly() { ::unsetenv("KORMALD_TWIN"); }
#endif

}  // namespace testing_support
