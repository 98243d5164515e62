// The shell path helpers on Windows: the shell's own PathRemoveBlanksW, PathStripPathW and
// PathRemoveFileSpecW, so that names taken from camera paths follow the system's rules.
#include <shlwapi.h>
#include <windows.h>

// The shell's UNICODE macros would rename the platform functions of the same names.
#undef PathRemoveBlanks
#undef PathStripPath
#undef PathRemoveFileSpec

#include "platform/platform.h"

namespace plat {
namespace {

// UTF-16 in both types on Windows; the shell only spells it wchar_t.
static_assert(sizeof(wchar_t) == sizeof(char16_t));
wchar_t* Wide(char16_t* path) {
  return reinterpret_cast<wchar_t*>(path);
}

}  // namespace

void PathRemoveBlanks(char16_t* path) {
  if (path) PathRemoveBlanksW(Wide(path));
}

void PathStripPath(char16_t* path) {
  if (path) PathStripPathW(Wide(path));
}

bool PathRemoveFileSpec(char16_t* path) {
  return path && PathRemoveFileSpecW(Wide(path)) != FALSE;
}

}  // namespace plat
