#include "regwalk/regwalk.h"

#include <cstring>
#include <memory>

const RootKey RootKeyTable[kRootKeyCount] = {
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},     {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},   {"HKEY_USERS", HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG}, {"HKEY_DYN_DATA", HKEY_DYN_DATA},
};

namespace {

struct BytesDeleter {
  void operator()(void* block) const { FreeBytes(block); }
};
using Buffer = std::unique_ptr<char, BytesDeleter>;

// Closes the subkey a level opened on every way out. Declared after the
// level's path buffer, so the key is closed before the buffer is freed.
struct OpenedKey {
  HKEY handle = nullptr;
  OpenedKey() = default;
  OpenedKey(const OpenedKey&) = delete;
  OpenedKey& operator=(const OpenedKey&) = delete;
  ~OpenedKey() {
    if (handle != nullptr) RegCloseKey(handle);
  }
};

// A positive result that neither matches nor lies below a match: the key is
// only on the way to possible matches.
bool OnlyAncestor(int r) { return (r & (MATCH_EXACT | MATCH_BELOW)) == 0; }

}  // namespace

int WalkKeys(const char* pattern, int recursive, KeyVisitor visitor, std::intptr_t user) {
  // The two roots that are views of other roots are walked only when asked
  // for by name, so that an open walk does not visit their keys twice.
  if (pattern != nullptr) {
    for (int i = 0; i < 2; ++i) {
      const RootKey& root = RootKeyTable[i];
      std::size_t n = std::strlen(root.name);
      if (std::strncmp(pattern, root.name, n) != 0 || (pattern[n] != '\0' && pattern[n] != '\\')) {
        continue;
      }
      int r = MatchPath(pattern, root.name, MATCH_FOLD_CASE);
      if (r < 0) return WALK_FAILED;
      if (r == 0) continue;
      if (!OnlyAncestor(r)) {
        if (recursive == 0 && r == MATCH_BELOW) continue;
        if (int v = visitor(root.handle, root.name, user); v != 0) return v;
        if (recursive == 0 && r == MATCH_EXACT) return WALK_FAILED;
      }
      return WalkSubkeys(pattern, recursive, visitor, user, root.handle, root.name);
    }
  }
  for (int i = 2; i < kRootKeyCount; ++i) {
    const RootKey& root = RootKeyTable[i];
    int r = 0;
    bool visit = true;
    if (pattern != nullptr) {
      r = MatchPath(pattern, root.name, MATCH_FOLD_CASE);
      if (r < 0) return WALK_FAILED;
      if (r == 0) continue;
      if (OnlyAncestor(r)) {
        visit = false;
      } else if (recursive == 0 && r == MATCH_BELOW) {
        continue;
      }
    }
    if (visit) {
      if (int v = visitor(root.handle, root.name, user); v != 0) return v;
      if (recursive == 0 && r == MATCH_EXACT) return WALK_FAILED;
    }
    if (int w = WalkSubkeys(pattern, recursive, visitor, user, root.handle, root.name); w != 0) {
      return w;
    }
  }
  return 0;
}

int WalkSubkeys(const char* pattern, int recursive, KeyVisitor visitor, std::intptr_t user,
                HKEY key, const char* path) {
  DWORD count = 0;
  DWORD longest = 0;
  LONG rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;

  // One buffer for the level, sized once: the key's path, a backslash and
  // room for the longest subkey name, so it always holds the full path of
  // the subkey in hand.
  std::size_t pathLength = std::strlen(path);
  Buffer buffer(static_cast<char*>(AllocBytes(pathLength + longest + 2)));
  if (!buffer) return WALK_FAILED;
  std::memcpy(buffer.get(), path, pathLength);
  buffer.get()[pathLength] = '\\';
  char* name = buffer.get() + pathLength + 1;

  for (DWORD index = count; index-- > 0;) {
    DWORD nameLength = longest + 1;
    rc = RegEnumKeyExA(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return rc;

    int r = 0;
    bool visit = true;
    if (pattern != nullptr) {
      r = MatchPath(pattern, buffer.get(), MATCH_FOLD_CASE);
      if (r < 0) return r;
      if (r == 0) continue;  // pruned: never opened
      if (OnlyAncestor(r)) {
        visit = false;
      } else if (recursive == 0 && r == MATCH_BELOW) {
        return 0;
      }
    }

    OpenedKey subkey;
    // Windows since NT refuses to enumerate the subkeys of a key opened
    // without KEY_ENUMERATE_SUB_KEYS; Windows 9x and the store take any mask.
    rc = RegOpenKeyExA(key, name, 0, KEY_READ, &subkey.handle);
    if (rc != ERROR_SUCCESS) return rc;
    if (visit) {
      if (int v = visitor(subkey.handle, buffer.get(), user); v != 0) return v;
      if (recursive == 0 && r == MATCH_EXACT) return 0;
    }
    if (int w = WalkSubkeys(pattern, recursive, visitor, user, subkey.handle, buffer.get()); w != 0) {
      return w;
    }
  }
  return 0;
}

int WalkValues(HKEY key, std::intptr_t user, ValueVisitor visitor) {
  DWORD count = 0;
  DWORD longestName = 0;
  DWORD longestData = 0;
  LONG rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                             &longestName, &longestData, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;

  Buffer name(static_cast<char*>(AllocBytes(std::size_t{longestName} + 1)));
  if (!name) return WALK_FAILED;
  // A zero-size data buffer is a valid allocation: every value may be empty.
  Buffer data(static_cast<char*>(AllocBytes(longestData)));
  if (!data) return WALK_FAILED;

  int result = 0;
  for (DWORD index = count; index-- > 0;) {
    DWORD nameLength = longestName + 1;
    DWORD size = longestData;
    DWORD type = 0;
    auto* bytes = reinterpret_cast<BYTE*>(data.get());
    rc = RegEnumValueA(key, index, name.get(), &nameLength, nullptr, &type, bytes, &size);
    if (rc != ERROR_SUCCESS) return rc;
    result = visitor(key, user, name.get(), type, size, bytes);
    if (result != 0) break;
  }
  return result;
}
