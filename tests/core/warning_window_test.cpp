// The USB-mode warning window as the session thread drives it: the language and wording each
// locale and model get, the five-second rule for showing a hidden window again, and closing it
// from its owner. Headless window on POSIX, the real dialog under Windows.
#include "core/warning_window.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "resources/warning_ids.h"
#include "support/connected_context.h"
#include "support/test_env.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace brelon::test {
namespace {

// A POSIX locale ("LANG=" + locale: LANG alone, with LC_ALL unset) or a Windows language id
// (the window's thread takes the caller's).
void UseLanguage(const char* posixLocale, uint16_t windowsLanguage) {
#if defined(_WIN32)
  SetThreadUILanguage(windowsLanguage);
  SetThreadLocale(MAKELCID(windowsLanguage, SORT_DEFAULT));
  (void)posixLocale;
#else
  const bool langAlone = posixLocale && std::string(posixLocale).rfind("LANG=", 0) == 0;
  SetEnv("LANG", langAlone ? posixLocale + 5 : nullptr);
  SetEnv("LC_ALL", langAlone ? nullptr : posixLocale);
  (void)windowsLanguage;
#endif
}

std::u16string Text(plat::Window* window, int32_t item) {
  char16_t buffer[1024] = {};
  return plat::WarningWindowText(window, item, buffer, 1024) ? buffer : u"<none>";
}

const std::u16string kGeneralFirst = u"PC SHOOT MODE is incorrect. ";

class WarningWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetTimeScale(1);  // the window's five seconds on the real clock; Wine can be slow
    SetEnv("LC_MESSAGES", nullptr);
    UseLanguage("en_US.UTF-8", 0x0409);
  }
  void TearDown() override {
    CloseMtpMessage(&uiThread, &hwnd);
    UseLanguage(nullptr, 0x0409);
  }
  // Opens the window for `model` as the session thread does and waits until it shows.
  plat::Window* Open(const char* model) {
    CloseMtpMessage(&uiThread, &hwnd);
    lastShown = plat::NowSeconds() - kWarningReshowSeconds;
    ShowMtpMessage(&uiThread, &hwnd, &lastShown, model);
    EXPECT_NE(uiThread, nullptr);
    EXPECT_TRUE(Eventually([&] { return plat::WarningWindowIsVisible(hwnd.load()); }));
    return hwnd.load();
  }
  // Shows again with the last showing `ago` seconds back; true when it became visible.
  bool ShowAgain(plat::Window* window, int64_t ago) {
    const int64_t before = lastShown = plat::NowSeconds() - ago;
    ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M2");
    if (lastShown == before) return plat::WarningWindowIsVisible(window);
    return Eventually([&] { return plat::WarningWindowIsVisible(window); });
  }

  plat::Thread* uiThread = nullptr;
  plat::WindowSlot hwnd{nullptr};
  int64_t lastShown = 0;
};

