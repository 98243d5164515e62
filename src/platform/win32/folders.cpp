// Windows folders: the user's documents folder from the shell, existence checks and one-level
// folder creation.
#include <shlobj.h>
#include <windows.h>

#include <cwchar>

#include "platform/platform.h"

namespace plat {

bool DocumentsFolder(char16_t* out, size_t capacity) {
  if (capacity == 0) return false;
  out[0] = 0;
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path))) {
    return false;
  }
  const size_t length = std::wcslen(path);
  if (length == 0 || length + 1 > capacity) return false;
  for (size_t i = 0; i <= length; ++i) out[i] = static_cast<char16_t>(path[i]);
  return true;
}

uint32_t FileAttributes(const char16_t* path) {
  return GetFileAttributesW(reinterpret_cast<const wchar_t*>(path));
}

bool MakeDirectory(const char16_t* path) {
  return CreateDirectoryW(reinterpret_cast<const wchar_t*>(path), nullptr) != 0;
}

}  // namespace plat
