// ANSI code page <-> UTF-16 for Windows with the system conversions. Windows refuses a
// conversion that does not fit, so an output that is too small is filled character by
// character up to the last whole character that fits.
#include <windows.h>

#include <climits>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace plat {
namespace {

int ClampToInt(size_t n) {
  return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

}  // namespace

size_t AnsiToWide(const char* src, size_t srcLen, char16_t* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  int length = src ? ClampToInt(strnlen(src, srcLen)) : 0;
  auto* wide = reinterpret_cast<wchar_t*>(out);
  size_t room = capacity - 1;
  int needed =
      length > 0 ? MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, src, length, nullptr, 0) : 0;
  size_t written = 0;
  if (needed <= 0) {
    written = 0;
  } else if (static_cast<size_t>(needed) <= room) {
    written =
        static_cast<size_t>(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, src, length, wide, needed));
  } else {
    // Every character the code page yields is one unit or a surrogate pair, so cutting the
    // full conversion is a whole-character cut unless it would split a pair.
    std::vector<wchar_t> all(static_cast<size_t>(needed));
    int full = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, src, length, all.data(), needed);
    written = full > 0 ? room : 0;
    if (written > 0 && IS_HIGH_SURROGATE(all[written - 1])) --written;
    std::memcpy(wide, all.data(), written * sizeof(wchar_t));
  }
  out[written] = u'\0';
  return written;
}

size_t WideToAnsi(const char16_t* src, size_t srcLen, char* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  size_t length = 0;
  if (src) {
    while (length < srcLen && src[length] != u'\0') ++length;
  }
  const auto* wide = reinterpret_cast<const wchar_t*>(src);
  int count = ClampToInt(length);
  size_t room = capacity - 1;
  int needed =
      count > 0 ? WideCharToMultiByte(CP_ACP, 0, wide, count, nullptr, 0, nullptr, nullptr) : 0;
  size_t written = 0;
  if (needed > 0 && static_cast<size_t>(needed) <= room) {
    written = static_cast<size_t>(
        WideCharToMultiByte(CP_ACP, 0, wide, count, out, needed, nullptr, nullptr));
  } else if (needed > 0) {
    // A double-byte code page gives characters of different widths, so the cut is found by
    // converting one character (a unit or a surrogate pair) at a time.
    for (size_t pos = 0; pos < length;) {
      int units =
          IS_HIGH_SURROGATE(wide[pos]) && pos + 1 < length && IS_LOW_SURROGATE(wide[pos + 1]) ? 2
                                                                                              : 1;
      char bytes[8];
      int n =
          WideCharToMultiByte(CP_ACP, 0, wide + pos, units, bytes, sizeof bytes, nullptr, nullptr);
      if (n <= 0 || written + static_cast<size_t>(n) > room) break;
      std::memcpy(out + written, bytes, static_cast<size_t>(n));
      written += static_cast<size_t>(n);
      pos += static_cast<size_t>(units);
    }
  }
  out[written] = '\0';
  return written;
}

}  // namespace plat
