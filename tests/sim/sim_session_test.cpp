// Simulator tests for configuration, detection, opening and losing cameras, the device
// record, settings and properties, and the life cycle of ZEPK_Init / ZEPK_Exit.
#include <string>

#include "sim/sim_test_util.h"

namespace brelon::test {
namespace {

constexpr char kThreeCameras[] = R"({"cameras":[
  {"serial":"U1","model":"K-M1","connect":["usb"],"ip":"192.0.2.1"},
  {"serial":"D1","model":"K-N1","connect":["discovery"],"ip":"192.0.2.2","open_mode":5},
  {"serial":"N1","model":"VMZ 200","connect":["ipv4"],"ip":"192.0.2.3","open_mode":2}]})";

using SimSessionTest = SimTest;

TEST_F(SimSessionTest, DefaultCameraHasDocumentedIdentityAndExposure) {
  Start();
  const int32_t h = OpenUsb();
  char serial[256] = "x", model[256] = "x";
  ASSERT_EQ(api_->ZEPK_GetSerialNo(0, serial, model), 0);
  EXPECT_STREQ(serial, "SIM0001");
  EXPECT_STREQ(model, "K-M3");

  DeviceInformation info;
  memset(&info, 0x55, sizeof info);
  ASSERT_EQ(api_->ZEPK_GetDeviceInfo(h, &info), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(&info), "SIM0001");
  EXPECT_STREQ(info.manufacturer, "ORVANTIS");
  EXPECT_STREQ(info.model, "K-M3");
  EXPECT_STREQ(info.networkAddress, "192.0.2.10");
  EXPECT_EQ(info.reserved2[576], 0) << "record must be cleared to its last byte";

  int32_t code = -1, bulb = -1, value = -1;
  ASSERT_EQ(api_->ZEPK_GetShutterSpeed(h, &code, &bulb), 0);
  EXPECT_EQ(code, 976);
  EXPECT_EQ(bulb, 0);
  const struct {
    ZEPK_GetApertureFn get;
    int32_t expected;
  } getters[] = {{api_->ZEPK_GetAperture, 280},     {api_->ZEPK_GetSensitivity, 400},
                 {api_->ZEPK_GetExposureBias, 0},   {api_->ZEPK_GetWBMode, 2},
                 {api_->ZEPK_GetWBColorTemp, 5500}, {api_->ZEPK_GetMediaRecord, 1},
                 {api_->ZEPK_GetPriorityMode, 1}};
  for (const auto& g : getters) {
    ASSERT_EQ(g.get(h, &value), 0);
    EXPECT_EQ(value, g.expected);
  }
  int32_t count = 0, modes[8] = {};
  ASSERT_EQ(api_->ZEPK_CapRelease(h, &count, nullptr), 0);
  ASSERT_EQ(count, 3);
  ASSERT_EQ(api_->ZEPK_CapRelease(h, &count, modes), 0);
  EXPECT_EQ(modes[0], 0x104);
  EXPECT_EQ(modes[1], 0x200);
  EXPECT_EQ(modes[2], 0x304);
}

TEST_F(SimSessionTest, DetectionFollowsInterfaceBitsAddressAndModel) {
  Start(kThreeCameras);
  int32_t n = -1;
  auto detect = [&](int32_t flags, const char* address, const char* model) {
    n = -1;
    EXPECT_EQ(api_->ZEPK_Detect(flags, address, model, &n), 0);
    return n;
  };
  EXPECT_EQ(detect(0x01, nullptr, nullptr), 1);
  EXPECT_EQ(detect(0x10, nullptr, nullptr), 1);
  EXPECT_EQ(detect(0x11, nullptr, nullptr), 2);
  EXPECT_EQ(detect(0x20, "192.0.2.3", nullptr), 1);
  EXPECT_EQ(detect(0x20, "192.0.2.2", nullptr), 1) << "a discovered camera answers by address";
  EXPECT_EQ(detect(0x20, "192.0.2.1", nullptr), 0) << "a USB camera has no address";
  EXPECT_EQ(detect(0x20, "192.0.2.99", nullptr), 0);
  EXPECT_EQ(detect(0x20, nullptr, nullptr), 0);
  EXPECT_EQ(detect(0x11, nullptr, "K-N1"), 1);
  EXPECT_EQ(detect(0x11, nullptr, "K-M2"), 0);

  char serial[256], model[256];
  ASSERT_EQ(detect(0x11, nullptr, nullptr), 2);
  ASSERT_EQ(api_->ZEPK_GetSerialNo(1, serial, model), 0);
  EXPECT_STREQ(serial, "D1");
  EXPECT_EQ(api_->ZEPK_GetSerialNo(2, serial, model), -1);
  EXPECT_EQ(LastError().error, ZEPASIM_ERR_NO_DEVICE);
}

