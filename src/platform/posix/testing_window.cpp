// The warning-window test hooks on POSIX: they read and press the headless window's record,
// through the list of live windows, as a user of a real window would see and press it.
#include <cstring>

#include "platform/posix/window.h"
#include "platform/testing.h"
#include "resources/warning_ids.h"

namespace plat {

using posix::IsLive;
using posix::Live;

bool WarningWindowText(Window* window, int32_t item, char16_t* out, size_t capacity) {
  LockGuard guard(Live().lock);
  if (!window || !out || capacity == 0 || !IsLive(window)) return false;
  const std::u16string* text = nullptr;
  switch (item) {
    case 0:
      text = &window->caption;
      break;
    case IDC_WARNING_BUTTON:
      text = &window->button;
      break;
    case IDC_WARNING_FIRST:
      text = &window->firstText;
      break;
    case IDC_WARNING_SECOND:
      text = &window->secondText;
      break;
    default:
      return false;
  }
  size_t n = text->size() < capacity - 1 ? text->size() : capacity - 1;
  std::memcpy(out, text->data(), n * sizeof(char16_t));
  out[n] = u'\0';
  return true;
}

// Every command hides the window, as does closing it: only its owner destroys it.
void WarningWindowPress(Window* window, int32_t /*controlId*/) {
  LockGuard guard(Live().lock);
  if (window && IsLive(window)) window->visible.store(false);
}

void WarningWindowUserClose(Window* window) {
  LockGuard guard(Live().lock);
  if (window && IsLive(window)) window->visible.store(false);
}

Window* WarningWindowFind() {
  LockGuard guard(Live().lock);
  return Live().windows.empty() ? nullptr : Live().windows.back();
}

}  // namespace plat
