// The session thread finding, opening, watching and losing a camera over USB, discovery and
// IPv4, against the simulated SDK: the device names it opens, the events the host gets, the
// connection state the exports report, and the host option bits that change the choice.
#include <cstring>
#include <variant>

#include "core/session.h"
#include "session_fixture.h"

namespace brelon::test {
namespace {

std::string OneCamera(const std::string& fields) {
  return R"({"cameras":[{)" + fields + "}]}";
}

TEST_F(SessionTest, UsbCameraIsOpenedAsEnum0AndAnnouncedWithEvent100) {
  SetDwordSetting(u"UseSerialTag", 1);
  Start(OneCamera(R"("model":"K-M3","connect":["usb"],"prop_text":["first","second","third"])"));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));

  EXPECT_TRUE(Connected());
  DeviceInformation info{};
  ASSERT_EQ(GetDeviceInfo(&handle_, &info), BRELON_OK);
  EXPECT_STREQ(info.manufacturer, "ORVANTIS");
  EXPECT_STREQ(info.model, "K-M3");
  EXPECT_EQ(CameraName(), u"ORVANTIS K-M3");

  std::vector<TraceCall> detects = Calls("ZEPK_Detect");
  ASSERT_FALSE(detects.empty());
  EXPECT_EQ(IntArg(detects[0], 0), 0x01);
  EXPECT_EQ(detects[0].args.size(), 1u) << "USB detection passes no address and no model";
  std::vector<TraceCall> opens = Calls("ZEPK_OpenEx");
  ASSERT_FALSE(opens.empty());
  EXPECT_EQ(TextArg(opens[0], 0), "ENUM:0");

  // Event 100 carries the new camera handle; the texts and the serial-tag switch are in place.
  std::vector<HostEvent> events = Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].code, BRELON_EV_CONNECTED);
  EXPECT_NE(events[0].camera, 0);
  EXPECT_EQ(events[0].camera, Ctx()->hCamera);
  EXPECT_EQ(std::u16string(Ctx()->szPropText[0]), u"first");
  EXPECT_EQ(std::u16string(Ctx()->szPropText[1]), u"second");
  EXPECT_EQ(std::u16string(Ctx()->szPropText[2]), u"third");
  EXPECT_EQ(Ctx()->lUseSerialTag, 1);
  std::vector<TraceCall> props = Calls("ZEPK_GetProp");
  ASSERT_GE(props.size(), 2u);
  EXPECT_EQ(IntArg(props[0], 1), 0x4046);
  EXPECT_EQ(IntArg(props[0], 2), 2);
  EXPECT_EQ(IntArg(props[1], 1), 0x4044);
  EXPECT_EQ(IntArg(props[1], 2), 1);

  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Detect(1) calll").empty());
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_GetDeviceInfo calll").empty());
  EXPECT_FALSE(LogLines("ThreadSession()").empty()) << "records name the thread function";
}

TEST_F(SessionTest, ExitClosesTheOpenCameraThenEndsTheSdk) {
  Start();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  int32_t camera = Ctx()->hCamera;
  Stop();
  std::vector<TraceCall> trace = Sim().Trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[trace.size() - 2].fn, "ZEPK_Close");
  EXPECT_EQ(IntArg(trace[trace.size() - 2], 0), camera);
  EXPECT_EQ(trace.back().fn, "ZEPK_Exit");
  EXPECT_EQ(CountEvents(BRELON_EV_DISCONNECTED), 0u) << "stopping is not a camera loss";
}

