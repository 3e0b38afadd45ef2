// The Win32 contracts of the registry calls over the store.
#include <gtest/gtest.h>

#include <set>

#include <algorithm>
#include <cstring>

#include "testkit/test_support.h"
#include "store/store.h"
#include "store/store_testing.h"
#include "winreg/winreg.h"

namespace {

using testing_support::InstallReg;

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallReg(R"([HKEY_LOCAL_MACHINE\Software\Vendor]
@="default text"
"Name"="Value"
"Number"=dword:01020304
"Blob"=hex:de,ad
"Empty"=hex:
"Unterminated"=hex(1):41,42
"EmptyString"=hex(2):

[HKEY_LOCAL_MACHINE\Software\Vendor\Child One]
[HKEY_LOCAL_MACHINE\Software\Vendor\b]
[HKEY_LOCAL_MACHINE\Software\Vendor\A]
[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\.txt]
@="txtfile"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\IDConfigDB]
"CurrentConfig"=hex(1):30,30,30,32
[HKEY_LOCAL_MACHINE\Config\0001\Display]
[HKEY_LOCAL_MACHINE\Config\0002\Printers]
[HKEY_USERS\.DEFAULT\Control Panel]
)");
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor", 0, 0, &vendor_), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(vendor_);
    EXPECT_EQ(store::OpenHandleCount(), 0U);
  }
  HKEY vendor_ = nullptr;
};

