// The USB-mode warning window as the session thread drives it: each locale's language, the K-M1's
// own wording, the five-second rule for showing a hidden window again, and closing it from its
// owner, also right after the start. Headless window on POSIX, the real dialog under Windows.
#include "core/warning_window.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/testing.h"
#include "resources/warning_ids.h"
#include "support/connected_context.h"
#include "support/test_env.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace brelon::test {
namespace {

TEST(WarningWindow, SpeaksTheLocaleHidesForFiveSecondsAndClosesEvenRightAfterTheStart) {
  plat::SetTimeScale(1);  // the window's five seconds on the real clock; Wine can be slow
  plat::Thread* uiThread = nullptr;
  plat::WindowSlot hwnd{nullptr};
  int64_t lastShown = 0;
  // Shows for `model` with the last showing `ago` seconds back; true when it became visible.
  auto show = [&](const char* model, int64_t ago) {
    const int64_t before = lastShown = plat::NowSeconds() - ago;
    ShowMtpMessage(&uiThread, &hwnd, &lastShown, model);
    if (lastShown == before) return plat::WarningWindowIsVisible(hwnd.load());
    return Eventually([&] { return plat::WarningWindowIsVisible(hwnd.load()); });
  };
  auto open = [&](const char* model) {  // a new window, once it shows
    CloseMtpMessage(&uiThread, &hwnd);
    show(model, kWarningReshowSeconds);
    EXPECT_TRUE(Eventually([&] { return plat::WarningWindowIsVisible(hwnd.load()); }));
    return hwnd.load();
  };
  auto text = [](plat::Window* window, int32_t item) {  // item 0: the caption
    char16_t buffer[1024] = {};
    return plat::WarningWindowText(window, item, buffer, 1024) ? std::u16string(buffer) : u"-";
  };
  // A POSIX locale ("LANG=" + locale: LANG alone) or a Windows language id.
  const struct {
    const char* locale;
    uint16_t language;
    int32_t item;
    std::u16string text;
  } kCases[] = {
    {"ja_JP.UTF-8", 0x0411, IDC_WARNING_FIRST, u"USBモードが正しく設定されていません。"},
    {"es_ES.UTF-8", 0x040A, IDC_WARNING_BUTTON, u"Okay"},
    {"de_DE.UTF-8", 0x0407, 0, u"ORVANTIS KAMERA"},
#if !defined(_WIN32)
    {"pt_BR.UTF-8", 0, IDC_WARNING_BUTTON, u"OK"},  // unshipped or broken: neutral English
    {"", 0, 0, u"ORVANTIS CAMERA"},
    {"LANG=fr_FR.UTF-8", 0, 0, u"ORVANTIS Caméra"},
#endif
    {"en_US.UTF-8", 0x0409, IDC_WARNING_FIRST, u"PC SHOOT MODE is incorrect. "},
  };
  SetEnv("LC_MESSAGES", nullptr);
  for (const auto& c : kCases) {
#if defined(_WIN32)
    SetThreadUILanguage(c.language);  // the window's thread takes the caller's
    SetThreadLocale(MAKELCID(c.language, SORT_DEFAULT));
#else
    const bool langAlone = std::string(c.locale).rfind("LANG=", 0) == 0;
    SetEnv("LANG", langAlone ? c.locale + 5 : nullptr);
    SetEnv("LC_ALL", langAlone ? nullptr : c.locale);
#endif
    EXPECT_EQ(text(open("K-M2"), c.item), c.text) << c.locale;
  }
  // The K-M1's two texts differ from every other model's, nothing else does.
  plat::Window* window = open("K-M2");
  const std::u16string texts = text(window, IDC_WARNING_FIRST) + text(window, IDC_WARNING_SECOND);
  const std::u16string rest = text(window, IDC_WARNING_BUTTON) + text(window, 0);
  for (const char* model : {"K-M1", "K-M10", "K-M", "VMZ 40A", ""}) {
    plat::Window* other = open(model);
    EXPECT_EQ(text(other, IDC_WARNING_FIRST) + text(other, IDC_WARNING_SECOND) == texts,
              std::string(model) != "K-M1")
        << model;
    EXPECT_EQ(text(other, IDC_WARNING_BUTTON) + text(other, 0), rest) << model;
  }
  // Showing a visible window only moves the last showing, keeping window and wording.
  window = open("K-M2");
  plat::Thread* first = uiThread;
  EXPECT_TRUE(show("K-M1", plat::NowSeconds()));
  EXPECT_GE(lastShown, plat::NowSeconds() - 1);
  EXPECT_EQ(uiThread, first);
  EXPECT_EQ(hwnd.load(), window);
  EXPECT_EQ(text(window, IDC_WARNING_FIRST) + text(window, IDC_WARNING_SECOND), texts);
  // The button or the title bar's close only hide it, for five seconds (one of margin for a tick).
  for (bool byButton : {true, false}) {
    if (byButton) {
      plat::WarningWindowPress(window, IDC_WARNING_BUTTON);
    } else {
      plat::WarningWindowUserClose(window);
    }
    ASSERT_TRUE(Eventually([&] { return !plat::WarningWindowIsVisible(window); }));
    EXPECT_EQ(hwnd.load(), window) << "hiding must not destroy the window";
    EXPECT_FALSE(show("K-M2", 4));
    EXPECT_TRUE(show("K-M2", 6));
  }
  for (int i = 0; i < 5; ++i) {
    CloseMtpMessage(&uiThread, &hwnd);  // the window may not exist yet
    EXPECT_EQ(uiThread, nullptr);
    EXPECT_EQ(hwnd.load(), nullptr);
    lastShown = plat::NowSeconds() - kWarningReshowSeconds;
    ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M2");
  }
  CloseMtpMessage(&uiThread, &hwnd);
  CloseMtpMessage(&uiThread, &hwnd);  // nothing left to close
  SetEnv("LC_ALL", nullptr);
}

}  // namespace
}  // namespace brelon::test
