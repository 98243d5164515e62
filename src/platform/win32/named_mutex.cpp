// The machine-wide named mutex on Windows: a kernel mutex that is never acquired; only its
// existence matters, so the handle's lifetime is what claims the name.
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace plat {

struct NamedMutex {
  HANDLE handle;
};

NamedMutex* NamedMutexCreate(const char16_t* name, bool* alreadyExisted) {
  if (alreadyExisted) *alreadyExisted = false;
  if (!name || name[0] == u'\0') return nullptr;
  HANDLE handle = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(name));
  DWORD error = GetLastError();  // read before anything else can overwrite it
  if (!handle) return nullptr;
  auto* mutex = new (std::nothrow) NamedMutex{handle};
  if (!mutex) {
    CloseHandle(handle);
    return nullptr;
  }
  if (alreadyExisted) *alreadyExisted = error == ERROR_ALREADY_EXISTS;
  return mutex;
}

void NamedMutexClose(NamedMutex* mutex) {
  if (!mutex) return;
  CloseHandle(mutex->handle);
  delete mutex;
}

}  // namespace plat