TEST_F(SessionTest, Ipv4SettingOpensTheConfiguredAddress) {
  UseIpv4(u"192.0.2.10");
  Start(OneCamera(R"("connect":["ipv4"],"ip":"192.0.2.10")"));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_TRUE(Connected());

  std::vector<TraceCall> detects = Calls("ZEPK_Detect");
  ASSERT_FALSE(detects.empty());
  EXPECT_EQ(IntArg(detects[0], 0), 0x20);
  EXPECT_EQ(TextArg(detects[0], 1), "192.0.2.10");
  std::vector<TraceCall> opens = Calls("ZEPK_OpenEx");
  ASSERT_FALSE(opens.empty());
  EXPECT_EQ(TextArg(opens[0], 0), "IPV4:192.0.2.10");
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Detect(32,IP=[192.0.2.10]) calll").empty());
  EXPECT_TRUE(Eventually([&] { return ConnectKind() == 2; }));

  // A network connection is watched every second rather than every five: in 30 s up to 30
  // times, where USB could not exceed 7. A slower clock keeps the per-cycle work (settings
  // reads) small against the waits.
  plat::SetTimeScale(10);
  size_t before = CountCalls("ZEPK_GetDeviceInfo");
  RealSleepMs(30 * 1000 / 10);
  EXPECT_GE(CountCalls("ZEPK_GetDeviceInfo") - before, 10u);
}

TEST_F(SessionTest, DiscoveryRemembersTheCameraAddressUntilADetectionFindsNothing) {
  UseDiscovery();
  Start(OneCamera(R"("connect":["discovery"],"ip":"192.0.2.10")"));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  std::vector<TraceCall> detects = Calls("ZEPK_Detect");
  ASSERT_FALSE(detects.empty());
  EXPECT_EQ(IntArg(detects[0], 0), 0x10);
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx")[0], 0), "ENUM:0");

  // The connection ends while the camera stays reachable: it is found again by its address.
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_GetDeviceInfo","result":-1,"error":8193})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 2));
  std::vector<TraceCall> opens = Calls("ZEPK_OpenEx");
  EXPECT_EQ(TextArg(opens.back(), 0), "IPV4:192.0.2.10");
  bool detectedByAddress = false;
  for (const TraceCall& call : Calls("ZEPK_Detect")) {
    if (IntArg(call, 0) == 0x20 && TextArg(call, 1) == "192.0.2.10") detectedByAddress = true;
  }
  EXPECT_TRUE(detectedByAddress);

  // Unplugged: the address detection finds nothing, so the next one is a discovery again.
  ASSERT_EQ(Control(R"({"cmd":"unplug","camera":0})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 2));
  ASSERT_TRUE(Eventually([&] {
    std::vector<TraceCall> all = Calls("ZEPK_Detect");
    for (size_t i = 0; i + 1 < all.size(); ++i) {
      if (IntArg(all[i], 0) == 0x20 && IntArg(all[i + 1], 0) == 0x10) return true;
    }
    return false;
  }));
}

TEST_F(SessionTest, UnplugEndsTheConnectionAndPluggingInAgainReconnects) {
  Start();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  ASSERT_EQ(Control(R"({"cmd":"unplug","camera":0})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));

  uint8_t connected = 0xFF;
  EXPECT_EQ(IsCameraConnect(&handle_, &connected), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(connected, 0);
  DeviceInformation info{};
  std::memset(&info, 0xAB, sizeof(info));
  EXPECT_EQ(GetDeviceInfo(&handle_, &info), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(static_cast<uint8_t>(info.model[0]), 0xAB) << "output left untouched";
  EXPECT_EQ(CameraName(), u"");
  {
    plat::LockGuard guard(Locks().deviceInfo);
    EXPECT_STREQ(Ctx()->DeviceInfo.model, "K-M3") << "the last record is kept";
  }
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_GetDeviceInfo Failed. ErrorCode=[0x2001]").empty());

  ASSERT_EQ(Control(R"({"cmd":"plug","camera":0})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 2));
  EXPECT_TRUE(Connected());
  EXPECT_EQ(CameraName(), u"ORVANTIS K-M3");
  std::vector<HostEvent> events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].code, BRELON_EV_CONNECTED);
  EXPECT_EQ(events[1].code, BRELON_EV_DISCONNECTED);
  EXPECT_EQ(events[1].camera, events[0].camera) << "event 7 names the camera that was lost";
  EXPECT_EQ(events[2].code, BRELON_EV_CONNECTED);
  EXPECT_EQ(Ctx()->lHostCount, 1) << "reset when the loss was reported";
}

TEST_F(SessionTest, BusyCameraStaysConnectedAndAnyOtherWatchErrorEndsTheConnection) {
  Start();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  size_t infoCalls = CountCalls("ZEPK_GetDeviceInfo");
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_GetDeviceInfo","count":3,"result":-1,)"
                    R"("error":4102})"),
            0);
  ASSERT_TRUE(WaitForCalls("ZEPK_GetDeviceInfo", infoCalls + 4));
  EXPECT_TRUE(Connected());
  EXPECT_EQ(CountEvents(BRELON_EV_DISCONNECTED), 0u);
  EXPECT_TRUE(LogLines("ZEPK_GetDeviceInfo Failed").empty());
  size_t failed = 0;
  for (const TraceCall& call : Calls("ZEPK_GetDeviceInfo")) failed += call.ret == -1 ? 1 : 0;
  EXPECT_EQ(failed, 3u);

  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_GetDeviceInfo","result":-1,"error":4103})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));
  EXPECT_FALSE(Connected());
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_GetDeviceInfo Failed. ErrorCode=[0x1007]").empty());
  // The camera is still plugged in, so the next detection reconnects it.
  EXPECT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 2));
}

TEST_F(SessionTest, ConnectTypeChangeWhileConnectedEndsTheConnection) {
  Start(OneCamera(R"("connect":["usb","ipv4"],"ip":"192.0.2.10")"));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_TRUE(Eventually([&] { return ConnectKind() == 1; }));
  int32_t usbCamera = Events()[0].camera;

  UseIpv4(u"192.0.2.10");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));
  // The host hears of the loss first; the camera is closed after the settling pause.
  EXPECT_TRUE(Eventually([&] {
    for (const TraceCall& call : Calls("ZEPK_Close")) {
      if (IntArg(call, 0) == usbCamera) return true;
    }
    return false;
  }));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 2));
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx").back(), 0), "IPV4:192.0.2.10");

  // And back: a network connection ends when the setting returns to USB alone.
  UseUsb();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 2));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 3));
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx").back(), 0), "ENUM:0");
}

