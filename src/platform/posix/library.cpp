// Dynamic libraries and the paths used to find the camera SDK on POSIX. Host paths arrive in
// UTF-16 and are handed to the loader in UTF-8; the SDK can be pointed elsewhere through the
// BRELON_ZEPA_PATH environment variable, since no host executable sits beside it here.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace plat {
namespace {

constexpr size_t kMaxUtf8PerUnit = 3;  // a UTF-16 unit never needs more than 3 UTF-8 bytes

std::string ToUtf8(const char16_t* text) {
  size_t length = 0;
  while (text[length] != u'\0') ++length;
  std::string utf8(length * kMaxUtf8PerUnit + 1, '\0');
  utf8.resize(WideToAnsi(text, length, utf8.data(), utf8.size()));
  return utf8;
}

// Converts a whole UTF-8 text into `out`; false (and an empty result) when it does not fit.
bool FromUtf8(const std::string& text, char16_t* out, size_t capacity) {
  if (!out || capacity == 0) return false;
  // Every UTF-8 byte yields at most one UTF-16 unit, so this much room is always enough.
  std::u16string wide(text.size() + 1, u'\0');
  size_t units = AnsiToWide(text.data(), text.size(), wide.data(), wide.size());
  if (units + 1 > capacity) {
    out[0] = u'\0';
    return false;
  }
  wide.copy(out, units);
  out[units] = u'\0';
  return true;
}

}  // namespace

Library* LibraryLoad(const char16_t* path) {
  if (!path || path[0] == u'\0') return nullptr;
  return static_cast<Library*>(dlopen(ToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL));
}

void* LibrarySymbol(Library* lib, const char* name) {
  if (!lib || !name) return nullptr;
  return dlsym(lib, name);
}

void LibraryFree(Library* lib) {
  if (lib) dlclose(lib);
}

bool ExecutablePath(char16_t* out, size_t capacity) {
  std::string path(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) {
    if (out && capacity > 0) out[0] = u'\0';
    return false;
  }
  path.resize(static_cast<size_t>(length));
  return FromUtf8(path, out, capacity);
}

char16_t PathSeparator() {
  return u'/';
}

const char16_t* SdkLibraryFileName() {
  return u"libzepa.so";
}

bool SdkLibraryOverride(char16_t* out, size_t capacity) {
  const char* path = std::getenv("BRELON_ZEPA_PATH");
  if (!path || path[0] == '\0') return false;
  return FromUtf8(path, out, capacity);
}

}  // namespace plat
