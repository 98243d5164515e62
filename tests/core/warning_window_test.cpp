// The USB-mode warning window: the texts each model and language gets, the five-second rule for
// showing a hidden window again, and closing it from its owner; then the session thread with a
// camera in a USB mode without remote shooting: the refusal (0x1015), the model probe that picks
// the wording, the warning coming back after the user hid it, and the window closing when the
// camera goes, switches to a remote mode, or the plug-in exits. Headless window on POSIX, the
// real dialog under Windows.
#include "core/warning_window.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/media_record.h"
#include "core/session.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "resources/warning_ids.h"
#include "session_fixture.h"
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
  test::SetEnv("LANG", langAlone ? posixLocale + 5 : nullptr);
  test::SetEnv("LC_ALL", langAlone ? nullptr : posixLocale);
  (void)windowsLanguage;
#endif
}

std::u16string Text(plat::Window* window, int32_t item) {
  char16_t buffer[1024] = {};
  if (!plat::WarningWindowText(window, item, buffer, 1024)) return u"<none>";
  return buffer;
}

template <typename Condition>
bool WaitFor(Condition condition) {  // real time; a fresh Wine desktop can be slow
  plat::SetTimeScale(1);
  for (int waited = 0; waited < 10000 && !condition(); waited += 5) plat::SleepMs(5);
  return condition();
}

const std::u16string kGeneralFirst = u"PC SHOOT MODE is incorrect. ";
const std::u16string kKM1First =
    u"A camera is connected, but the USB MODE setting of the camera is not one of the PC SHOOT "
    u"modes.";

class WarningWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::SetEnv("LC_MESSAGES", nullptr);
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
    EXPECT_TRUE(WaitFor([&] { return plat::WarningWindowIsVisible(hwnd.load()); }));
    return hwnd.load();
  }
  // Shows again with the last showing `ago` seconds back; true when it became visible.
  bool ShowAgain(plat::Window* window, int64_t ago) {
    lastShown = plat::NowSeconds() - ago;
    const int64_t before = lastShown;
    ShowMtpMessage(&uiThread, &hwnd, &lastShown, "K-M2");
    if (lastShown == before) return plat::WarningWindowIsVisible(window);
    return WaitFor([&] { return plat::WarningWindowIsVisible(window); });
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

TEST_F(WarningWindowTest, EachLanguageAndModelGetsItsTexts) {
  const struct {
    const char* locale;
    uint16_t language;
    const char* model;
    int32_t item;  // 0: the caption
    std::u16string text;
  } kCases[] = {
    {"en_US.UTF-8", 0x0409, "K-M2", 0, u"ORVANTIS CAMERA"},
    {"en_US.UTF-8", 0x0409, "K-M2", IDC_WARNING_FIRST, kGeneralFirst},
    {"en_US.UTF-8", 0x0409, "K-M2", IDC_WARNING_SECOND,
     u"Change PC SHOOT MODE to USB AUTO at the SETUP - CONNECTION SETTING menu of the camera."},
    {"en_US.UTF-8", 0x0409, "K-M1", IDC_WARNING_FIRST, kKM1First},
    {"en_US.UTF-8", 0x0409, "K-M1", IDC_WARNING_SECOND,
     u"Please unplug the USB cable and go to the camera's SET-UP menu. Choose USB-MODE and then "
     u"select one of the PC SHOOT modes. Then connect the camera again."},
    {"ja_JP.UTF-8", 0x0411, "K-M2", IDC_WARNING_FIRST, u"USBモードが正しく設定されていません。"},
    {"ja_JP.UTF-8", 0x0411, "K-M2", IDC_WARNING_SECOND,
     u"カメラのセットアップ - 接続設定メニューでPC撮影モードをUSB自動に設定してください。"},
    {"ja_JP.UTF-8", 0x0411, "K-M1", IDC_WARNING_FIRST,
     u"USBモード設定がPC SHOOTになっていないカメラが接続されました。"},
    {"ja_JP.UTF-8", 0x0411, "K-M1", IDC_WARNING_SECOND,
     u"USBケーブルを一旦抜いて、カメラのSET-UPメニューのUSBモードをPC "
     u"SHOOTに設定してから、再度USBケーブルを接続してください。"},
    {"es_ES.UTF-8", 0x040A, "K-M1", 0, u"ORVANTIS CÁMARA"},
    {"es_ES.UTF-8", 0x040A, "K-M1", IDC_WARNING_BUTTON, u"Okay"},
    {"de_DE.UTF-8", 0x0407, "K-M1", 0, u"ORVANTIS KAMERA"},
    {"de_DE.UTF-8", 0x0407, "K-M3", IDC_WARNING_FIRST, kGeneralFirst},  // English but Japanese
#if !defined(_WIN32)
    // Unshipped or broken locales fall back to the neutral English texts.
    {"C", 0, "K-M1", 0, u"ORVANTIS CAMERA"},
    {"pt_BR.UTF-8", 0, "K-M1", IDC_WARNING_BUTTON, u"OK"},
    {"", 0, "K-M1", 0, u"ORVANTIS CAMERA"},
    {"LANG=fr_FR.UTF-8", 0, "K-M1", 0, u"ORVANTIS Caméra"},
#endif
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.locale << " " << c.model << " item " << c.item);
    UseLanguage(c.locale, c.language);
    plat::Window* window = Open(c.model);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Text(window, c.item), c.text);
  }
}