TEST_F(SessionTest, FailedOpenIsLoggedWithItsErrorAndRetried) {
  Start(R"({"cameras":[{}],"faults":[{"fn":"ZEPK_OpenEx","count":1,"result":-1,)"
        R"("error":4100}]})");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  std::vector<TraceCall> opens = Calls("ZEPK_OpenEx");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[0].ret, -1);
  EXPECT_EQ(LogLines("ThreadSession:ZEPK_Open Failed. ErrorCode=[0x1004]").size(), 1u);
  EXPECT_TRUE(LogLines("MTPMode").empty()) << "only a refusal by mode warns";
  EXPECT_EQ(plat::WarningWindowFind(), nullptr);
}

TEST_F(SessionTest, UnreadableDeviceInfoAfterOpeningClosesWithoutEvent) {
  ASSERT_NO_FATAL_FAILURE(
      Start(R"({"cameras":[{}],"faults":[{"fn":"ZEPK_GetDeviceInfo","nth":1,"count":1,"result":-1,)"
            R"("error":4103}]})"));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  std::vector<TraceCall> trace = Sim().Trace();
  // OpenEx, the failing GetDeviceInfo, Close of that handle, then a later open that succeeds.
  size_t firstOpen = 0;
  while (firstOpen < trace.size() && trace[firstOpen].fn != "ZEPK_OpenEx") ++firstOpen;
  ASSERT_LT(firstOpen + 2, trace.size());
  EXPECT_EQ(trace[firstOpen + 1].fn, "ZEPK_GetDeviceInfo");
  EXPECT_EQ(trace[firstOpen + 1].ret, -1);
  EXPECT_EQ(trace[firstOpen + 2].fn, "ZEPK_Close");
  EXPECT_EQ(Calls("ZEPK_OpenEx").size(), 2u);
  EXPECT_EQ(CountEvents(BRELON_EV_CONNECTED), 1u);
  EXPECT_EQ(CountEvents(BRELON_EV_DISCONNECTED), 0u);
}

