// regwalk --diff over the roots a Windows 9x system shows beside its stored
// trees (HKEY_CURRENT_CONFIG, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER): a key
// one of them cannot read is never a deletion, and a change is listed once.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hive/layout.h"
#include "testkit/hive_writer.h"
#include "testkit/test_support.h"

namespace {

using hive_writer::Key;
using testing_support::RunProgram;
using testing_support::ScratchDir;
using testing_support::WriteFile;

const std::string kRegwalk = REGWALK_BINARY;

Key Sz(std::string name, std::vector<hive_writer::Value> values = {}, std::vector<Key> children = {}) {
  return Key{std::move(name), std::move(values), std::move(children)};
}
hive_writer::Value String(std::string name, std::string text) { return {std::move(name), 1, text + '\0'}; }

// A SYSTEM.DAT's tree, small but with every view's target: the current
// hardware profile chosen by IDConfigDB, SOFTWARE\Classes; settings is the
// value a change touches.
Key Machine(const std::string& settings) {
  return Sz("", {}, {
      Sz("Config", {}, {Sz("0001", {}, {Sz("Display", {}, {Sz("Settings", {String("Res", settings)})}),
                                         Sz("Software", {}, {Sz("Vendor", {String("v", "1")})})})}),
      Sz("SOFTWARE", {}, {Sz("Classes", {}, {Sz(".txt", {String("", "txtfile")}), Sz("txtfile")})}),
      Sz("System", {}, {Sz("CurrentControlSet", {}, {Sz("Control", {}, {
          Sz("IDConfigDB", {String("CurrentConfig", "0001")})})})}),
  });
}

// The index, in the writer's depth-first order, of the key at a path of
// names below the root.
std::size_t IndexOf(const Key& root, const std::vector<std::string>& path) {
  std::size_t index = 0;
  const Key* at = &root;
  for (const std::string& name : path) {
    ++index;  // past at itself
    bool found = false;
    for (const Key& child : at->children) {
      if (child.name == name) {
        at = &child;
        found = true;
        break;
      }
      // Every key of the subtree before it.
      std::vector<const Key*> pending{&child};
      while (!pending.empty()) {
        const Key* k = pending.back();
        pending.pop_back();
        ++index;
        for (const Key& c : k->children) pending.push_back(&c);
      }
    }
    EXPECT_TRUE(found) << name;
  }
  return index;
}

// The hive with one key's record lost: it and its subtree cannot be read.
std::string Damaged(const Key& tree, const std::vector<std::string>& path) {
  hive_writer::Hive hive = hive_writer::Write(tree);
  hive_writer::PutU16(hive.bytes, hive.entryAt[IndexOf(tree, path)] + hive::layout::entry::kRecord, 0xFFFE);
  return hive.bytes;
}

TEST(DiffViews, AKeyAViewCannotReadIsNeverADeletion) {
  struct Row {
    const char* what;
    std::vector<std::string> lost;  // below HKEY_LOCAL_MACHINE
    std::string pattern;
  } rows[] = {
      {"HKEY_CURRENT_CONFIG, all roots", {"Config", "0001", "Software"}, ""},
      {"HKEY_CURRENT_CONFIG alone", {"Config", "0001", "Software"}, "HKEY_CURRENT_CONFIG\\**"},
      {"HKEY_CURRENT_CONFIG by its short name", {"Config", "0001", "Software"}, "HKCC\\**"},
      {"the profile HKEY_CURRENT_CONFIG shows", {"Config", "0001"}, "HKEY_CURRENT_CONFIG\\**"},
      {"the key that chooses the profile", {"System", "CurrentControlSet", "Control", "IDConfigDB"},
       "HKEY_CURRENT_CONFIG\\**"},
      {"HKEY_CLASSES_ROOT", {"SOFTWARE", "Classes", ".txt"}, "HKEY_CLASSES_ROOT\\**"},
      {"all of HKEY_CLASSES_ROOT", {"SOFTWARE", "Classes"}, "HKEY_CLASSES_ROOT\\**"},
  };
  std::string dir = ScratchDir();
  std::string intact = WriteFile(dir + "/SYSTEM.DAT", hive_writer::Write(Machine("640")).bytes);
  for (const Row& row : rows) {
    std::string cut = WriteFile(dir + "/cut.dat", Damaged(Machine("640"), row.lost));
    std::vector<std::string> args = {"--diff", intact, cut};
    if (!row.pattern.empty()) args.push_back(row.pattern);
    auto diff = RunProgram(kRegwalk, args);
    EXPECT_EQ(diff.status, 3) << row.what << "\n" << diff.err;
    EXPECT_EQ(diff.out.find("[-"), std::string::npos) << row.what << "\n" << diff.out;
    // And backwards: what OLD could not read is never an addition.
    args[1] = cut;
    args[2] = intact;
    auto back = RunProgram(kRegwalk, args);
    EXPECT_EQ(back.status, 3) << row.what << "\n" << back.err;
    EXPECT_EQ(back.out, "REGEDIT4\r\n\r\n") << row.what;
  }
}

TEST(DiffViews, HKEY_CURRENT_USERCarriesTheDamageOfHKEY_USERS) {
  Key users = Sz("", {}, {Sz(".DEFAULT", {}, {Sz("Software", {}, {Sz("Vendor", {String("v", "1")})})})});
  std::string dir = ScratchDir();
  std::string intact = WriteFile(dir + "/USER.DAT", hive_writer::Write(users).bytes);
  std::filesystem::create_directories(dir + "/cut");
  std::string cut = WriteFile(dir + "/cut/USER.DAT", Damaged(users, {".DEFAULT", "Software"}));
  auto diff = RunProgram(kRegwalk, {"--diff", intact, cut, "HKEY_CURRENT_USER\\**"});
  EXPECT_EQ(diff.status, 3) << diff.err;
  EXPECT_EQ(diff.out, "REGEDIT4\r\n\r\n");
}

// One change under the profile HKEY_CURRENT_CONFIG shows: listed and
// counted once, under the root that stores it, unless the pattern reaches
// it only through the view.
TEST(DiffViews, AChangeIsListedOnce) {
  std::string dir = ScratchDir();
  std::string before = WriteFile(dir + "/old.dat", hive_writer::Write(Machine("640")).bytes);
  std::string after = WriteFile(dir + "/new.dat", hive_writer::Write(Machine("800")).bytes);
  struct Row {
    std::string pattern;
    std::string root;  // where the change is listed
  } rows[] = {
      {"", "HKEY_LOCAL_MACHINE\\Config\\0001"},
      {"**", "HKEY_LOCAL_MACHINE\\Config\\0001"},
      {"HKEY_*\\Display\\**", "HKEY_CURRENT_CONFIG"},
      {"HKEY_LOCAL_MACHINE\\Config\\**", "HKEY_LOCAL_MACHINE\\Config\\0001"},
      {"HKEY_CURRENT_CONFIG\\**", "HKEY_CURRENT_CONFIG"},
      {"HKCC\\Display", "HKEY_CURRENT_CONFIG"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"--diff", before, after};
    if (!row.pattern.empty()) args.push_back(row.pattern);
    auto diff = RunProgram(kRegwalk, args);
    EXPECT_EQ(diff.status, 4) << row.pattern << "\n" << diff.err;
    EXPECT_EQ(diff.out, "REGEDIT4\r\n\r\n[" + row.root + "\\Display\\Settings]\r\n\"Res\"=\"800\"\r\n\r\n")
        << row.pattern;
    args.push_back("-v");
    auto summary = RunProgram(kRegwalk, args);
    EXPECT_EQ(summary.out, "value changed: " + row.root + "\\Display\\Settings: \"Res\"=\"640\" -> \"800\"\n"
                           "0 keys added, 0 removed; 0 values added, 0 removed, 1 changed\n")
        << row.pattern;
  }
}

TEST(DiffViews, TheRealHiveCutShortDeletesNothing) {
  std::string shared = testing_support::SharedHive();
  if (shared.empty()) GTEST_SKIP() << "no shared hive";
  std::string whole = testing_support::ReadFile(shared);
  std::string cut = WriteFile(ScratchDir() + "/cut.dat", whole.substr(0, 700000));
  for (const char* pattern : {"", "HKEY_CURRENT_CONFIG\\**", "HKEY_CLASSES_ROOT\\**"}) {
    std::vector<std::string> args = {"--diff", shared, cut};
    if (*pattern != '\0') args.push_back(pattern);
    auto diff = RunProgram(kRegwalk, args);
    EXPECT_EQ(diff.status, 3) << pattern;
    EXPECT_EQ(diff.out.find("[-"), std::string::npos) << pattern << "\n" << diff.out.substr(0, 2000);
  }
}

// --diff --json: a change a line, in the .reg diff's order, and enough in
// each to turn OLD into NEW from the JSON alone, byte for byte.
std::string Applied(const std::string& oldJson, const std::string& diffJson) {
  std::vector<std::string> args = {std::string(KORMALD_SOURCE_DIR) + "/tests/apply_json_diff.py", "cp1252", oldJson};
  if (!diffJson.empty()) args.push_back(diffJson);
  auto applied = RunProgram("/usr/bin/python3", args);
  EXPECT_EQ(applied.status, 0) << applied.err;
  return applied.out;
}

// The paths a diff names, in order, each once where it comes in a row.
std::vector<std::string> PathsOf(const std::string& diff, bool json) {
  std::vector<std::string> paths;
  std::size_t from = 0;
  while (from < diff.size()) {
    std::size_t end = diff.find('\n', from);
    std::string line = diff.substr(from, end - from);
    from = end == std::string::npos ? diff.size() : end + 1;
    std::string path;
    if (json) {
      // The exact bytes where the text is not, else the text unescaped.
      if (std::size_t hex = line.find("\"path_hex\":\""); hex != std::string::npos) {
        for (std::size_t at = hex + 12; line[at] != '"'; at += 2) {
          path += static_cast<char>(std::stoi(line.substr(at, 2), nullptr, 16));
        }
      } else if (std::size_t at = line.find("\"path\":\""); at != std::string::npos) {
        for (at += 8; line[at] != '"'; ++at) path += line[at] == '\\' ? line[++at] : line[at];
      } else {
        continue;
      }
    } else if (line.starts_with("[")) {
      path = line.substr(line.starts_with("[-") ? 2 : 1);
      path = path.substr(0, path.rfind(']'));
    } else {
      continue;
    }
    if (paths.empty() || paths.back() != path) paths.push_back(path);
  }
  return paths;
}

TEST(DiffJson, TurnsOldIntoNewFromTheJsonAlone) {
  std::string dir = ScratchDir();
  std::string sample = std::string(KORMALD_SOURCE_DIR) + "/samples/win98se.reg";
  // Bytes no codepage 1252 text holds exactly, in a path, a name and data.
  std::string odd = WriteFile(dir + "/odd.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\T\\K\x81]\r\n"
                                                 "\"n\x81\"=\"d\x81\"\r\n\"gone\"=dword:00000001\r\n"
                                                 "\"bin\"=hex:00,01\r\n\"multi\"=hex(7):61,00,62,00,00\r\n");
  std::string odder = WriteFile(dir + "/odder.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\T\\K\x81]\r\n"
                                                     "\"n\x81\"=\"e\x81\"\r\n\"bin\"=hex:00,02\r\n"
                                                     "\"multi\"=hex(7):61,00,63,00,00\r\n\"d\"=dword:00000002\r\n"
                                                     "[HKEY_LOCAL_MACHINE\\T\\New\x81]\r\n@=\"x\"\r\n");
  std::vector<std::pair<std::string, std::string>> pairs = {{odd, odder}, {odder, odd}, {sample, sample}};
  if (std::string shared = testing_support::SharedHive(); !shared.empty()) {
    pairs.emplace_back(sample, shared);
    pairs.emplace_back(shared, sample);
  }
  const std::string pattern = "HKEY_LOCAL_MACHINE\\**";
  for (const auto& [before, after] : pairs) {
    auto diff = RunProgram(kRegwalk, {"--diff", before, after, "--json", pattern});
    EXPECT_EQ(diff.status, before == after ? 0 : 4) << before << " " << after << "\n" << diff.err;
    auto old = RunProgram(kRegwalk, {"-f", before, "--json", pattern});
    auto now = RunProgram(kRegwalk, {"-f", after, "--json", pattern});
    std::string oldJson = WriteFile(dir + "/old.json", old.out);
    std::string diffJson = WriteFile(dir + "/diff.json", diff.out);
    std::string nowJson = WriteFile(dir + "/new.json", now.out);
    EXPECT_EQ(Applied(oldJson, diffJson), Applied(nowJson, "")) << before << " -> " << after;
    // In the .reg diff's order.
    auto reg = RunProgram(kRegwalk, {"--diff", before, after, pattern});
    EXPECT_EQ(PathsOf(diff.out, true), PathsOf(reg.out, false)) << before << " -> " << after;
  }
  auto usage = RunProgram(kRegwalk, {"--diff", odd, odder, "--json", "-v"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err, "regwalk: --json does not go with -v, -e or -E\nTry 'regwalk --help'.\n");
}

}  // namespace