TEST_F(SimSessionTest, OpenByEnumOrAddressReturnsHandleAndModeMask) {
  Start(kThreeCameras);
  int32_t n = 0, h1 = 0, h2 = 0, mode = -1;
  ASSERT_EQ(api_->ZEPK_Detect(0x10, nullptr, nullptr, &n), 0);
  ASSERT_EQ(api_->ZEPK_OpenEx("ENUM:0", &h1, &mode, nullptr), 0);
  EXPECT_GT(h1, 0);
  EXPECT_EQ(mode, 5);
  DeviceInformation info{};
  ASSERT_EQ(api_->ZEPK_GetDeviceInfo(h1, &info), 0);
  EXPECT_STREQ(info.model, "K-N1");

  ASSERT_EQ(api_->ZEPK_OpenEx("IPV4:192.0.2.3", &h2, &mode, nullptr), 0);
  EXPECT_GT(h2, 0);
  EXPECT_NE(h2, h1);
  EXPECT_EQ(mode, 2);

  for (const char* bad : {"ENUM:1", "ENUM:-1", "ENUM:", "IPV4:192.0.2.1", "USB:0", ""}) {
    int32_t h = 77;
    EXPECT_EQ(api_->ZEPK_OpenEx(bad, &h, &mode, nullptr), -1) << bad;
    EXPECT_EQ(h, 77) << bad;
    const ErrorInfo e = LastError();
    EXPECT_EQ(e.error, ZEPASIM_ERR_NO_DEVICE) << bad;
    EXPECT_EQ(e.api, 65) << "API code is the entry point's position";
  }
}

TEST_F(SimSessionTest, UnplugKillsHandlesAndReplugKeepsBufferAndFrames) {
  Start(R"({"cameras":[{"serial":"S1","capture":{"delay_ms":0,"format":"jpeg"}}]})");
  const int32_t h = OpenUsb();
  ASSERT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), 0);
  ASSERT_EQ(Control(R"({"cmd":"unplug","camera":0})"), 0);

  DeviceInformation info{};
  EXPECT_EQ(api_->ZEPK_GetDeviceInfo(h, &info), -1);
  const ErrorInfo gone = LastError(h);
  EXPECT_EQ(gone.error, ZEPASIM_ERR_DEVICE_GONE);
  EXPECT_NE(gone.error, 0x1006);
  EXPECT_EQ(api_->ZEPK_Release(h, 0x104, 0, 0), -1);
  int32_t n = -1;
  ASSERT_EQ(api_->ZEPK_Detect(0x01, nullptr, nullptr, &n), 0);
  EXPECT_EQ(n, 0);

  ASSERT_EQ(Control(R"({"cmd":"plug","camera":{"serial":"S1","model":"K-M2",
                        "capture":{"delay_ms":0,"format":"jpeg"}}})"),
            0);
  EXPECT_EQ(api_->ZEPK_GetDeviceInfo(h, &info), -1) << "old handles stay dead";
  const int32_t again = OpenUsb();
  EXPECT_NE(again, h);
  ASSERT_EQ(api_->ZEPK_GetDeviceInfo(again, &info), 0);
  EXPECT_STREQ(info.model, "K-M2");
  EXPECT_EQ(BufferCount(again), 1) << "pending image survives the replug";
  ASSERT_EQ(api_->ZEPK_Release(again, 0x104, 0, 0), 0);
  EXPECT_EQ(NoteFrame(ReadExif(Read(again).bytes)), 1u);
  EXPECT_EQ(NoteFrame(ReadExif(Read(again).bytes)), 2u);
  EXPECT_EQ(Control(R"({"cmd":"stats","what":"cameras"})"), 1);

  ASSERT_EQ(Control(R"({"cmd":"plug","camera":{"serial":"S2"}})"), 0);
  EXPECT_EQ(Control(R"({"cmd":"stats","what":"cameras"})"), 2) << "a new serial adds a camera";
}

TEST_F(SimSessionTest, InvalidConfigurationFailsInit) {
  for (const char* config :
       {"{", R"({"cameras":[{"modle":"K-M3"}]})", R"({"cameras":[{"connect":["wifi"]}]})",
        R"({"cameras":[{"capture":{"format":"tiff"}}]})",
        R"({"faults":[{"fn":"ZEPK_Nothing"}]})"}) {
    SimSession session(config);
    SdkApi api(session);
    EXPECT_EQ(api.ZEPK_Init(nullptr), -1) << config;
    int32_t apiCode = 0, error = 0;
    api.ZEPK_GetErrorNumber(0, &apiCode, &error);
    EXPECT_EQ(error, ZEPASIM_ERR_CONFIG) << config;
  }
}

TEST_F(SimSessionTest, CallsOutsideInitAndExitFail) {
  Start();
  const int32_t h = OpenUsb();
  ASSERT_EQ(api_->ZEPK_Exit(), 0);
  int32_t n = 0;
  EXPECT_EQ(api_->ZEPK_Detect(0x01, nullptr, nullptr, &n), -1);
  EXPECT_EQ(LastError().error, ZEPASIM_ERR_NOT_INITIALIZED);
  ASSERT_EQ(api_->ZEPK_Init(nullptr), 0);
  DeviceInformation info{};
  EXPECT_EQ(api_->ZEPK_GetDeviceInfo(h, &info), -1) << "Init forgets every handle";
  EXPECT_EQ(LastError().error, ZEPASIM_ERR_BAD_HANDLE);
}

