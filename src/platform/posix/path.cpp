// The Windows shell's path rules (PathRemoveBlanksW, PathStripPathW, PathRemoveFileSpecW) for
// POSIX, where camera paths still arrive in their Windows form. Written from the documented
// behaviour and checked case by case against the Windows implementation (tests/transfer).
#include <cstddef>

#include "platform/platform.h"

namespace plat {
namespace {

constexpr char16_t kBlank = u' ';
constexpr char16_t kBackslash = u'\\';
constexpr char16_t kSlash = u'/';
constexpr char16_t kColon = u':';

size_t Length(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// The start of the last element. A separator counts only when something other than another
// separator follows it, so a trailing backslash stays with the element before it.
char16_t* FindFileName(char16_t* path) {
  char16_t* fileName = path;
  for (char16_t* p = path; *p != 0; ++p) {
    const bool separator = *p == kBackslash || *p == kSlash || *p == kColon;
    if (separator && p[1] != 0 && p[1] != kBackslash && p[1] != kSlash) fileName = p + 1;
  }
  return fileName;
}

}  // namespace

void PathRemoveBlanks(char16_t* path) {
  if (!path || *path == 0) return;
  char16_t* read = path;
  while (*read == kBlank) ++read;
  char16_t* write = path;
  while (*read != 0) *write++ = *read++;
  // The first character kept is not a blank, so the trim stops there at the latest.
  while (write != path && write[-1] == kBlank) --write;
  *write = 0;
}

void PathStripPath(char16_t* path) {
  if (!path) return;
  char16_t* fileName = FindFileName(path);
  if (fileName == path) return;
  const size_t units = Length(fileName) + 1;
  for (size_t i = 0; i < units; ++i) path[i] = fileName[i];
}

bool PathRemoveFileSpec(char16_t* path) {
  if (!path) return false;
  char16_t* p = path;
  char16_t* cut = path;
  // A rooted path keeps its backslash, a UNC path both of its own.
  if (*p == kBackslash) cut = ++p;
  if (*p == kBackslash) cut = ++p;
  while (*p != 0) {
    if (*p == kBackslash) {
      cut = p;
    } else if (*p == kColon) {
      // A drive keeps its colon and the root backslash after it. The character after the
      // colon is stepped over unexamined, as the Windows rule does.
      cut = ++p;
      if (*p == kBackslash) ++cut;
      if (*p == 0) break;
    }
    ++p;
  }
  if (*cut == 0) return false;
  *cut = 0;
  return true;
}

}  // namespace plat
