// The session thread on the simulated camera: finding, opening, watching and losing it, the
// camera name, the card-recording mode, the machine-wide session mutex and the USB-mode warning.
#include "core/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>

#include "capture/media_record.h"
#include "resources/warning_ids.h"
#include "settings/test_registry.h"
#include "support/connected_context.h"

namespace brelon::test {
namespace {

constexpr uint32_t kTimeScale = 50;  // a session cycle of 5 s lasts 100 ms
constexpr int32_t kUsb = 0x01;       // ConnectType value, also ZEPK_Detect's flag
constexpr uint32_t kBit4 = 1u << 4;  // the host's medium-format option
const std::string kUnplug = R"({"cmd":"unplug","camera":0})",
                  kPlug = R"({"cmd":"plug","camera":0})";

std::string Cameras(const std::string& cameras) {
  return R"({"cameras":[)" + cameras + "]}";
}
std::string Fault(const std::string& fn, int error, int count = 1) {
  return R"({"cmd":"fault","fn":")" + fn + R"(","count":)" + std::to_string(count) +
         R"(,"result":-1,"error":)" + std::to_string(error) + "}";
}

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    profile_ = UseFreshProfile("session");
    plat::SetTimeScale(kTimeScale);
    SetHostOptionFlags(0);
    SetEnv("LC_ALL", "en_US.UTF-8");  // the warning's language on POSIX
  }
  void TearDown() override {
    cam_.reset();
    SetHostOptionFlags(0);
    plat::SetTimeScale(1);
    SetEnv("LC_ALL", nullptr);
  }
  void Start(const std::string& config) {
    cam_.reset();  // first, so that it gives the environment back before the next one sets it
    cam_ = std::make_unique<ConnectedContext>(config, ConnectedContext::kNoWait);
    ASSERT_EQ(cam_->InitResult(), BRELON_OK);
  }
  static void Set(const char16_t* name, uint32_t value) { PutDword(kSettingsKey, name, value); }
  PluginContext* Ctx() { return cam_->Context(); }
  int Control(const std::string& json) { return cam_->Control(json); }
  std::vector<TraceCall> Calls(const std::string& fn) { return cam_->Sim().Calls(fn); }
  size_t CountCalls(const std::string& fn) { return Calls(fn).size(); }
  bool WaitCalls(const std::string& fn, size_t count) {
    return Eventually([&] { return CountCalls(fn) >= count; });
  }
  bool Connected() {
    uint8_t connected = 0;
    return IsCameraConnect(cam_->Handle(), &connected) == BRELON_OK && connected == 1;
  }
  int32_t ConnectKind() {
    plat::LockGuard guard(Locks().connection);
    return Ctx()->lConnectKind;
  }
  std::u16string CameraName() {
    plat::LockGuard guard(Locks().cameraName);
    return Ctx()->Condition.cameraName;
  }
  // Waits for a successful ZEPK_SetMediaRecord(value); its index in `trace`, which it fills.
  size_t WaitMediaRecord(int64_t value, std::vector<TraceCall>& trace) {
    auto set = [&](const TraceCall& c) {
      return c.fn == "ZEPK_SetMediaRecord" && IntArg(c, 1) == value && c.ret == 0;
    };
    EXPECT_TRUE(Eventually([&] {
      trace = cam_->Sim().Trace();
      return std::any_of(trace.begin(), trace.end(), set);
    })) << value;
    return std::find_if(trace.begin(), trace.end(), set) - trace.begin();
  }
  plat::Window* Warning() {  // the visible warning window, once there is one
    plat::Window* window = nullptr;
    Eventually([&] { return plat::WarningWindowIsVisible(window = plat::WarningWindowFind()); });
    return window;
  }

  Profile profile_;
  std::unique_ptr<ConnectedContext> cam_;
};

