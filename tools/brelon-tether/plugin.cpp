// brelon-tether: loading the plug-in and resolving its exports by name, on Linux through
// dlopen/dlsym and on Windows through LoadLibraryW/GetProcAddress.
#include "plugin.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace tether {
namespace {

#ifdef _WIN32
constexpr const char* kPluginFile = "Brelon.dll";
#if defined(_M_IX86) || defined(__i386__)
constexpr const char* kReadPropertyName = "?ReadProperty@@YAHPAU_BRELON_PROPERTY@@@Z";
constexpr const char* kWritePropertyName = "?WriteProperty@@YAHPAU_BRELON_PROPERTY@@@Z";
#else
constexpr const char* kReadPropertyName = "?ReadProperty@@YAHPEAU_BRELON_PROPERTY@@@Z";
constexpr const char* kWritePropertyName = "?WriteProperty@@YAHPEAU_BRELON_PROPERTY@@@Z";
#endif
// Paths come from GetModuleFileNameA, so they are in the ANSI code page.
void* Open(const std::string& path) {
  const int units = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (units <= 0) return nullptr;
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), units);
  return reinterpret_cast<void*>(LoadLibraryW(wide.c_str()));
}
void* Symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
#else
constexpr const char* kPluginFile = "libbrelon.so";
constexpr const char* kReadPropertyName = "_Z12ReadPropertyP16_BRELON_PROPERTY";
constexpr const char* kWritePropertyName = "_Z13WritePropertyP16_BRELON_PROPERTY";
void* Open(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
void* Symbol(void* library, const char* name) {
  return dlsym(library, name);
}
#endif

template <typename Fn>
void Resolve(void* library, const char* name, Fn* out) {
  *out = reinterpret_cast<Fn>(Symbol(library, name));
}

}  // namespace

bool Plugin::Load(const std::string& directory, std::string* error) {
  const std::string path = directory + kPluginFile;
  library = Open(path);
  if (!library) {
    *error = "cannot load " + path;
    return false;
  }
  Resolve(library, "Init", &Init);
  Resolve(library, "Exit", &Exit);
  Resolve(library, "IsCameraConnect", &IsCameraConnect);
  Resolve(library, "GetDeviceInfo", &GetDeviceInfo);
  Resolve(library, "Shoot", &Shoot);
  Resolve(library, "GetCameraCondition", &GetCameraCondition);
  Resolve(library, "ReadImage", &ReadImage);
  Resolve(library, "CreateIF", &CreateIF);
  Resolve(library, kReadPropertyName, &ReadProperty);
  Resolve(library, kWritePropertyName, &WriteProperty);
  if (!Init || !Exit || !IsCameraConnect || !GetDeviceInfo) {
    *error = path + " lacks Init, Exit, IsCameraConnect or GetDeviceInfo";
    return false;
  }
  return true;
}

std::string ExecutableDirectory() {
#ifdef _WIN32
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
#else
  char path[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  std::string s(path, n > 0 ? static_cast<size_t>(n) : 0);
#endif
  const size_t slash = s.find_last_of("/\\");
  return slash == std::string::npos ? std::string("./") : s.substr(0, slash + 1);
}

SimControlFn SimControl(const std::string& simPath) {
  // The plug-in loaded the library already; opening it again shares that instance.
  void* library = Open(simPath);
  if (!library) return nullptr;
  SimControlFn fn = nullptr;
  Resolve(library, "ZEPASIM_Control", &fn);
  return fn;
}

}  // namespace tether