TEST_F(Store, OpensByPathWithoutRegardToCase) {
  struct Row {
    HKEY from;
    const char* path;
    LONG expected;
  } rows[] = {
      {HKEY_LOCAL_MACHINE, "software\\VENDOR\\child one", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, "SOFTWARE", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, "", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, nullptr, ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, "Software\\Missing", ERROR_FILE_NOT_FOUND},
      {HKEY_LOCAL_MACHINE, "\\Software", ERROR_BAD_PATHNAME},
      {HKEY_LOCAL_MACHINE, "Software\\\\Vendor", ERROR_BAD_PATHNAME},
      {HKEY_LOCAL_MACHINE, "Software\\", ERROR_BAD_PATHNAME},
      {reinterpret_cast<HKEY>(0x1234), "Software", ERROR_INVALID_HANDLE},
      // HKEY_PERFORMANCE_DATA, which the store does not serve.
      {reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000004U))), "", ERROR_INVALID_HANDLE},
  };
  for (const Row& row : rows) {
    HKEY key = reinterpret_cast<HKEY>(0x77);
    EXPECT_EQ(RegOpenKeyExA(row.from, row.path, 0, 0, &key), row.expected) << (row.path ? row.path : "null");
    if (row.expected == ERROR_SUCCESS) {
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    } else {
      EXPECT_EQ(key, nullptr);
    }
  }
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, 0, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Store, HandlesAreFreshAndDieWhenClosed) {
  HKEY a = nullptr, b = nullptr;
  ASSERT_EQ(RegOpenKeyExA(vendor_, "A", 0, 0, &a), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(vendor_, "A", 0, 0, &b), ERROR_SUCCESS);
  EXPECT_NE(a, b);
  EXPECT_EQ(store::OpenHandleCount(), 3U);
  EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(a), ERROR_INVALID_HANDLE);
  DWORD count = 99;
  EXPECT_EQ(RegQueryInfoKeyA(a, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
  // The slot of a closed handle is reused, but not its value.
  HKEY c = nullptr;
  ASSERT_EQ(RegOpenKeyExA(vendor_, "b", 0, 0, &c), ERROR_SUCCESS);
  EXPECT_NE(c, a);
  EXPECT_EQ(RegCloseKey(a), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(c), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(store::OpenHandleCount(), 1U);
}

TEST_F(Store, EnumeratesSubkeysInSourceOrder) {
  DWORD count = 0, longest = 0;
  ASSERT_EQ(RegQueryInfoKeyA(vendor_, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 3U);
  EXPECT_EQ(longest, 9U);  // "Child One", without terminator
  const char* expected[] = {"Child One", "b", "A"};
  for (DWORD i = 0; i < count; ++i) {
    char name[16];
    DWORD length = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(vendor_, i, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, expected[i]);
    EXPECT_EQ(length, std::strlen(expected[i]));
  }
  char name[16];
  DWORD length = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(vendor_, 3, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Store, ShortNameBufferIsUntouched) {
  struct Row {
    DWORD size;
    LONG expected;
  } rows[] = {{9, ERROR_MORE_DATA}, {10, ERROR_SUCCESS}, {0, ERROR_MORE_DATA}};
  for (const Row& row : rows) {
    char name[16];
    std::memset(name, '#', sizeof name);
    DWORD length = row.size;
    EXPECT_EQ(RegEnumKeyExA(vendor_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), row.expected);
    if (row.expected == ERROR_MORE_DATA) {
      EXPECT_EQ(name[0], '#');
      EXPECT_EQ(length, row.size);
    } else {
      EXPECT_STREQ(name, "Child One");
      EXPECT_EQ(name[10], '#');
    }
  }
}

TEST_F(Store, QueriesValues) {
  struct Row {
    const char* name;
    LONG expected;
    DWORD type;
    std::string data;  // as handed out
  } rows[] = {
      {nullptr, ERROR_SUCCESS, REG_SZ, std::string("default text\0", 13)},
      {"", ERROR_SUCCESS, REG_SZ, std::string("default text\0", 13)},
      {"name", ERROR_SUCCESS, REG_SZ, std::string("Value\0", 6)},
      {"Number", ERROR_SUCCESS, REG_DWORD, std::string("\x04\x03\x02\x01", 4)},
      {"Blob", ERROR_SUCCESS, REG_BINARY, "\xde\xad"},
      {"Empty", ERROR_SUCCESS, REG_BINARY, ""},
      {"Unterminated", ERROR_SUCCESS, REG_SZ, std::string("AB\0", 3)},
      {"EmptyString", ERROR_SUCCESS, REG_EXPAND_SZ, std::string("\0", 1)},
      {"Missing", ERROR_FILE_NOT_FOUND, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name ? row.name : "null");
    unsigned char data[32];
    std::memset(data, '#', sizeof data);
    DWORD size = sizeof data;
    DWORD type = 77;
    ASSERT_EQ(RegQueryValueExA(vendor_, row.name, nullptr, &type, data, &size), row.expected);
    if (row.expected != ERROR_SUCCESS) continue;
    EXPECT_EQ(type, row.type);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), row.data);
    EXPECT_EQ(data[size], '#');
    // Size only.
    DWORD needed = 0;
    EXPECT_EQ(RegQueryValueExA(vendor_, row.name, nullptr, nullptr, nullptr, &needed), ERROR_SUCCESS);
    EXPECT_EQ(needed, row.data.size());
    // One byte short: ERROR_MORE_DATA, the size needed, and nothing written.
    if (!row.data.empty()) {
      std::memset(data, '#', sizeof data);
      DWORD shortSize = static_cast<DWORD>(row.data.size() - 1);
      EXPECT_EQ(RegQueryValueExA(vendor_, row.name, nullptr, nullptr, data, &shortSize), ERROR_MORE_DATA);
      EXPECT_EQ(shortSize, row.data.size());
      EXPECT_EQ(data[0], '#');
    }
  }
  DWORD reserved = 0;
  DWORD size = 4;
  unsigned char data[4];
  EXPECT_EQ(RegQueryValueExA(vendor_, "Name", &reserved, nullptr, data, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(vendor_, "Name", nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Store, EnumeratesValuesWithTheirMaxima) {
  DWORD count = 0, longestName = 0, longestData = 0;
  ASSERT_EQ(RegQueryInfoKeyA(vendor_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                             &longestName, &longestData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 7U);
  EXPECT_EQ(longestName, 12U);  // Unterminated
  EXPECT_EQ(longestData, 13U);  // "default text" and its terminator
  const char* names[] = {"", "Name", "Number", "Blob", "Empty", "Unterminated", "EmptyString"};
  for (DWORD i = 0; i < count; ++i) {
    char name[13];
    DWORD nameLength = longestName + 1;
    unsigned char data[13];
    DWORD size = longestData;
    DWORD type = 0;
    ASSERT_EQ(RegEnumValueA(vendor_, i, name, &nameLength, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, names[i]);
    EXPECT_EQ(nameLength, std::strlen(names[i]));
  }
  char name[13];
  DWORD nameLength = 13;
  EXPECT_EQ(RegEnumValueA(vendor_, count, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  // A name buffer one short: nothing written.
  std::memset(name, '#', sizeof name);
  nameLength = 12;
  EXPECT_EQ(RegEnumValueA(vendor_, 5, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(name[0], '#');
  // A data buffer one short: the size needed.
  nameLength = 13;
  unsigned char data[13];
  DWORD size = 12;
  EXPECT_EQ(RegEnumValueA(vendor_, 0, name, &nameLength, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 13U);
}

TEST_F(Store, RootsAndViews) {
  struct Row {
    HKEY root;
    const char* subkey;
    LONG expected;
  } rows[] = {
      {HKEY_CLASSES_ROOT, ".txt", ERROR_SUCCESS},
      {HKEY_CURRENT_USER, "Control Panel", ERROR_SUCCESS},
      {HKEY_CURRENT_CONFIG, "Printers", ERROR_SUCCESS},   // CurrentConfig is 0002
      {HKEY_CURRENT_CONFIG, "Display", ERROR_FILE_NOT_FOUND},
      {HKEY_USERS, ".DEFAULT", ERROR_SUCCESS},
      {HKEY_DYN_DATA, "PerfStats", ERROR_FILE_NOT_FOUND},
  };
  for (const Row& row : rows) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(row.root, row.subkey, 0, 0, &key), row.expected) << row.subkey;
    if (key != nullptr) RegCloseKey(key);
  }
  DWORD count = 99;
  EXPECT_EQ(RegQueryInfoKeyA(HKEY_DYN_DATA, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 0U);
}

TEST(StoreViews, MissingTargetsAreEmptyKeys) {
  InstallReg("[HKEY_LOCAL_MACHINE\\Enum]\n");
  for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA, HKEY_USERS}) {
    DWORD count = 99, values = 99;
    EXPECT_EQ(RegQueryInfoKeyA(root, nullptr, nullptr, nullptr, &count, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 0U);
    EXPECT_EQ(values, 0U);
  }
}

TEST_F(Store, InjectedFaultFailsExactlyTheNthCall) {
  store::FailRegistryCall(2, ERROR_BADDB);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(vendor_, "Name", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(vendor_, "A", 0, 0, &key), ERROR_BADDB);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExA(vendor_, "A", 0, 0, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST(StoreDamage, DamagedKeyIsLeftOutAndReportedOnce) {
  auto reg = std::make_unique<store::Registry>();
  std::uint32_t lm = reg->RootNode(store::Root::kLocalMachine);
  reg->AddChild(lm, "Good");
  reg->AddDamagedChild(lm, "Bad", "SYSTEM.DAT", 0x1234, "values run past their record");
  reg->AddDamagedChild(lm, "", "SYSTEM.DAT", 0x99, "record 7 of block 0 not found");
  reg->AddChild(lm, "After");
  store::InstallRegistry(std::move(reg));
  static std::vector<std::string> reports;
  reports.clear();
  store::SetDamageReporter([](const store::Damage& d, const std::string& path) {
    reports.push_back(path + " " + std::to_string(d.offset));
  });
  // Enumeration shows only the intact keys, in their order, and names the
  // damaged ones once, in the order the source held them.
  DWORD count = 0;
  ASSERT_EQ(RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(count, 2U);
  char name[8];
  DWORD length = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(HKEY_LOCAL_MACHINE, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "After");
  EXPECT_EQ(reports, (std::vector<std::string>{"HKEY_LOCAL_MACHINE\\Bad 4660", "HKEY_LOCAL_MACHINE\\ 153"}));
  // Opened by name, the damaged key fails, and is not named again.
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Bad", 0, 0, &key), ERROR_BADDB);
  EXPECT_EQ(reports.size(), 2U);
  store::SetDamageReporter(nullptr);
}

// A handle from before a reinstall, or one closed, never reaches a key,
// however many handles were opened since.
TEST(StoreHandles, StaleAndClosedHandlesAreRefused) {
  testing_support::InstallReg("[HKEY_LOCAL_MACHINE\\A]\n[HKEY_LOCAL_MACHINE\\B]\n");
  HKEY stale = nullptr, closed = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, 0, &stale), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "B", 0, 0, &closed), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  testing_support::InstallReg("[HKEY_LOCAL_MACHINE\\A]\n[HKEY_LOCAL_MACHINE\\B]\n");
  EXPECT_EQ(store::OpenHandleCount(), 0U);
  std::vector<HKEY> fresh(64);
  for (HKEY& h : fresh) ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "B", 0, 0, &h), ERROR_SUCCESS);
  for (HKEY old : {stale, closed}) {
    EXPECT_EQ(std::count(fresh.begin(), fresh.end(), old), 0);
    DWORD count = 0;
    EXPECT_EQ(RegQueryInfoKeyA(old, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(old), ERROR_INVALID_HANDLE);
  }
  for (HKEY h : fresh) RegCloseKey(h);
}

// A slot is reused under a new generation until its generations run out
// (2,047 on a 32-bit build), then retired: across many opens of one key no
// handle ever comes back, none is 0, and none has the top bit of the
// predefined keys.
TEST(StoreHandles, ReusedSlotsNeverGiveAHandleTwice) {
  testing_support::InstallReg("[HKEY_LOCAL_MACHINE\\A]\n");
  std::set<HKEY> seen;
  HKEY held = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, 0, &held), ERROR_SUCCESS);
  for (int i = 0; i < 5000; ++i) {
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, 0, &h), ERROR_SUCCESS);
    auto value = reinterpret_cast<std::uintptr_t>(h);
    ASSERT_NE(value, 0U);
    ASSERT_EQ(value >> (sizeof value * 8 - 1), 0U) << "top bit set";
    ASSERT_TRUE(seen.insert(h).second) << "handle given twice after " << i << " opens";
    ASSERT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(RegCloseKey(held), ERROR_SUCCESS);
  EXPECT_EQ(store::OpenHandleCount(), 0U);
}

TEST(StoreLookup, SiblingCountDoesNotChangeTheResult) {
  auto reg = std::make_unique<store::Registry>();
  std::uint32_t lm = reg->RootNode(store::Root::kLocalMachine);
  std::uint32_t wide = reg->AddChild(lm, "Wide");
  for (int i = 0; i < 5000; ++i) reg->FindOrAddChild(wide, "Key" + std::to_string(i));
  reg->RemoveSubtree(reg->FindChild(wide, "KEY17"));
  store::InstallRegistry(std::move(reg));
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "wide\\key4999", 0, 0, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "wide\\key17", 0, 0, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "wide\\key18", 0, 0, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

// Names compare and are found folding a-z to A-Z and no other byte, at
// every place in a name: within its first eight bytes, at their edge and
// past them.
TEST(StoreLookup, OnlyAsciiLettersFold) {
  auto reg = std::make_unique<store::Registry>();
  std::uint32_t lm = reg->RootNode(store::Root::kLocalMachine);
  auto upper = [](std::string s) {
    for (char& c : s) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    return s;
  };
  for (int c = 1; c < 256; ++c) {
    for (std::size_t at : {0, 7, 8, 12}) {
      std::string name = "key" + std::to_string(at) + "-longer-name";
      name[at] = static_cast<char>(c);
      std::string flipped = name;
      flipped[at] = static_cast<char>(c ^ 0x20);
      bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
      EXPECT_EQ(store::SameName(name, flipped), letter) << c << " at " << at;
      EXPECT_TRUE(store::SameName(name, upper(name))) << c << " at " << at;
      std::uint32_t parent = reg->AddChild(lm, reg->Keep(std::to_string(c) + "/" + std::to_string(at)));
      std::uint32_t id = reg->AddChild(parent, reg->Keep(name));
      EXPECT_EQ(reg->FindChild(parent, upper(name)), id) << c << " at " << at;
    }
  }
}

// A walk opens each subkey just after listing it, by the name listed; with
// siblings of one name, that name still opens the first of them.
TEST(StoreLookup, OpeningWhatWasListedKeepsTheFirstOfAName) {
  auto reg = std::make_unique<store::Registry>();
  std::uint32_t lm = reg->RootNode(store::Root::kLocalMachine);
  std::uint32_t parent = reg->AddChild(lm, "Parent");
  reg->AddChild(reg->AddChild(parent, "Twin"), "First");
  reg->AddChild(reg->AddChild(parent, "Twin"), "Second");
  reg->AddChild(reg->AddChild(parent, "Other"), "Third");
  store::InstallRegistry(std::move(reg));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Parent", 0, 0, &key), ERROR_SUCCESS);
  auto subkeyOf = [&](DWORD index, const char* name) {
    char listed[16];
    DWORD length = sizeof listed;
    EXPECT_EQ(RegEnumKeyExA(key, index, listed, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, name, 0, 0, &child), ERROR_SUCCESS);
    length = sizeof listed;
    EXPECT_EQ(RegEnumKeyExA(child, 0, listed, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(child);
    return std::string(listed);
  };
  EXPECT_EQ(subkeyOf(1, "Twin"), "First");
  EXPECT_EQ(subkeyOf(1, "TWIN"), "First");
  EXPECT_EQ(subkeyOf(2, "Other"), "Third");
  EXPECT_EQ(subkeyOf(2, "Twin"), "First");
  RegCloseKey(key);
}

}  // namespace