TEST_F(WarningWindowTest, ShowingAVisibleWindowOnlyMovesLastShownAndAHiddenOneReturnsAfter5s) {
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
    ASSERT_TRUE(WaitFor([&] { return !plat::WarningWindowIsVisible(window); }));
    EXPECT_EQ(hwnd.load(), window) << "hiding must not destroy the window";
    // One second of margin, so that a clock tick during the call cannot make it six.
    EXPECT_FALSE(ShowAgain(window, kWarningReshowSeconds - 1));
    const int64_t now = plat::NowSeconds();
    EXPECT_TRUE(ShowAgain(window, kWarningReshowSeconds + 1));
    EXPECT_GE(lastShown, now);
  }
}

TEST_F(WarningWindowTest, CloseEndsTheThreadAndClearsBothHandlesEvenRightAfterTheStart) {
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

class SessionWarningTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    SetEnv("LC_ALL", "en_US.UTF-8");  // the window's language on POSIX
  }
  void TearDown() override {
    SessionTest::TearDown();
    SetEnv("LC_ALL", nullptr);
  }
  // Starts with one refusing camera of `model` and returns its warning once visible.
  plat::Window* StartRefused(const char* model) {
    Start(std::string(R"({"cameras":[{"model":")") + model + R"(","open_mode":2}]})");
    plat::Window* window = nullptr;
    Eventually([&] { return plat::WarningWindowIsVisible(window = plat::WarningWindowFind()); });
    return window;
  }
  // The model names the probe asked ZEPK_Detect about, in order.
  std::vector<std::string> ProbedModels() {
    std::vector<std::string> models;
    for (const TraceCall& call : Calls("ZEPK_Detect")) {
      if (call.args.size() == 2) models.push_back(TextArg(call, 1));
    }
    return models;
  }
};

TEST_F(SessionWarningTest, RefusedOpenIsClosedUnannouncedAndWarnsInTheGeneralWording) {
  plat::Window* window = StartRefused("K-Q7");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, IDC_WARNING_FIRST), kGeneralFirst);
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Open Failed. ErrorCode=[0x1015]").empty());
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Open MTPMode").empty());
  // Logged just after the window's thread starts, so possibly after the window shows.
  EXPECT_TRUE(Eventually([&] { return !LogLines("ShowMtpMessage()").empty(); }));
  const std::vector<std::string> expected = {"VMZ 40A", "VMZ 40B", "VMZ 200", "K-N1", "K-Rel2",
                                             "K-Rel3",  "K-M3",    "K-M2",    "K-M1"};
  std::vector<std::string> probed = ProbedModels();
  ASSERT_GE(probed.size(), expected.size());
  probed.resize(expected.size());
  EXPECT_EQ(probed, expected);
  EXPECT_EQ(Calls("ZEPK_OpenEx").at(0).ret, 0);
  EXPECT_FALSE(Calls("ZEPK_Close").empty());
  EXPECT_FALSE(Connected());
  EXPECT_TRUE(Events().empty());
}

TEST_F(SessionWarningTest, KM1FoundByTheProbeGetsItsOwnWordingAndExitClosesIt) {
  plat::Window* window = StartRefused("K-M1");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, IDC_WARNING_FIRST), kKM1First);
  EXPECT_EQ(ProbedModels().back(), "K-M1");
  Stop();
  EXPECT_EQ(plat::WarningWindowFind(), nullptr);
}

TEST_F(SessionWarningTest, MediumFormatOptionProbesOnlyTheMediumFormatModels) {
  SetHostOptionFlags(kOptionMediumFormatOnly);
  ASSERT_NE(StartRefused("VMZ 40B"), nullptr);
  const std::vector<std::string> probed = ProbedModels();
  ASSERT_GE(probed.size(), 2u);
  EXPECT_EQ(probed[0], "VMZ 40A");
  EXPECT_EQ(probed[1], "VMZ 40B");
  for (const std::string& model : probed) {
    EXPECT_TRUE(model == "VMZ 40A" || model == "VMZ 40B" || model == "VMZ 200") << model;
  }
}

TEST_F(SessionWarningTest, HiddenWarningReturnsUnplugClosesItAndARemoteModeConnects) {
  plat::Window* window = StartRefused("K-M3");
  ASSERT_NE(window, nullptr);
  plat::WarningWindowPress(window, IDC_WARNING_BUTTON);
  ASSERT_TRUE(Eventually([&] { return !plat::WarningWindowIsVisible(window); }));
  ASSERT_TRUE(Eventually([&] { return plat::WarningWindowIsVisible(window); }));
  EXPECT_EQ(plat::WarningWindowFind(), window);
  ASSERT_EQ(Control(R"({"cmd":"unplug","camera":0})"), 0);
  EXPECT_TRUE(Eventually([&] { return plat::WarningWindowFind() == nullptr; }));

  ASSERT_EQ(Control(R"({"cmd":"plug","camera":0})"), 0);
  ASSERT_TRUE(Eventually([&] { return plat::WarningWindowIsVisible(plat::WarningWindowFind()); }));
  EXPECT_TRUE(Events().empty());
  ASSERT_EQ(Control(R"({"cmd":"set","camera":0,"key":"open_mode","value":1})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_EQ(plat::WarningWindowFind(), nullptr);
  EXPECT_TRUE(Connected());
}

}  // namespace
}  // namespace brelon::test