TEST_F(SimSessionTest, FirstInitAdoptsEarlierControlLaterInitResets) {
  session_ = std::make_unique<SimSession>();
  api_ = std::make_unique<SdkApi>(*session_);
  ASSERT_EQ(Control(R"({"cmd":"set","camera":0,"key":"shutter_code","value":244})"), 0);
  ASSERT_EQ(api_->ZEPK_Init(nullptr), 0);
  int32_t h = OpenUsb(), code = 0, bulb = 0;
  ASSERT_EQ(api_->ZEPK_GetShutterSpeed(h, &code, &bulb), 0);
  EXPECT_EQ(code, 244);
  ASSERT_EQ(api_->ZEPK_Init(nullptr), 0);
  h = OpenUsb();
  ASSERT_EQ(api_->ZEPK_GetShutterSpeed(h, &code, &bulb), 0);
  EXPECT_EQ(code, 976);
}

TEST_F(SimSessionTest, SettersHonourCapabilityLists) {
  Start(R"({"cameras":[{"caps":{"shutter_code":[244,976]}}]})");
  const int32_t h = OpenUsb();
  EXPECT_EQ(api_->ZEPK_SetPriorityMode(h, 2), 0);
  EXPECT_EQ(api_->ZEPK_SetPriorityMode(h, 3), -1);
  EXPECT_EQ(LastError().error, ZEPASIM_ERR_UNSUPPORTED);
  EXPECT_EQ(api_->ZEPK_SetShutterSpeed(h, 500, 0), -1);
  EXPECT_EQ(api_->ZEPK_SetShutterSpeed(h, 244, 1), 0);
  int32_t code = 0, bulb = 0, mode = 0, count = 0, list[4] = {};
  ASSERT_EQ(api_->ZEPK_GetShutterSpeed(h, &code, &bulb), 0);
  EXPECT_EQ(code, 244);
  EXPECT_EQ(bulb, 1);
  ASSERT_EQ(api_->ZEPK_GetPriorityMode(h, &mode), 0);
  EXPECT_EQ(mode, 2);
  ASSERT_EQ(api_->ZEPK_CapShutterSpeed(h, &count, list, 0), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(list[1], 976);
  EXPECT_EQ(api_->ZEPK_SetAperture(h, 560), 0) << "no list configured: any value";
  ASSERT_EQ(api_->ZEPK_SetMediaRecord(h, 4), 0);
  ASSERT_EQ(api_->ZEPK_GetMediaRecord(h, &mode), 0);
  EXPECT_EQ(mode, 4);
}

TEST_F(SimSessionTest, PropertiesStoreValuesPairsAndTexts) {
  Start(R"({"cameras":[{"prop_text":["Alpha","Beta","Gamma"],"props":{"0x4220":[1,6]}}]})");
  const int32_t h = OpenUsb();
  int32_t saved = -1, drive = -1;
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x3328, 1, &saved), 0);
  EXPECT_EQ(saved, 0) << "a configured props map replaces the defaults";
  ASSERT_EQ(api_->ZEPK_SetProp(h, 0x3327, 1, 5), 0);
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x3328, 1, &saved), 0);
  EXPECT_EQ(saved, 5) << "0x3327 sets what 0x3328 reads";

  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x4220, 2, 1, &drive), 0);
  EXPECT_EQ(drive, 6);
  ASSERT_EQ(api_->ZEPK_SetProp(h, 0x4219, 2, 1, 2), 0);
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x4220, 2, 1, &drive), 0);
  EXPECT_EQ(drive, 2);

  char16_t first[256], second[256], third[256];
  first[0] = second[0] = third[0] = u'?';
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x4046, 2, first, second), 0);
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x4044, 1, third), 0);
  EXPECT_EQ(std::u16string(first), u"Alpha");
  EXPECT_EQ(std::u16string(second), u"Beta");
  EXPECT_EQ(std::u16string(third), u"Gamma");
  EXPECT_EQ(api_->ZEPK_SetProp(h, 0x3301, 0), 0);
  EXPECT_EQ(api_->ZEPK_SetProp(h, 0x3301, -1), -1);
  EXPECT_EQ(LastError().error, ZEPASIM_ERR_ARGUMENT);
}

TEST_F(SimSessionTest, DefaultCameraReadsSavedValueOneAndTextsFromIdentity) {
  Start();
  const int32_t h = OpenUsb();
  int32_t saved = -1;
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x3328, 1, &saved), 0);
  EXPECT_EQ(saved, 1);
  char16_t model[256] = u"?";
  char16_t serial[256] = u"?";
  ASSERT_EQ(api_->ZEPK_GetProp(h, 0x4046, 2, model, serial), 0);
  EXPECT_EQ(std::u16string(model), u"K-M3");
  EXPECT_EQ(std::u16string(serial), u"SIM0001");
}

}  // namespace
}  // namespace brelon::test
