#include "pathpattern/pathpattern.h"

#include <cstdint>
#include <cstring>

namespace {

using Byte = unsigned char;

bool IsSeparator(int c) { return c == '\\' || c == ':'; }

// Set in MATCH_ERROR (-256) and in no other result: a scan that has OR-ed a
// failure into what it gathered stops at once, and what it gathered stays
// negative.
constexpr int kMatchAbort = 0x100;
static_assert((MATCH_ERROR & kMatchAbort) != 0 && ((MATCH_EXACT | MATCH_ANCESTOR | MATCH_BELOW) & kMatchAbort) == 0);

// Plain backtracking is exponential in the length of a segment when a
// pattern holds several stars there. Results depend only on where the
// matcher stands in the codes and the text and on whether the previous
// character was a separator, so once a match has taken more steps than any
// ordinary path needs, the matcher remembers what each position gave. The
// answers are the same; only their cost is bounded.
long g_stepsBeforeMemo = 4096;

// Open-addressing table from a matcher position to its result.
struct Memo {
  std::uint64_t* keys = nullptr;  // 0: empty slot (stored keys are never 0)
  int* values = nullptr;
  std::size_t capacity = 0;
  std::size_t used = 0;

  ~Memo() {
    FreeBytes(keys);
    FreeBytes(values);
  }

  static std::size_t Slot(std::uint64_t key, std::size_t mask) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 20) & mask;
  }

  const int* Find(std::uint64_t key) const {
    if (capacity == 0) return nullptr;
    for (std::size_t i = Slot(key, capacity - 1);; i = (i + 1) & (capacity - 1)) {
      if (keys[i] == key) return &values[i];
      if (keys[i] == 0) return nullptr;
    }
  }

  bool Grow() {
    std::size_t newCapacity = capacity == 0 ? 1024 : capacity * 2;
    auto* newKeys = static_cast<std::uint64_t*>(AllocBytes(newCapacity * sizeof(std::uint64_t)));
    auto* newValues = static_cast<int*>(AllocBytes(newCapacity * sizeof(int)));
    if (newKeys == nullptr || newValues == nullptr) {
      FreeBytes(newKeys);
      FreeBytes(newValues);
      return false;
    }
    std::memset(newKeys, 0, newCapacity * sizeof(std::uint64_t));
    for (std::size_t i = 0; i < capacity; ++i) {
      if (keys[i] == 0) continue;
      std::size_t j = Slot(keys[i], newCapacity - 1);
      while (newKeys[j] != 0) j = (j + 1) & (newCapacity - 1);
      newKeys[j] = keys[i];
      newValues[j] = values[i];
    }
    FreeBytes(keys);
    FreeBytes(values);
    keys = newKeys;
    values = newValues;
    capacity = newCapacity;
    return true;
  }

  bool Insert(std::uint64_t key, int value) {
    if ((used + 1) * 2 > capacity && !Grow()) return false;
    std::size_t i = Slot(key, capacity - 1);
    while (keys[i] != 0 && keys[i] != key) i = (i + 1) & (capacity - 1);
    if (keys[i] == 0) ++used;
    keys[i] = key;
    values[i] = value;
    return true;
  }
};

struct Matcher {
  const Byte* codes = nullptr;
  const Byte* text = nullptr;
  long steps = 0;
  bool remember = false;
  Memo memo;
};

int Match(Matcher& m, const Byte* p, const Byte* t, int prev);

int MatchFrom(Matcher& m, const Byte* p, const Byte* t, int prev) {
  int res = 0;
  for (;;) {
    if (*p == 0) {
      if (*t == 0) return MATCH_EXACT;
      if (*t == '\\') return MATCH_BELOW;
      return IsSeparator(prev) ? MATCH_BELOW : 0;
    }
    if (*t == 0 && (IsSeparator(prev) || *p == '\\' || *p == CODE_DEEP_STAR)) {
      res = MATCH_ANCESTOR;
    }
    if (*p >= 0x20) {
      if (*p != *t) return res;
      prev = *t;
      ++p;
      ++t;
      continue;
    }
    if (*t == '\\' && *p != CODE_STAR && *p != CODE_DEEP_STAR) return 0;

    switch (*p) {
      case CODE_ANY_CHAR:
        if (*t == 0 || IsSeparator(*t)) return res;
        prev = *t;
        ++p;
        ++t;
        continue;

      case CODE_STAR: {
        // The rest of the pattern at every position of this segment, the
        // empty run first, up to and including the separator that ends it.
        int acc = res;
        for (;;) {
          acc |= Match(m, p + 1, t, prev);
          if (acc & (MATCH_EXACT | kMatchAbort)) return acc;
          prev = *t;
          if (IsSeparator(prev) || *t == 0) return acc;
          ++t;
        }
      }

      case CODE_DEEP_STAR: {
        if (*t == 0) return Match(m, p + 1, t, '\\') | MATCH_ANCESTOR;
        if (!IsSeparator(prev) && *t != '\\') return res;
        // The rest at the first character of each remaining segment (only a
        // backslash separates here; a run of them counts as one), then once
        // more at the end of the text.
        int acc = res;
        for (;;) {
          while (*t == '\\') ++t;
          if (*t == 0) break;
          acc |= Match(m, p + 1, t, '\\');
          if (acc & (MATCH_EXACT | kMatchAbort)) return acc;
          while (*t != 0 && *t != '\\') ++t;
          if (*t == 0) break;
        }
        return acc | MATCH_ANCESTOR | Match(m, p + 1, t, '\\');
      }

      default:
        return MATCH_ERROR;
    }
  }
}

