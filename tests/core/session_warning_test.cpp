// A camera that answers in a USB mode without remote shooting: the session thread's refusal
// (error 0x1015), the model probe that picks the warning's wording, the warning window coming
// back after the user hid it, and the window closing when the camera goes or opens.
#include <string>
#include <vector>

#include "core/session.h"
#include "resources/warning_ids.h"
#include "session_fixture.h"

namespace brelon::test {
namespace {

constexpr size_t kTextUnits = 1024;

std::u16string WindowText(plat::Window* window, int32_t item) {
  char16_t buffer[kTextUnits] = {};
  if (!plat::WarningWindowText(window, item, buffer, kTextUnits)) return u"<none>";
  return buffer;
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

  plat::Window* WaitForVisibleWindow() {
    plat::Window* window = nullptr;
    Eventually([&] {
      window = plat::WarningWindowFind();
      return plat::WarningWindowIsVisible(window);
    });
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

TEST_F(SessionWarningTest, RefusedOpenWarnsWithTheGeneralWordingWhenNoKnownModelAnswers) {
  Start(R"({"cameras":[{"model":"K-Q7","open_mode":2}]})");
  plat::Window* window = WaitForVisibleWindow();
  ASSERT_NE(window, nullptr);

  EXPECT_EQ(WindowText(window, 0), u"ORVANTIS CAMERA");
  EXPECT_EQ(WindowText(window, IDC_WARNING_FIRST), u"PC SHOOT MODE is incorrect. ");
  EXPECT_EQ(WindowText(window, IDC_WARNING_SECOND),
            u"Change PC SHOOT MODE to USB AUTO at the SETUP - CONNECTION SETTING menu of the "
            u"camera.");
  EXPECT_EQ(WindowText(window, IDC_WARNING_BUTTON), u"OK");

  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Open Failed. ErrorCode=[0x1015]").empty());
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Open MTPMode").empty());
  EXPECT_FALSE(LogLines("ShowMtpMessage()").empty());
  std::vector<std::string> expected = {"VMZ 40A", "VMZ 40B", "VMZ 200", "K-N1", "K-Rel2",
                                       "K-Rel3",  "K-M3",    "K-M2",    "K-M1"};
  std::vector<std::string> probed = ProbedModels();
  ASSERT_GE(probed.size(), expected.size());
  probed.resize(expected.size());
  EXPECT_EQ(probed, expected);
  // The refused camera was closed again and never announced.
  std::vector<TraceCall> opens = Calls("ZEPK_OpenEx");
  ASSERT_FALSE(opens.empty());
  EXPECT_EQ(opens[0].ret, 0);
  EXPECT_FALSE(Calls("ZEPK_Close").empty());
  EXPECT_FALSE(Connected());
  EXPECT_TRUE(Events().empty());
}

TEST_F(SessionWarningTest, KM1FoundByTheProbeGetsItsOwnWording) {
  Start(R"({"cameras":[{"model":"K-M1","open_mode":2}]})");
  plat::Window* window = WaitForVisibleWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(WindowText(window, IDC_WARNING_FIRST),
            u"A camera is connected, but the USB MODE setting of the camera is not one of the PC "
            u"SHOOT modes.");
  EXPECT_EQ(WindowText(window, IDC_WARNING_SECOND),
            u"Please unplug the USB cable and go to the camera's SET-UP menu. Choose USB-MODE and "
            u"then select one of the PC SHOOT modes. Then connect the camera again.");
  EXPECT_EQ(ProbedModels().back(), "K-M1");
}

TEST_F(SessionWarningTest, MediumFormatOptionProbesOnlyTheMediumFormatModels) {
  SetHostOptionFlags(kOptionMediumFormatOnly);
  Start(R"({"cameras":[{"model":"VMZ 40B","open_mode":2}]})");
  ASSERT_NE(WaitForVisibleWindow(), nullptr);
  std::vector<std::string> probed = ProbedModels();
  ASSERT_GE(probed.size(), 2u);
  EXPECT_EQ(probed[0], "VMZ 40A");
  EXPECT_EQ(probed[1], "VMZ 40B");
  for (const std::string& model : probed) {
    EXPECT_TRUE(model == "VMZ 40A" || model == "VMZ 40B" || model == "VMZ 200") << model;
  }
}

TEST_F(SessionWarningTest, HiddenWarningReturnsOnALaterCycleAndUnplugClosesIt) {
  Start(R"({"cameras":[{"model":"K-M3","open_mode":2}]})");
  plat::Window* window = WaitForVisibleWindow();
  ASSERT_NE(window, nullptr);

  plat::WarningWindowPress(window, IDC_WARNING_BUTTON);
  ASSERT_TRUE(Eventually([&] { return !plat::WarningWindowIsVisible(window); }));
  // A later refusal, more than five seconds on, shows the same window again.
  ASSERT_TRUE(Eventually([&] { return plat::WarningWindowIsVisible(window); }));
  EXPECT_EQ(plat::WarningWindowFind(), window);

  ASSERT_EQ(Control(R"({"cmd":"unplug","camera":0})"), 0);
  EXPECT_TRUE(Eventually([&] { return plat::WarningWindowFind() == nullptr; }));
  EXPECT_TRUE(Events().empty());
}

TEST_F(SessionWarningTest, CameraSwitchedToARemoteModeOpensAndClosesTheWarning) {
  Start(R"({"cameras":[{"model":"K-M3","open_mode":2}]})");
  ASSERT_NE(WaitForVisibleWindow(), nullptr);
  ASSERT_EQ(Control(R"({"cmd":"set","camera":0,"key":"open_mode","value":1})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_EQ(plat::WarningWindowFind(), nullptr);
  EXPECT_TRUE(Connected());
}

TEST_F(SessionWarningTest, ExitClosesAShownWarning) {
  Start(R"({"cameras":[{"model":"K-M3","open_mode":2}]})");
  ASSERT_NE(WaitForVisibleWindow(), nullptr);
  Stop();
  EXPECT_EQ(plat::WarningWindowFind(), nullptr);
}

}  // namespace
}  // namespace brelon::test
