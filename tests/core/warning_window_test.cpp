// The USB-mode warning window: which texts each model and language gets, the five-second rule
// for showing a hidden window again, and closing it from its owner. Runs against the headless
// window on POSIX and against the real dialog under Windows (or Wine with a screen).
#include "core/warning_window.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "resources/warning_ids.h"
#include "support/test_env.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace brelon {
namespace {

constexpr size_t kTextUnits = 1024;
constexpr uint32_t kWindowWaitMs = 10000;  // generous: a fresh Wine desktop can be slow
constexpr uint32_t kPollMs = 5;

// The interface language the next window is opened in: a locale for POSIX, a language id for
// Windows (set on the calling thread, whose choice the window's thread takes over).
void UseLanguage(const char* posixLocale, uint16_t windowsLanguage) {
#if defined(_WIN32)
  SetThreadUILanguage(windowsLanguage);
  SetThreadLocale(MAKELCID(windowsLanguage, SORT_DEFAULT));
  (void)posixLocale;
#else
  test::SetEnv("LC_ALL", posixLocale);
  (void)windowsLanguage;
#endif
}

constexpr uint16_t kLangEnglishUs = 0x0409;
constexpr uint16_t kLangJapanese = 0x0411;
constexpr uint16_t kLangSpanish = 0x040A;
constexpr uint16_t kLangGerman = 0x0407;

std::u16string Text(plat::Window* window, int32_t item) {
  char16_t buffer[kTextUnits] = {};
  if (!plat::WarningWindowText(window, item, buffer, kTextUnits)) return u"<none>";
  return buffer;
}

// Polls until `condition` holds or the wait runs out (real milliseconds).
template <typename Condition>
bool WaitFor(Condition condition) {
  plat::SetTimeScale(1);
  for (uint32_t waited = 0; waited < kWindowWaitMs; waited += kPollMs) {
    if (condition()) return true;
    plat::SleepMs(kPollMs);
  }
  return condition();
}

class WarningWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetTimeScale(1);
    UseLanguage("en_US.UTF-8", kLangEnglishUs);
  }
  void TearDown() override {
    CloseMtpMessage(&uiThread, &hwnd);
    UseLanguage(nullptr, kLangEnglishUs);
  }

  // Opens the window for `model` the way the session thread does and waits until it is up.
  plat::Window* Open(const char* model) {
    lastShown = plat::NowSeconds() - kWarningReshowSeconds;
    ShowMtpMessage(&uiThread, &hwnd, &lastShown, model);
    EXPECT_NE(uiThread, nullptr);
    EXPECT_TRUE(WaitFor([&] { return plat::WarningWindowIsVisible(hwnd.load()); }));
    return hwnd.load();
  }

  plat::Thread* uiThread = nullptr;
  plat::WindowSlot hwnd{nullptr};
  int64_t lastShown = 0;
};

TEST(WarningTexts, OnlyTheKM1GetsItsOwnWording) {
  for (const char* model : {"K-M1", "K-M2", "K-M3", "VMZ 40A", "K-M", "K-M10", ""}) {
    const bool own = std::string(model) == "K-M1";
    const plat::WarningTexts texts = WarningTextsFor(model);
    EXPECT_EQ(texts.caption, 105u) << model;
    EXPECT_EQ(texts.firstText, own ? 106u : 109u) << model;
    EXPECT_EQ(texts.secondText, own ? 107u : 110u) << model;
    EXPECT_EQ(texts.button, 108u) << model;
  }
}

TEST_F(WarningWindowTest, EnglishWindowForTheDefaultModelShowsTheGeneralWording) {
  plat::Window* window = Open("K-M2");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, 0), u"ORVANTIS CAMERA");
  EXPECT_EQ(Text(window, IDC_WARNING_FIRST), u"PC SHOOT MODE is incorrect. ");
  EXPECT_EQ(Text(window, IDC_WARNING_SECOND),
            u"Change PC SHOOT MODE to USB AUTO at the SETUP - CONNECTION SETTING menu of the "
            u"camera.");
  EXPECT_EQ(Text(window, IDC_WARNING_BUTTON), u"OK");
}

TEST_F(WarningWindowTest, KM1GetsItsOwnEnglishWording) {
  plat::Window* window = Open("K-M1");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, IDC_WARNING_FIRST),
            u"A camera is connected, but the USB MODE setting of the camera is not one of the PC "
            u"SHOOT modes.");
  EXPECT_EQ(Text(window, IDC_WARNING_SECOND),
            u"Please unplug the USB cable and go to the camera's SET-UP menu. Choose USB-MODE and "
            u"then select one of the PC SHOOT modes. Then connect the camera again.");
}

TEST_F(WarningWindowTest, JapaneseSystemGetsJapaneseTextsThroughout) {
  UseLanguage("ja_JP.UTF-8", kLangJapanese);
  plat::Window* window = Open("K-M2");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, 0), u"ORVANTIS CAMERA");
  EXPECT_EQ(Text(window, IDC_WARNING_FIRST), u"USBモードが正しく設定されていません。");
  EXPECT_EQ(Text(window, IDC_WARNING_SECOND),
            u"カメラのセットアップ - 接続設定メニューでPC撮影モードをUSB自動に設定してください。");
  EXPECT_EQ(Text(window, IDC_WARNING_BUTTON), u"OK");
  CloseMtpMessage(&uiThread, &hwnd);

  window = Open("K-M1");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, IDC_WARNING_FIRST),
            u"USBモード設定がPC SHOOTになっていないカメラが接続されました。");
  EXPECT_EQ(Text(window, IDC_WARNING_SECOND),
            u"USBケーブルを一旦抜いて、カメラのSET-UPメニューのUSBモードをPC "
            u"SHOOTに設定してから、再度USBケーブルを接続してください。");
}

