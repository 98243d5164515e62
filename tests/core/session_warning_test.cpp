// A camera in a USB mode without remote shooting: the refusal (0x1015), the model probe that
// picks the warning's wording, the warning coming back after the user hid it, and the window
// closing when the camera goes, switches to a remote mode, or the plug-in exits.
#include <string>
#include <vector>

#include "core/session.h"
#include "resources/warning_ids.h"
#include "session_fixture.h"

namespace brelon::test {
namespace {

std::u16string FirstText(plat::Window* window) {
  char16_t buffer[1024] = {};
  if (!plat::WarningWindowText(window, IDC_WARNING_FIRST, buffer, 1024)) return u"<none>";
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
  EXPECT_EQ(FirstText(window), u"PC SHOOT MODE is incorrect. ");
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Open Failed. ErrorCode=[0x1015]").empty());
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Open MTPMode").empty());
  EXPECT_FALSE(LogLines("ShowMtpMessage()").empty());
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
  EXPECT_EQ(FirstText(window),
            u"A camera is connected, but the USB MODE setting of the camera is not one of the PC "
            u"SHOOT modes.");
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