TEST_F(WarningWindow, EachLanguageGetsItsTextsAndOnlyTheKM1ItsOwnWording) {
  const struct {
    const char* locale;
    uint16_t language;
    int32_t item;  // 0: the caption
    std::u16string text;
  } kCases[] = {
    {"en_US.UTF-8", 0x0409, 0, u"ORVANTIS CAMERA"},
    {"en_US.UTF-8", 0x0409, IDC_WARNING_FIRST, kGeneralFirst},
    {"ja_JP.UTF-8", 0x0411, IDC_WARNING_FIRST, u"USBモードが正しく設定されていません。"},
    {"es_ES.UTF-8", 0x040A, IDC_WARNING_BUTTON, u"Okay"},
    {"de_DE.UTF-8", 0x0407, 0, u"ORVANTIS KAMERA"},
    {"de_DE.UTF-8", 0x0407, IDC_WARNING_FIRST, kGeneralFirst},
#if !defined(_WIN32)
    // Unshipped or broken locales fall back to the neutral English texts.
    {"C", 0, 0, u"ORVANTIS CAMERA"},
    {"pt_BR.UTF-8", 0, IDC_WARNING_BUTTON, u"OK"},
    {"", 0, 0, u"ORVANTIS CAMERA"},
    {"LANG=fr_FR.UTF-8", 0, 0, u"ORVANTIS Caméra"},
#endif
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.locale << " item " << c.item);
    UseLanguage(c.locale, c.language);
    plat::Window* general = Open("K-M2");
    ASSERT_NE(general, nullptr);
    EXPECT_EQ(Text(general, c.item), c.text);
    const std::u16string texts[] = {Text(general, IDC_WARNING_FIRST),
                                    Text(general, IDC_WARNING_SECOND),
                                    Text(general, IDC_WARNING_BUTTON)};
    // The K-M1's own wording: its two texts differ from every other model's, nothing else.
    if (c.item != IDC_WARNING_FIRST) continue;
    for (const char* model : {"K-M1", "K-M10", "K-M", "VMZ 40A", ""}) {
      plat::Window* window = Open(model);
      ASSERT_NE(window, nullptr);
      const bool own = std::string(model) == "K-M1";
      EXPECT_EQ(Text(window, IDC_WARNING_FIRST) == texts[0], !own) << model;
      EXPECT_EQ(Text(window, IDC_WARNING_SECOND) == texts[1], !own) << model;
      EXPECT_EQ(Text(window, IDC_WARNING_BUTTON), texts[2]);
    }
  }
}

TEST_F(WarningWindow, ShowingAVisibleWindowOnlyMovesLastShownAndAHiddenOneReturnsAfter5s) {
  plat::Window* window = Open("K-M2");
  ASSERT_NE(window, nullptr);
  plat::Thread* first = uiThread;
  lastShown = 0;
  ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M1");
  EXPECT_GE(lastShown, plat::NowSeconds() - 1);
  EXPECT_EQ(uiThread, first);
  EXPECT_EQ(hwnd.load(), window);
  EXPECT_EQ(Text(window, IDC_WARNING_FIRST), kGeneralFirst) << "the wording stays";
  // The button or the title bar's close only hide it.
  for (bool byButton : {true, false}) {
    SCOPED_TRACE(byButton ? "button" : "title-bar close");
    if (byButton) {
      plat::WarningWindowPress(window, IDC_WARNING_BUTTON);
    } else {
      plat::WarningWindowUserClose(window);
    }
    ASSERT_TRUE(Eventually([&] { return !plat::WarningWindowIsVisible(window); }));
    EXPECT_EQ(hwnd.load(), window) << "hiding must not destroy the window";
    // Five seconds, with one of margin so that a clock tick during the call cannot mislead.
    EXPECT_FALSE(ShowAgain(window, 4));
    const int64_t now = plat::NowSeconds();
    EXPECT_TRUE(ShowAgain(window, 6));
    EXPECT_GE(lastShown, now);
  }
}

TEST_F(WarningWindow, CloseEndsTheThreadAndClearsBothHandlesEvenRightAfterTheStart) {
  ASSERT_NE(Open("K-M2"), nullptr);
  CloseMtpMessage(&uiThread, &hwnd);
  EXPECT_EQ(uiThread, nullptr);
  EXPECT_EQ(hwnd.load(), nullptr);
  CloseMtpMessage(&uiThread, &hwnd);  // nothing left to close
  for (int i = 0; i < 5; ++i) {
    lastShown = plat::NowSeconds() - kWarningReshowSeconds;
    ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M2");
    ASSERT_NE(uiThread, nullptr);
    CloseMtpMessage(&uiThread, &hwnd);  // the window may not exist yet
    EXPECT_EQ(uiThread, nullptr);
    EXPECT_EQ(hwnd.load(), nullptr);
  }
  EXPECT_NE(Open("K-M2"), nullptr) << "a new refusal opens a new window";
}

}  // namespace
}  // namespace brelon::test