TEST_F(WarningWindowTest, SpanishButtonSaysOkayAndGermanCaptionIsGerman) {
  UseLanguage("es_ES.UTF-8", kLangSpanish);
  plat::Window* window = Open("K-M1");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, IDC_WARNING_BUTTON), u"Okay");
  EXPECT_EQ(Text(window, 0), u"ORVANTIS CÁMARA");
  CloseMtpMessage(&uiThread, &hwnd);

  UseLanguage("de_DE.UTF-8", kLangGerman);
  window = Open("K-M1");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, 0), u"ORVANTIS KAMERA");
  EXPECT_EQ(Text(window, IDC_WARNING_BUTTON), u"OK");
  // The general wording is English in every language but Japanese.
  CloseMtpMessage(&uiThread, &hwnd);
  window = Open("K-M3");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, IDC_WARNING_FIRST), u"PC SHOOT MODE is incorrect. ");
}

#if !defined(_WIN32)
TEST_F(WarningWindowTest, UnshippedOrMissingLocaleFallsBackToTheNeutralEnglishTexts) {
  for (const char* locale : {"C", "pt_BR.UTF-8", "j", ""}) {
    UseLanguage(locale, kLangEnglishUs);
    test::SetEnv("LC_MESSAGES", nullptr);
    test::SetEnv("LANG", nullptr);
    plat::Window* window = Open("K-M1");
    ASSERT_NE(window, nullptr) << locale;
    EXPECT_EQ(Text(window, 0), u"ORVANTIS CAMERA") << locale;
    EXPECT_EQ(Text(window, IDC_WARNING_BUTTON), u"OK") << locale;
    CloseMtpMessage(&uiThread, &hwnd);
  }
  // LC_ALL wins over LANG, and LANG alone is enough.
  test::SetEnv("LC_ALL", nullptr);
  test::SetEnv("LANG", "fr_FR.UTF-8");
  plat::Window* window = Open("K-M1");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, 0), u"ORVANTIS Caméra");
  test::SetEnv("LANG", nullptr);
}
#endif

TEST_F(WarningWindowTest, ButtonOrCloseOnlyHideAndTheWindowReturnsAfterFiveSeconds) {
  plat::Window* window = Open("K-M2");
  ASSERT_NE(window, nullptr);

  plat::WarningWindowPress(window, IDC_WARNING_BUTTON);
  ASSERT_TRUE(WaitFor([&] { return !plat::WarningWindowIsVisible(window); }));
  EXPECT_EQ(hwnd.load(), window) << "hiding must not destroy the window";

  // Within five seconds of the last showing the window stays hidden (one second of margin, so
  // that a clock tick during the call cannot make it six).
  int64_t now = plat::NowSeconds();
  lastShown = now - kWarningReshowSeconds + 1;
  int64_t before = lastShown;
  ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M2");
  EXPECT_FALSE(plat::WarningWindowIsVisible(window));
  EXPECT_EQ(lastShown, before);

  lastShown = plat::NowSeconds() - kWarningReshowSeconds - 1;
  ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M2");
  EXPECT_TRUE(WaitFor([&] { return plat::WarningWindowIsVisible(window); }));
  EXPECT_GE(lastShown, now);

  // Closing it as the title bar would also only hides it.
  plat::WarningWindowUserClose(window);
  ASSERT_TRUE(WaitFor([&] { return !plat::WarningWindowIsVisible(window); }));
  EXPECT_EQ(hwnd.load(), window);
  lastShown = plat::NowSeconds() - kWarningReshowSeconds - 1;
  ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M2");
  EXPECT_TRUE(WaitFor([&] { return plat::WarningWindowIsVisible(window); }));
}

TEST_F(WarningWindowTest, VisibleWindowMovesLastShownAndStartsNoSecondThread) {
  plat::Window* window = Open("K-M2");
  ASSERT_NE(window, nullptr);
  plat::Thread* first = uiThread;
  lastShown = 0;  // long ago
  ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M1");
  EXPECT_GE(lastShown, plat::NowSeconds() - 1);
  EXPECT_EQ(uiThread, first);
  EXPECT_EQ(hwnd.load(), window);
  // The wording stays that of the model the window was opened for.
  EXPECT_EQ(Text(window, IDC_WARNING_FIRST), u"PC SHOOT MODE is incorrect. ");
}

TEST_F(WarningWindowTest, CloseEndsTheWindowThreadAndClearsBothHandles) {
  plat::Window* window = Open("K-M2");
  ASSERT_NE(window, nullptr);
  CloseMtpMessage(&uiThread, &hwnd);
  EXPECT_EQ(uiThread, nullptr);
  EXPECT_EQ(hwnd.load(), nullptr);
  CloseMtpMessage(&uiThread, &hwnd);  // nothing left to close

  // A new refusal opens a new window.
  window = Open("K-M2");
  EXPECT_NE(window, nullptr);
}

TEST_F(WarningWindowTest, CloseRightAfterTheStartDoesNotHang) {
  for (int i = 0; i < 5; ++i) {
    lastShown = plat::NowSeconds() - kWarningReshowSeconds;
    ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M2");
    ASSERT_NE(uiThread, nullptr);
    CloseMtpMessage(&uiThread, &hwnd);  // the window may not exist yet
    EXPECT_EQ(uiThread, nullptr);
    EXPECT_EQ(hwnd.load(), nullptr);
  }
}

}  // namespace
}  // namespace brelon
