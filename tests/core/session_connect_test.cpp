// The session thread finding, opening, watching and losing a camera over USB, discovery and
// IPv4: the device names it opens, the host events, the state the exports report, the log
// records, and the host option bits that change which camera is taken. Each SDK call failing
// (busy, other error, thrown) in the session is swept by the fault suite.
#include "capture/media_record.h"
#include "core/session.h"
#include "session_fixture.h"

namespace brelon::test {
namespace {

std::string OneCamera(const std::string& fields) {
  return R"({"cameras":[{)" + fields + "}]}";
}

TEST_F(SessionTest, UsbCameraIsAnnouncedKeptWhileBusyLostOnUnplugAndClosedAtExit) {
  SetSetting(u"UseSerialTag", 1u);
  Start(OneCamera(R"("model":"K-M3","connect":["usb"],"prop_text":["first","second","third"])"));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_TRUE(Connected());
  DeviceInformation info{};
  ASSERT_EQ(GetDeviceInfo(&handle_, &info), BRELON_OK);
  EXPECT_STREQ(info.model, "K-M3");
  EXPECT_EQ(CameraName(), u"ORVANTIS K-M3");

  const TraceCall detect = Calls("ZEPK_Detect").at(0);
  EXPECT_EQ(IntArgs(detect), std::vector<int64_t>{0x01}) << "USB passes no address or model";
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx").at(0), 0), "ENUM:0");
  const HostEvent first = Events().at(0);
  EXPECT_EQ(first.code, BRELON_EV_CONNECTED);
  EXPECT_NE(first.camera, 0);
  EXPECT_EQ(first.camera, Ctx()->hCamera);
  EXPECT_EQ(std::u16string(Ctx()->szPropText[2]), u"third");
  EXPECT_EQ(Ctx()->lUseSerialTag, 1);
  const std::vector<TraceCall> props = Calls("ZEPK_GetProp");
  ASSERT_GE(props.size(), 2u);
  EXPECT_EQ(IntArgs(props[0]).at(1), 0x4046);
  EXPECT_EQ(IntArgs(props[1]).at(1), 0x4044);
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Detect(1) calll").empty());
  EXPECT_FALSE(LogLines("ThreadSession()").empty()) << "records name the thread function";

  // A busy watch keeps the camera, quietly.
  const size_t infoCalls = CountCalls("ZEPK_GetDeviceInfo");
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_GetDeviceInfo","count":3,"result":-1,)"
                    R"("error":4102})"),
            0);
  ASSERT_TRUE(WaitForCalls("ZEPK_GetDeviceInfo", infoCalls + 4));
  EXPECT_TRUE(Connected());
  EXPECT_TRUE(LogLines("ZEPK_GetDeviceInfo Failed").empty()) << "busy is not logged";

  // Unplugged: the loss is reported and logged; plugged in again: announced again.
  ASSERT_EQ(Control(R"({"cmd":"unplug","camera":0})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));
  uint8_t connected = 0xFF;
  EXPECT_EQ(IsCameraConnect(&handle_, &connected), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(CameraName(), u"");
  // Whichever call of the watch cycle met the unplug logs it.
  EXPECT_FALSE(LogLines("Failed. ErrorCode=[0x2001]").empty());
  ASSERT_EQ(Control(R"({"cmd":"plug","camera":0})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 2));
  EXPECT_TRUE(Connected());
  EXPECT_EQ(CameraName(), u"ORVANTIS K-M3");
  const std::vector<HostEvent> events = Events();
  ASSERT_EQ(events.size(), 3u) << "no loss reported while busy";
  EXPECT_EQ(events[1].code, BRELON_EV_DISCONNECTED);
  EXPECT_EQ(events[1].camera, first.camera) << "the loss names the camera that was lost";
  EXPECT_EQ(events[2].code, BRELON_EV_CONNECTED);
  EXPECT_EQ(Ctx()->lHostCount, 1) << "reset when the loss was reported";

  // Exit closes that camera, then ends the SDK, and tells the host of no further loss.
  Stop();
  const std::vector<TraceCall> trace = Sim().Trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[trace.size() - 2].fn, "ZEPK_Close");
  EXPECT_EQ(IntArg(trace[trace.size() - 2], 0), events[2].camera);
  EXPECT_EQ(trace.back().fn, "ZEPK_Exit");
  EXPECT_EQ(CountEvents(BRELON_EV_DISCONNECTED), 1u);
}

TEST_F(SessionTest, DiscoveryRemembersTheAddressUntilADetectionFindsNothing) {
  UseConnection(0x10, 0, u"");
  Start(OneCamera(R"("connect":["discovery"],"ip":"192.0.2.10")"));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_EQ(IntArg(Calls("ZEPK_Detect").at(0), 0), 0x10);
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx").at(0), 0), "ENUM:0");

  // Lost while still reachable: found again by its address.
  ASSERT_EQ(Control(R"({"cmd":"fault","fn":"ZEPK_GetDeviceInfo","result":-1,"error":8193})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 2));
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx").back(), 0), "IPV4:192.0.2.10");
  EXPECT_TRUE(WaitForCall("ZEPK_Detect", [](const TraceCall& c) {
    return IntArg(c, 0) == 0x20 && TextArg(c, 1) == "192.0.2.10";
  }));

  // Unplugged: the address finds nothing, so the next detection is a discovery again.
  ASSERT_EQ(Control(R"({"cmd":"unplug","camera":0})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 2));
  ASSERT_TRUE(Eventually([&] {
    const std::vector<TraceCall> all = Calls("ZEPK_Detect");
    for (size_t i = 0; i + 1 < all.size(); ++i) {
      if (IntArg(all[i], 0) == 0x20 && IntArg(all[i + 1], 0) == 0x10) return true;
    }
    return false;
  }));
}

// A change of ConnectType ends the connection; IPv4 opens the configured address and watches
// every second.
TEST_F(SessionTest, ConnectTypeChangeEndsTheConnectionAndIpv4OpensTheAddressWatchedEverySecond) {
  Start(OneCamera(R"("connect":["usb","ipv4"],"ip":"192.0.2.10")"));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_TRUE(Eventually([&] { return ConnectKind() == 1; }));
  const int32_t usbCamera = Events()[0].camera;

  UseIpv4(u"192.0.2.10");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));
  EXPECT_TRUE(
      WaitForCall("ZEPK_Close", [&](const TraceCall& c) { return IntArg(c, 0) == usbCamera; }));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 2));
  EXPECT_TRUE(WaitForCall("ZEPK_Detect", [](const TraceCall& c) {
    return IntArg(c, 0) == 0x20 && TextArg(c, 1) == "192.0.2.10";
  }));
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx").back(), 0), "IPV4:192.0.2.10");
  EXPECT_FALSE(LogLines("ThreadSession:ZEPK_Detect(32,IP=[192.0.2.10]) calll").empty());
  EXPECT_TRUE(Eventually([&] { return ConnectKind() == 2; }));
  // 30 s of watching: up to 30 checks on a network, at most 7 over USB.
  plat::SetTimeScale(10);
  const size_t before = CountCalls("ZEPK_GetDeviceInfo");
  RealSleepMs(30 * 1000 / 10);
  EXPECT_GE(CountCalls("ZEPK_GetDeviceInfo") - before, 10u);

  UseUsb();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 2));
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 3));
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx").back(), 0), "ENUM:0");
}