TEST_F(SessionTest, RefusedSdkInitEndsTheThreadWithoutFurtherCalls) {
  Start(R"({"cameras":[{}],"faults":[{"fn":"ZEPK_Init","result":-1,"error":4097}]})");
  RealSleepMs(3 * 5000 / kSessionTimeScale);
  EXPECT_LT(Stop(), 1000);
  std::vector<TraceCall> trace = Sim().Trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].fn, "ZEPK_Init");
  EXPECT_TRUE(Events().empty());
}

#if !defined(_WIN32)
// On Windows an MSVC-built SDK throws a structured exception that needs a platform guard.
TEST_F(SessionTest, ExceptionFromSdkInitIsIgnored) {
  Start(R"({"cameras":[{}],"faults":[{"fn":"ZEPK_Init","result":-1,"throw":true}]})");
  EXPECT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  ASSERT_FALSE(Calls("ZEPK_Init").empty());
  EXPECT_TRUE(Calls("ZEPK_Init")[0].threw);
}
#endif

TEST_F(SessionTest, OptionBit0AcceptsOpenMode4AndRefusesTheLumoraAfterOpening) {
  SetHostOptionFlags(kOptionAcceptMode4);
  Start(R"({"cameras":[{"open_mode":4},)"
        R"({"manufacturer":"Lumora","model":"Lumora K9Mark","serial":"SIM0002",)"
        R"("plugged":false}]})");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_EQ(Ctx()->lOpenMode, 4);
  // Open mode 4 carries no card-recording control, so the watch leaves the media record alone.
  size_t infoCalls = CountCalls("ZEPK_GetDeviceInfo");
  ASSERT_TRUE(WaitForCalls("ZEPK_GetDeviceInfo", infoCalls + 2));
  EXPECT_EQ(CountCalls("ZEPK_GetMediaRecord"), 0u);
  EXPECT_EQ(SetMediaRecord(Ctx(), 1, 0), 1);
  EXPECT_EQ(CountCalls("ZEPK_GetMediaRecord"), 0u);

  // Swap the cameras: the Lumora is opened, read and closed again, never announced.
  ASSERT_EQ(Control(R"({"cmd":"unplug","camera":0})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));
  ASSERT_EQ(Control(R"({"cmd":"plug","camera":1})"), 0);
  ASSERT_TRUE(Eventually([&] {
    for (const TraceCall& call : Calls("ZEPK_Close")) {
      if (IntArg(call, 0) != Events()[0].camera) return true;
    }
    return false;
  }));
  EXPECT_EQ(CountEvents(BRELON_EV_CONNECTED), 1u);
  EXPECT_FALSE(Connected());
}

TEST_F(SessionTest, OptionBit4OpensOnlyMediumFormatCameras) {
  SetHostOptionFlags(kOptionMediumFormatOnly);
  Start(R"({"cameras":[{"model":"K-M3"},{"model":"VMZ 200","serial":"SIM0002"}]})");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  DeviceInformation info{};
  ASSERT_EQ(GetDeviceInfo(&handle_, &info), BRELON_OK);
  EXPECT_STREQ(info.model, "VMZ 200");
  // Both were listed by serial number; only the second was opened.
  EXPECT_GE(CountCalls("ZEPK_GetSerialNo"), 2u);
  std::vector<TraceCall> opens = Calls("ZEPK_OpenEx");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(TextArg(opens[0], 0), "ENUM:1");
}

TEST_F(SessionTest, OptionBit4NetworkOpenOfAnotherModelIsClosedAgain) {
  SetHostOptionFlags(kOptionMediumFormatOnly);
  UseIpv4(u"192.0.2.10");
  Start(OneCamera(R"("model":"K-M3","connect":["ipv4"])"));
  ASSERT_TRUE(WaitForCalls("ZEPK_Close", 2));
  EXPECT_EQ(CountEvents(BRELON_EV_CONNECTED), 0u);
  EXPECT_FALSE(Connected());
  EXPECT_TRUE(LogLines("ZEPK_Open Failed").empty()) << "the open itself reported success";
}

}  // namespace
}  // namespace brelon::test