int Match(Matcher& m, const Byte* p, const Byte* t, int prev) {
  if (!m.remember) {
    if (++m.steps <= g_stepsBeforeMemo) return MatchFrom(m, p, t, prev);
    m.remember = true;
  }
  // +1 keeps every key nonzero, which the table reserves for empty slots.
  std::uint64_t key = ((static_cast<std::uint64_t>(p - m.codes) << 33) |
                       (static_cast<std::uint64_t>(t - m.text) << 1) |
                       (IsSeparator(prev) ? 1U : 0U)) + 1;
  if (const int* known = m.memo.Find(key)) return *known;
  int result = MatchFrom(m, p, t, prev);
  if (!m.memo.Insert(key, result)) return MATCH_ERROR;
  return result;
}

}  // namespace

void SetMatchStepsBeforeMemo(long steps) { g_stepsBeforeMemo = steps; }

char* CopyPrefix(const char* text, int n) {
  std::size_t length = n < 0 ? std::strlen(text) : strnlen(text, static_cast<std::size_t>(n));
  auto* copy = static_cast<char*>(AllocBytes(length + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

char* CopyUpper(const char* text) {
  char* copy = CopyPrefix(text, -1);
  if (copy == nullptr) return nullptr;
  for (char* c = copy; *c != '\0'; ++c) {
    if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 0x20);
  }
  return copy;
}

char* CompilePattern(const char* pattern, int caseFlag) {
  // A four-star group that starts at the limit emits two codes, and the
  // terminator follows: 512 + 2 + 1 bytes.
  char work[MAX_PATTERN_CODES + 4];
  const auto* s = reinterpret_cast<const Byte*>(pattern);
  int n = 0;
  std::size_t i = 0;
  while (s[i] != 0) {
    // Counted per step, before deep stars merge: the limit is deliberately
    // not monotonic in the number of stars (1026 and 1028 compile, 1027
    // does not), and callers may depend on exactly which patterns compile.
    if (n > MAX_PATTERN_CODES) return nullptr;
    Byte c = s[i];
    if (c < 0x20) return nullptr;
    if (caseFlag == MATCH_FOLD_CASE && c >= 'a' && c <= 'z') c = static_cast<Byte>(c - 0x20);
    if (c == '*') {
      if (s[i + 1] == '*') {
        if (s[i + 2] == '*' && s[i + 3] == '*') {
          work[n++] = CODE_STAR;
          i += 2;
        }
        work[n++] = CODE_DEEP_STAR;
        i += 2;
      } else {
        work[n++] = CODE_STAR;
        i += 1;
      }
    } else if (c == '?') {
      work[n++] = CODE_ANY_CHAR;
      ++i;
    } else {
      work[n++] = static_cast<char>(c);
      ++i;
    }
  }
  // Two deep stars in a row mean no more than one.
  int kept = 0;
  for (int k = 0; k < n; ++k) {
    if (work[k] == CODE_DEEP_STAR && kept > 0 && work[kept - 1] == CODE_DEEP_STAR) continue;
    work[kept++] = work[k];
  }
  work[kept] = '\0';
  return CopyPrefix(work, kept);
}

int MatchCodes(const char* p, const char* t, int prev) {
  Matcher m;
  m.codes = reinterpret_cast<const Byte*>(p);
  m.text = reinterpret_cast<const Byte*>(t);
  return Match(m, m.codes, m.text, prev);
}

int MatchCompiled(const char* codes, const char* text, int caseFlag) {
  // The start of a text is a segment boundary only when it holds no colon.
  int prev = std::strchr(text, ':') != nullptr ? 0 : '\\';
  int inner;
  if (caseFlag == MATCH_FOLD_CASE) {
    char* upper = CopyUpper(text);
    if (upper == nullptr) {
      inner = -1;
    } else {
      inner = MatchCodes(codes, upper, prev);
      FreeBytes(upper);
    }
  } else {
    inner = MatchCodes(codes, text, prev);
  }
  return inner < 0 ? MATCH_ERROR : inner;
}

int MatchPath(const char* pattern, const char* text, int caseFlag) {
  char* codes = CompilePattern(pattern, caseFlag);
  if (codes == nullptr) return -1;
  int result = MatchCompiled(codes, text, caseFlag);
  FreeBytes(codes);
  return result;
}

char* SplitLiteralPrefix(const char* pattern, const char** rest) {
  const auto* s = reinterpret_cast<const Byte*>(pattern);
  // What precedes the last colon is taken whole, wildcards and all.
  const char* colon = std::strrchr(pattern, ':');
  std::size_t start = colon != nullptr ? static_cast<std::size_t>(colon - pattern) + 1 : 0;
  while (s[start] == '\\') ++start;
  std::size_t cut = start;
  for (std::size_t i = start;; ++i) {
    Byte c = s[i];
    if (c == 0) {
      cut = i;
      break;
    }
    if (c < 0x20) return nullptr;
    if (c == '*' || c == '?') break;
    // A doubled backslash stays with the leading part.
    if (c == '\\') cut = (i > 0 && s[i - 1] == '\\') ? i + 1 : i;
  }
  if (rest != nullptr) *rest = pattern + cut + (s[cut] == '\\' ? 1 : 0);
  return CopyPrefix(pattern, static_cast<int>(cut));
}
