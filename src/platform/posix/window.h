// The headless warning window's state, shared by the backend's window code and the test hooks
// that read and press it: the window record and the list of the windows that exist now.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace plat {

struct Window {
  std::atomic<bool> visible{false};
  Event* closeRequest = nullptr;
  // Written before the window is published and never after, so readers need no lock.
  std::u16string caption, firstText, secondText, button;
};

namespace posix {

// Windows that exist now. Every access from outside a window's own thread goes through this
// list under its lock, so a window its thread has already destroyed is never touched.
struct LiveWindows {
  Lock* lock = LockCreate();
  std::vector<Window*> windows;
};
LiveWindows& Live();
// True when `window` is in the list; the caller holds Live().lock.
bool IsLive(Window* window);

}  // namespace posix
}  // namespace plat
