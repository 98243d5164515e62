// The USB-mode warning window as the session thread sees it: when to show it again, which
// wording a model gets, and closing it. The window itself lives in the platform layer
// (plat::WarningWindow*), on a thread of its own.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace brelon {

// A hidden window comes back only when it was last shown (or found visible) more than this
// long ago, so a user who dismissed it gets a few seconds of peace.
constexpr int64_t kWarningReshowSeconds = 5;

// The texts the window shows for `model` (borrowed, NUL-terminated, may be null): the own
// wording for a model listed with kModelOwnWarningWording, the general one for every other
// model. Any thread.
plat::WarningTexts WarningTextsFor(const char* model);

// Session thread, once per detection cycle whose open was refused for the USB mode.
// `uiThread` and `hwnd` (in/out, owned by the caller) hold the window's thread and window;
// `lastShown` (in/out) is the calendar second of the last showing. A visible window only moves
// `lastShown` to now; a hidden one is shown again once now - lastShown exceeds
// kWarningReshowSeconds. Without a window thread one is started for `model` (borrowed; copied
// before the call returns), which shows its window itself.
void ShowMtpMessage(plat::Thread** uiThread, plat::WindowSlot* hwnd, int64_t* lastShown,
                    const char* model);

// Session thread. Destroys the window (on its own thread), waits for that thread to end and
// clears `uiThread` and `hwnd` (in/out). Nothing happens when there is no window thread.
void CloseMtpMessage(plat::Thread** uiThread, plat::WindowSlot* hwnd);

}  // namespace brelon
