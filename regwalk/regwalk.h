// The registry walker: visits every key whose full path a path pattern
// selects, pruning the subtrees the pattern rules out, and walks the values
// of one key.
//
// Results are ints: 0 when the walk ran to its end; a visitor's nonzero
// result, passed up unchanged; a registry error code (positive) from any
// depth; WALK_FAILED (-1) for the library's own failures; MATCH_ERROR
// (-256) for a matcher failure below the roots.
#pragma once

#include <cstdint>

#include "pathpattern/pathpattern.h"
#include "winreg/winreg.h"

// 0 goes on; anything else ends the walk and becomes its result. The key
// handle and the path text are lent for the length of the call only.
using KeyVisitor = int (*)(HKEY key, const char* path, std::intptr_t user);
// Note the order: the user value comes second here.
using ValueVisitor = int (*)(HKEY key, std::intptr_t user, const char* name, DWORD type,
                             DWORD size, const BYTE* data);

// The walker's own failure, one code for several causes: memory ran out
// for a level's buffers, the pattern does not compile, matching failed at
// root level, or a non-recursive walk ended at a root that matches exactly.
inline constexpr int WALK_FAILED = -1;
// Its causes in words, for a caller's message.
inline constexpr char kWalkFailedCauses[] =
    "the pattern does not compile, memory ran out, or -n stopped at a root key that matches exactly";

struct RootKey {
  const char* name;
  HKEY handle;
};

// The predefined roots in walk order. Entries 0 and 1 are entered only when
// a pattern begins with their name literally.
inline constexpr int kRootKeyCount = 6;
extern const RootKey RootKeyTable[kRootKeyCount];

// Visits the keys that pattern selects (all keys below roots 2 to 5 when
// pattern is null). With recursive 0, a level ends after the first key that
// matches exactly, without descending into it.
int WalkKeys(const char* pattern, int recursive, KeyVisitor visitor, std::intptr_t user);
// The same below one open key whose full path text is path.
int WalkSubkeys(const char* pattern, int recursive, KeyVisitor visitor, std::intptr_t user,
                HKEY key, const char* path);
// Hands every value of an open key to visitor, highest index first.
int WalkValues(HKEY key, std::intptr_t user, ValueVisitor visitor);
