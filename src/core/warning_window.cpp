// When the USB-mode warning window is shown, with which texts, and how it is closed. The decisions
// and the close's wait for the window's thread live here; the platform layer draws the window on
// that thread.
#include "core/warning_window.h"

#include "base/log.h"
#include "resources/warning_ids.h"
#include "sdk/camera_models.h"

namespace brelon {
namespace {

// How often a close looks again for a window that its thread has not published yet.
constexpr uint32_t kClosePollMs = 10;

}  // namespace

plat::WarningTexts WarningTextsFor(const char* model) {
  const bool ownWording = model && ModelHas(model, kModelOwnWarningWording);
  return plat::WarningTexts{
      IDS_WARNING_CAPTION,
      ownWording ? static_cast<uint32_t>(IDS_WARNING_KM1_FIRST) : IDS_WARNING_FIRST,
      ownWording ? static_cast<uint32_t>(IDS_WARNING_KM1_SECOND) : IDS_WARNING_SECOND,
      IDS_WARNING_BUTTON};
}

void ShowMtpMessage(plat::Thread** uiThread, plat::WindowSlot* hwnd, int64_t* lastShown,
                    const char* model) {
  int64_t now = plat::NowSeconds();
  // The window thread may not have published its window yet; then both calls do nothing.
  plat::Window* window = hwnd->load();
  if (plat::WarningWindowIsVisible(window)) {
    *lastShown = now;
  } else if (now - *lastShown > kWarningReshowSeconds) {
    *lastShown = now;
    plat::WarningWindowShow(window);
  }

  if (!*uiThread) {
    *uiThread = plat::WarningWindowStart(WarningTextsFor(model), hwnd);
    WriteLog(kCoreSource, "ShowMtpMessage", __LINE__, "%s", "");
  }
}

void CloseMtpMessage(plat::Thread** uiThread, plat::WindowSlot* hwnd) {
  if (!*uiThread) return;
  // Only the window's own thread may destroy the window, so it is asked to and then joined. Right
  // after the start the window may not be published yet: look again until it is, or until the
  // thread ends without one and there is nothing to close.
  for (;;) {
    if (plat::Window* window = hwnd->load()) {
      plat::WarningWindowRequestClose(window);
      break;
    }
    if (plat::ThreadJoin(*uiThread, kClosePollMs) != plat::WaitResult::kTimeout) break;
  }
  plat::ThreadJoin(*uiThread, plat::kInfinite);
  plat::ThreadClose(*uiThread);
  *uiThread = nullptr;
  hwnd->store(nullptr);
}

}  // namespace brelon