// A failed open is logged with its error; an unreadable device record after the next open
// closes that camera at once. Both are retried, without event or warning.
TEST_F(SessionTest, FailedOpenOrUnreadableDeviceInfoIsClosedAndRetriedQuietly) {
  Start(R"({"cameras":[{}],"faults":[{"fn":"ZEPK_OpenEx","count":1,"result":-1,"error":4100},)"
        R"({"fn":"ZEPK_GetDeviceInfo","nth":1,"count":1,"result":-1,"error":4103}]})");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_EQ(CountCalls("ZEPK_OpenEx"), 3u);
  EXPECT_EQ(LogLines("ThreadSession:ZEPK_Open Failed. ErrorCode=[0x1004]").size(), 1u);
  EXPECT_TRUE(LogLines("MTPMode").empty()) << "only a refusal by mode warns";
  EXPECT_EQ(plat::WarningWindowFind(), nullptr);
  const std::vector<TraceCall> trace = Sim().Trace();
  size_t open = 0;
  while (open < trace.size() && (trace[open].fn != "ZEPK_OpenEx" || trace[open].ret != 0)) ++open;
  ASSERT_LT(open + 2, trace.size());
  EXPECT_EQ(trace[open + 1].fn, "ZEPK_GetDeviceInfo");
  EXPECT_EQ(trace[open + 2].fn, "ZEPK_Close");
  EXPECT_EQ(Events().size(), 1u);
}

TEST_F(SessionTest, OptionBit0AcceptsOpenMode4AndRefusesTheLumoraAfterOpening) {
  SetHostOptionFlags(kOptionAcceptMode4);
  Start(R"({"cameras":[{"open_mode":4},{"manufacturer":"Lumora","model":"Lumora K9Mark",)"
        R"("serial":"SIM0002","plugged":false}]})");
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_EQ(Ctx()->lOpenMode, 4);
  // Open mode 4 has no card-recording control: the media record is left alone.
  ASSERT_TRUE(WaitForCalls("ZEPK_GetDeviceInfo", CountCalls("ZEPK_GetDeviceInfo") + 2));
  EXPECT_EQ(SetMediaRecord(Ctx(), 1, 0), 1);
  EXPECT_EQ(CountCalls("ZEPK_GetMediaRecord"), 0u);

  // The Lumora is opened, read and closed again, never announced.
  ASSERT_EQ(Control(R"({"cmd":"unplug","camera":0})"), 0);
  ASSERT_TRUE(WaitForEvents(BRELON_EV_DISCONNECTED, 1));
  ASSERT_EQ(Control(R"({"cmd":"plug","camera":1})"), 0);
  const int32_t first = Events()[0].camera;
  ASSERT_TRUE(WaitForCall("ZEPK_Close", [&](const TraceCall& c) { return IntArg(c, 0) != first; }));
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
  EXPECT_GE(CountCalls("ZEPK_GetSerialNo"), 2u) << "both listed by serial number";
  ASSERT_EQ(CountCalls("ZEPK_OpenEx"), 1u);
  EXPECT_EQ(TextArg(Calls("ZEPK_OpenEx")[0], 0), "ENUM:1");
}

TEST_F(SessionTest, OptionBit4NetworkOpenOfAnotherModelIsClosedAgain) {
  SetHostOptionFlags(kOptionMediumFormatOnly);
  UseIpv4(u"192.0.2.10");
  Start(OneCamera(R"("model":"K-M3","connect":["ipv4"])"));
  ASSERT_TRUE(WaitForCalls("ZEPK_Close", 2));
  EXPECT_EQ(CountEvents(BRELON_EV_CONNECTED), 0u);
  EXPECT_TRUE(LogLines("ZEPK_Open Failed").empty()) << "the open itself reported success";
}

}  // namespace
}  // namespace brelon::test
