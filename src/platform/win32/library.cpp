// Dynamic libraries and the paths used to find the camera SDK on Windows: the SDK library is
// always taken from beside the host's executable.
#include <windows.h>

#include "platform/platform.h"

namespace plat {

Library* LibraryLoad(const char16_t* path) {
  if (!path || path[0] == u'\0') return nullptr;
  return reinterpret_cast<Library*>(LoadLibraryW(reinterpret_cast<const wchar_t*>(path)));
}

void* LibrarySymbol(Library* lib, const char* name) {
  if (!lib || !name) return nullptr;
  FARPROC proc = GetProcAddress(reinterpret_cast<HMODULE>(lib), name);
  return reinterpret_cast<void*>(proc);
}

void LibraryFree(Library* lib) {
  if (lib) FreeLibrary(reinterpret_cast<HMODULE>(lib));
}

bool ExecutablePath(char16_t* out, size_t capacity) {
  if (!out || capacity == 0) return false;
  DWORD room = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  DWORD length = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(out), room);
  // A length equal to the room means the path was cut; older systems do not even terminate it.
  if (length == 0 || length >= room) {
    out[0] = u'\0';
    return false;
  }
  return true;
}

char16_t PathSeparator() {
  return u'\\';
}

const char16_t* SdkLibraryFileName() {
  return u"ZEPA.DLL";
}

bool SdkLibraryOverride(char16_t*, size_t) {
  return false;
}

}  // namespace plat
