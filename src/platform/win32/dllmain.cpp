// The library's Windows entry point: it records the module instance handle, which the warning
// window needs to load its dialog and strings from this library's resources.
#include <windows.h>

#include "platform/win32/internal.h"

// Called by the loader on every attach and detach, on the thread that caused it.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
  plat::win32::RecordLibraryModule(instance);
  return TRUE;
}
