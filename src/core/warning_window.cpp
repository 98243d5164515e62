// When the USB-mode warning window is shown, with which texts, and how it is closed. Only the
// decisions live here; the platform layer draws the window on the window's own thread.
#include "core/warning_window.h"

#include "base/log.h"
#include "resources/warning_ids.h"
#include "sdk/camera_models.h"

namespace brelon {

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
  plat::WarningWindowClose(uiThread, hwnd);
}

}  // namespace brelon
