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

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
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

}  // namespace testing_support