TEST_F(Session, UsbCameraIsAnnouncedKeptWhileBusyLostOnUnplugAndClosedAtExit) {
  Start(Cameras(R"({"model":"K-M3","connect":["usb"]})"));
  ASSERT_TRUE(cam_->WaitEvent(BRELON_EV_CONNECTED, 1));
  DeviceInformation info{};
  ASSERT_EQ(GetDeviceInfo(cam_->Handle(), &info), BRELON_OK);
  EXPECT_STREQ(info.model, "K-M3");
  EXPECT_EQ(CameraName(), u"ORVANTIS K-M3");
  EXPECT_EQ(IntArgs(Calls("ZEPK_Detect").at(0)), std::vector<int64_t>{kUsb});
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx").at(0), 0), "ENUM:0");
  const HostEvent first = cam_->HostEvents().at(0);
  EXPECT_TRUE(first.camera != 0 && first.camera == Ctx()->hCamera) << first.camera;
  // A busy camera is kept, quietly.
  const size_t watches = CountCalls("ZEPK_GetDeviceInfo");
  ASSERT_EQ(Control(Fault("ZEPK_GetDeviceInfo", ZEPK_ERR_BUSY, 3)), 0);
  ASSERT_TRUE(WaitCalls("ZEPK_GetDeviceInfo", watches + 4));
  EXPECT_TRUE(Connected());
  // Unplugged: the loss is reported and logged; plugged in again: announced again.
  ASSERT_EQ(Control(kUnplug), 0);
  ASSERT_TRUE(cam_->WaitEvent(BRELON_EV_DISCONNECTED, 1));
  uint8_t connected = 0xFF;
  EXPECT_EQ(IsCameraConnect(cam_->Handle(), &connected), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(CameraName(), u"");
  EXPECT_EQ(Ctx()->lOpenMode * 10 + ConnectKind(), 0) << "the host sees no open mode or kind";
  EXPECT_FALSE(cam_->LogLines("Failed. ErrorCode=[0x2001]").empty());
  ASSERT_EQ(Control(kPlug), 0);
  ASSERT_TRUE(cam_->WaitEvent(BRELON_EV_CONNECTED, 2));
  EXPECT_TRUE(Connected());
  EXPECT_EQ(CameraName(), u"ORVANTIS K-M3");
  const std::vector<HostEvent> events = cam_->HostEvents();
  ASSERT_EQ(events.size(), 3u) << "no loss reported while busy";
  EXPECT_EQ(events[1].code, BRELON_EV_DISCONNECTED);
  EXPECT_EQ(events[1].camera, first.camera) << "the loss names the camera that was lost";
  EXPECT_EQ(Ctx()->lHostCount, 1) << "reset when the loss was reported";
  // Exit closes that camera, then ends the SDK, and reports no further loss.
  EXPECT_EQ(Exit(cam_->Handle()), BRELON_OK);
  const std::vector<TraceCall> trace = cam_->Sim().Trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(IntArgs(trace[trace.size() - 2]), std::vector<int64_t>{events[2].camera});
  EXPECT_EQ(trace[trace.size() - 2].fn + " " + trace.back().fn, "ZEPK_Close ZEPK_Exit");
  EXPECT_EQ(cam_->Count(BRELON_EV_DISCONNECTED), 1);
}

// "<maker> <model>" cut to its 255-unit field, never inside a surrogate pair; of a model that
// fills its field unterminated only the first 255 bytes count.
TEST_F(Session, CameraNameIsCutToItsFieldButNeverInsideASurrogatePair) {
  char16_t probe[4];
  if (plat::AnsiToWide("\xF0\x90\x80\x80", 4, probe, 4) != 2) GTEST_SKIP() << "not UTF-8";
  const std::string x245(245, 'x');
  std::string threeByteChars;
  for (int i = 0; i < 85; ++i) threeByteChars += "\xE3\x81\x82";
  const std::pair<std::string, size_t> kCases[] = {
      {x245.substr(1) + "\xF0\x90\x80\x80", 255},  // U+10000 ends the field whole
      {x245 + "\xF0\x90\x80\x80", 254},            // only its high half would fit: both go
      {x245 + "\xF4\x8F\xBF\xBF", 254},
      {x245 + "z", 255},
      {threeByteChars + "zz", 9 + 85}};
  for (const auto& [model, units] : kCases) {
    Start(Cameras(R"({"model":")" + model + R"("})"));
    ASSERT_TRUE(cam_->WaitEvent(BRELON_EV_CONNECTED, 1));
    EXPECT_EQ(CameraName().size(), units);
    EXPECT_EQ(CameraName().substr(0, 9), u"ORVANTIS ");
  }
}

// The maker's cameras other than the K-M1 take a new card-recording mode only while 0x3327 is 1;
// its earlier value goes back after. Settings changed while connected are followed.
TEST_F(Session, EachCardChoiceReachesItsValueWith3327HeldAtOneMeanwhile) {
  Set(u"CardRAW", 0);
  Start(Cameras(R"({"model":"K-M3","media_record":4,"props":{"0x3328":[5]}})"));
  std::vector<TraceCall> trace;
  const size_t at = WaitMediaRecord(3, trace);
  ASSERT_GE(at, 3u);
  ASSERT_TRUE(Eventually([&] { return at + 1 < (trace = cam_->Sim().Trace()).size(); }));
  const int64_t h = IntArg(trace[at], 0);
  EXPECT_EQ(trace[at - 3].fn, "ZEPK_GetMediaRecord");
  EXPECT_EQ(IntArgs(trace[at - 2]), (std::vector<int64_t>{h, 0x3328, 1}));
  EXPECT_EQ(IntArgs(trace[at - 1]), (std::vector<int64_t>{h, 0x3327, 1, 1}));
  EXPECT_EQ(IntArgs(trace[at + 1]), (std::vector<int64_t>{h, 0x3327, 1, 5})) << "put back";
  // Once the mode is right the watch only reads it.
  const size_t sets = CountCalls("ZEPK_SetMediaRecord");
  ASSERT_TRUE(WaitCalls("ZEPK_GetMediaRecord", CountCalls("ZEPK_GetMediaRecord") + 3));
  EXPECT_EQ(CountCalls("ZEPK_SetMediaRecord"), sets);
  // The camera's values: 1 both, 2 RAW only, 3 JPEG only, 4 neither.
  for (const auto& c : {std::array<uint32_t, 3>{1, 1, 1}, {0, 1, 2}, {0, 0, 4}, {1, 0, 3}}) {
    SCOPED_TRACE(testing::Message() << "CardJPEG=" << c[0] << " CardRAW=" << c[1]);
    cam_->Sim().ClearTrace();
    Set(u"CardJPEG", c[0]);
    Set(u"CardRAW", c[1]);
    WaitMediaRecord(c[2], trace);
  }
  EXPECT_TRUE(Connected());
}

TEST_F(Session, NothingIsDoneUnconnectedAndMode3301IsLeftForTheChangeAndEnteredAgain) {
  Start(Cameras(R"({"model":"K-M1","media_record":3,"plugged":false})"));
  Ctx()->lMode3301 = 1;  // while no camera can be found: the plug below orders it first
  Ctx()->lRearm3301 = 1;
  ASSERT_TRUE(WaitCalls("ZEPK_Detect", 2));
  EXPECT_EQ(SetMediaRecord(Ctx(), 0, 0), 1) << "nothing to do without a connection";
  EXPECT_EQ(CountCalls("ZEPK_GetMediaRecord"), 0u);
  ASSERT_EQ(Control(kPlug), 0);
  std::vector<TraceCall> trace;
  const size_t at = WaitMediaRecord(1, trace);
  ASSERT_TRUE(at >= 1 && at + 1 < trace.size());
  EXPECT_EQ(IntArgs(trace[at - 1]), (std::vector<int64_t>{IntArg(trace[at], 0), 0x3302, 0}));
  EXPECT_EQ(IntArgs(trace[at + 1]), (std::vector<int64_t>{IntArg(trace[at], 0), 0x3301, 0}));
  plat::LockGuard guard(Locks().mediaRecord);
  EXPECT_EQ(Ctx()->lRearm3301, 0);
}

// Another holder of the session mutex keeps a context off the SDK; Exit during the wait ends
// at once, and a context started after the holder let go takes the camera.
TEST_F(Session, ContextWaitsForTheSessionMutexAndExitEndsTheWaitAtOnce) {
  SetEnv("BRELON_LOCK_DIR", profile_.root.c_str());
  bool existed = true;
  plat::NamedMutex* holder = plat::NamedMutexCreate(kSessionMutexName, &existed);
  ASSERT_TRUE(holder && !existed);
  Start("");
  RealSleepMs(3 * kMutexRetryMs / kTimeScale);
  EXPECT_TRUE(cam_->Sim().Trace().empty()) << "a waiting context never touches the SDK";
  const int64_t start = RealNowMs();
  EXPECT_EQ(Exit(cam_->Handle()), BRELON_OK);
  EXPECT_LT(RealNowMs() - start, int64_t{kMutexRetryMs});
  EXPECT_TRUE(cam_->Events().empty());
  Start("");
  RealSleepMs(2 * kMutexRetryMs / kTimeScale);
  EXPECT_FALSE(Connected());
  plat::NamedMutexClose(holder);
  EXPECT_TRUE(cam_->WaitEvent(BRELON_EV_CONNECTED, 1));
  EXPECT_EQ(CountCalls("ZEPK_Init"), 1u);
  SetEnv("BRELON_LOCK_DIR", nullptr);
}

// A USB-mode camera without remote shooting is closed unannounced and warned about in the probed
// model's wording (the K-M1's own, else the general one); option bit 4 probes medium format only.
TEST_F(Session, RefusedOpenIsClosedUnannouncedAndWarnedInTheProbedModelsWording) {
  std::vector<std::u16string> texts;
  for (const auto& [model, options] :
       {std::pair{"K-Q7", 0u}, std::pair{"K-M1", 0u}, std::pair{"VMZ 40B", kBit4}}) {
    SCOPED_TRACE(model);
    SetHostOptionFlags(options);
    Start(Cameras(std::string(R"({"open_mode":2,"model":")") + model + R"("})"));
    plat::Window* window = Warning();
    ASSERT_NE(window, nullptr);
    char16_t text[1024] = {};
    plat::WarningWindowText(window, IDC_WARNING_FIRST, text, std::size(text));
    texts.push_back(text);
    EXPECT_FALSE(cam_->LogLines("ThreadSession:ZEPK_Open Failed. ErrorCode=[0x1015]").empty());
    EXPECT_EQ(Calls("ZEPK_OpenEx").at(0).ret, 0);
    EXPECT_FALSE(Calls("ZEPK_Close").empty());
    EXPECT_FALSE(Connected());
    for (const TraceCall& probe : Calls("ZEPK_Detect")) {
      EXPECT_TRUE(!options || probe.args.size() < 2 || TextArg(probe, 1).rfind("VMZ", 0) == 0)
          << "probed " << TextArg(probe, 1);
    }
    cam_.reset();
    EXPECT_EQ(plat::WarningWindowFind(), nullptr) << "Exit closes it";
  }
  EXPECT_NE(texts[0], texts[1]);
  EXPECT_EQ(texts[0], texts[2]);
}

}  // namespace
}  // namespace brelon::test
