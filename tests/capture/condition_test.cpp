// Camera-condition report: the text rules on their own (aperture, white balance, shutter kind),
// then GetCameraCondition against the simulated camera, checking the record, the result rule,
// the log lines and the copy-out in the not-connected and no-context cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/context.h"
#include "brelon/brelon.h"
#include "capture/condition_text.h"
#include "capture/release_modes.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

std::u16string Aperture(int32_t hundredths) {
  char16_t text[kConditionTextUnits];
  FormatApertureText(hundredths, text, kConditionTextUnits);
  return text;
}

TEST(ConditionTexts, ApertureIsTheShortestExactDecimalWithinTheCallersCapacity) {
  const struct {
    int32_t hundredths;
    const char16_t* text;
  } kCases[] = {{0, u"0"},
                {400, u"4.0"},
                {1000, u"10"},
                {1100, u"11"},
                {280, u"2.8"},
                {1120, u"11.2"},
                {125, u"1.25"},
                {105, u"1.05"},
                {1009, u"10.09"},
                {7, u"0.07"},
                {-280, u"-2.8"},
                {-1100, u"-11"},
                {INT32_MIN, u"-21474836.48"}};
  for (const auto& c : kCases) EXPECT_EQ(Aperture(c.hundredths), c.text) << c.hundredths;
  char16_t text[3] = {u'x', u'x', u'x'};
  FormatApertureText(1250, text, 3);
  EXPECT_EQ(std::u16string(text), u"12");
}

TEST(ConditionTexts, WhiteBalanceNamesEveryListedModeAndNothingElse) {
  const struct {
    int32_t mode;
    const char16_t* text;
  } kCases[] = {{0x0002, u"AUTO"},  {0x0004, u"Daylight"}, {0x0006, u"INC."},  {0x0008, u"UW"},
                {0x8001, u"FL1"},   {0x8002, u"FL2"},      {0x8003, u"FL3"},   {0x8006, u"SHADE"},
                {0x8008, u"CUS.1"}, {0x8009, u"CUS.2"},    {0x800A, u"CUS.3"}, {0x8007, u""},
                {5, u""},           {0x8004, u""},         {0x800B, u""},      {-1, u""}};
  for (const auto& c : kCases) {
    EXPECT_EQ(std::u16string(WhiteBalanceLabel(c.mode)), c.text) << "mode " << c.mode;
  }
}

TEST(ConditionTexts, ShutterKindFollowsTheLabelForm) {
  EXPECT_EQ(ShutterTextKind(u"1/2.5"), kShutterKindFraction);
  EXPECT_EQ(ShutterTextKind(u"2'00\""), kShutterKindSeconds);
  EXPECT_EQ(ShutterTextKind(u""), kShutterKindOther);
}

// ---- GetCameraCondition against the simulated camera ----------------------------------------

constexpr char kCamera[] =
    R"({"cameras":[{"manufacturer":"ORVANTIS","model":"K-M3","connect":["usb"],"open_mode":1,)"
    R"("release_modes":[260,512,772],"priority_mode":1,"shutter_code":976,"bulb":0,)"
    R"("aperture":280,"sensitivity":400,"exposure_bias":-3,"wb_mode":2,"wb_color_temp":5500,)"
    R"("capture":{"format":"raw+jpeg","delay_ms":50}}]})";

std::string Set(const char* key, int64_t value) {
  return std::string(R"({"cmd":"set","camera":0,"key":")") + key + R"(","value":)" +
         std::to_string(value) + "}";
}

std::string Fault(const char* fn, int error) {
  return std::string(R"({"cmd":"fault","fn":")") + fn +
         R"(","nth":1,"count":1,"result":-1,"api_code":0,"error":)" + std::to_string(error) + "}";
}

class ConditionOnSimCamera : public ::testing::Test {
 protected:
  static constexpr uint32_t kTimeScale = 10;
  void SetUp() override { Start(kTimeScale); }
  void TearDown() override {
    camera_.reset();
    plat::SetTimeScale(1);
  }
  void Start(uint32_t timeScale) {
    camera_.reset();
    plat::SetTimeScale(timeScale);
    camera_ = std::make_unique<test::ConnectedContext>(kCamera);
    ASSERT_TRUE(camera_->Connected()) << "no camera connection";
  }

  void Control(const std::string& json) { ASSERT_EQ(camera_->Sim().Control(json), 0) << json; }
  int32_t Report(BrelonCondition& out) { return GetCameraCondition(camera_->Handle(), &out); }
  BrelonCondition Report(int32_t expectedResult = BRELON_OK) {
    BrelonCondition out;
    std::memset(&out, 0xAB, sizeof(out));
    EXPECT_EQ(Report(out), expectedResult);
    return out;
  }
  // Records of GetCameraCondition at `line` with `message`, from the core's source file.
  size_t LogLines(int line, const std::string& message) {
    const std::string location = "Brelon.cpp " + std::to_string(line) + " - GetCameraCondition()";
    size_t count = 0;
    for (const std::string& record : camera_->LogLines(message)) {
      if (record.find(location) != std::string::npos) ++count;
    }
    return count;
  }
  size_t AllConditionLogLines() { return camera_->LogLines("brnGetCameraCondition:").size(); }

  std::unique_ptr<test::ConnectedContext> camera_;
};

TEST_F(ConditionOnSimCamera, FillsEveryFieldAndTextFromTheCamera) {
  const BrelonCondition c = Report();
  EXPECT_EQ(std::u16string(c.cameraName), u"ORVANTIS K-M3");
  EXPECT_EQ(std::u16string(c.apertureText), u"2.8");
  EXPECT_EQ(c.aperture, 280);
  EXPECT_EQ(std::u16string(c.shutterText), u"1/1000");
  EXPECT_EQ(c.shutterCode, 976);
  EXPECT_EQ(c.shutterTextKind, kShutterKindFraction);
  EXPECT_EQ(c.bulb, 0);
  EXPECT_EQ(c.sensitivity, 400);
  EXPECT_EQ(c.exposureBias, -3);
  EXPECT_EQ(std::u16string(c.wbText), u"AUTO");
  EXPECT_EQ(c.wbMode, 2);
  EXPECT_EQ(c.colorTemp, 5500);
  for (int32_t result : {c.apertureResult, c.shutterResult, c.sensitivityResult,
                         c.exposureBiasResult, c.wbModeResult, c.colorTempResult}) {
    EXPECT_EQ(result, 0);
  }
  for (uint8_t byte : c.reserved) EXPECT_EQ(byte, 0);
  // The copy is the context's own record, not a partial view.
  EXPECT_EQ(std::memcmp(&c, &camera_->Context()->Condition, sizeof(c)), 0);
  EXPECT_EQ(AllConditionLogLines(), 0u);
}

TEST_F(ConditionOnSimCamera, AsksEachGetterOnceInOrder) {
  camera_->Sim().ClearTrace();
  Report();
  std::vector<std::string> getters;
  for (const test::TraceCall& call : camera_->Sim().Trace()) {
    if (call.fn.rfind("ZEPK_Get", 0) == 0 && call.fn != "ZEPK_GetDeviceInfo" &&
        call.fn != "ZEPK_GetMediaRecord" && call.fn != "ZEPK_GetErrorNumber") {
      getters.push_back(call.fn);
    }
  }
  EXPECT_EQ(getters, (std::vector<std::string>{"ZEPK_GetSensitivity", "ZEPK_GetShutterSpeed",
                                               "ZEPK_GetAperture", "ZEPK_GetWBMode",
                                               "ZEPK_GetWBColorTemp", "ZEPK_GetExposureBias"}));
}

TEST_F(ConditionOnSimCamera, ShutterTextAndKindComeFromTheTableAndSurviveUnknownOrFailedReads) {
  const struct {
    int32_t code;
    const char16_t* text;
    int32_t kind;
  } kCases[] = {{15, u"1/64000", kShutterKindFraction},
                {1000000, u"1\"", kShutterKindSeconds},
                {64000030, u"2'00\"", kShutterKindSeconds},
                {-1, u"BULB", kShutterKindOther},
                {12345, u"", kShutterKindOther},  // unknown: empty text, the last kind kept
                {15, u"1/64000", kShutterKindFraction},
                {12345, u"", kShutterKindFraction}};
  for (const auto& c : kCases) {
    Control(Set("shutter_code", c.code));
    const BrelonCondition r = Report();
    EXPECT_EQ(std::u16string(r.shutterText), c.text) << c.code;
    EXPECT_EQ(r.shutterTextKind, c.kind) << c.code;
    EXPECT_EQ(r.shutterCode, c.code);
    EXPECT_EQ(r.shutterResult, 0);
  }
  Control(Set("bulb", 1));
  EXPECT_EQ(Report().bulb, 1);

  // A failed read keeps the last code, text and kind.
  Control(Set("shutter_code", 1000000));
  Report();
  Control(Set("shutter_code", 15));
  Control(Fault("ZEPK_GetShutterSpeed", 7));
  const BrelonCondition r = Report(BRELON_E_SDK_CALL);
  EXPECT_EQ(std::u16string(r.shutterText), u"1\"");
  EXPECT_EQ(r.shutterTextKind, kShutterKindSeconds);
  EXPECT_EQ(r.shutterCode, 1000000);
  EXPECT_EQ(r.shutterResult, ZEPK_FAILED);
}

TEST_F(ConditionOnSimCamera, WhiteBalanceTextCoversColourTemperatureAndUnknownModes) {
  Control(Set("wb_mode", kWbColorTemperature));
  Control(Set("wb_color_temp", 6500));
  BrelonCondition r = Report();
  EXPECT_EQ(std::u16string(r.wbText), u"6500K");
  EXPECT_EQ(r.colorTemp, 6500);

  Control(Set("wb_mode", 5));
  r = Report();
  EXPECT_EQ(std::u16string(r.wbText), u"");
  EXPECT_EQ(r.wbMode, 5);

  Control(Set("wb_mode", kWbShade));
  EXPECT_EQ(std::u16string(Report().wbText), u"SHADE");
}

TEST_F(ConditionOnSimCamera, FailingWhiteBalanceModeEmptiesTheTextAndSkipsColourTemperature) {
  Report();
  camera_->Sim().ClearTrace();
  Control(Fault("ZEPK_GetWBMode", 7));
  const BrelonCondition r = Report(BRELON_E_SDK_CALL);
  EXPECT_EQ(std::u16string(r.wbText), u"");
  EXPECT_EQ(r.wbModeResult, ZEPK_FAILED);
  EXPECT_EQ(r.wbMode, 2);  // the last value stays
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_GetWBColorTemp").empty());
  EXPECT_EQ(LogLines(4394,
                     "|  brnGetCameraCondition:m_pfnGetWBMode error "
                     "lAPICode=[0x00000000] lErrCode=[0x00000007]"),
            1u);
  // The getters after it still ran.
  EXPECT_EQ(camera_->Sim().Calls("ZEPK_GetExposureBias").size(), 1u);
}

TEST_F(ConditionOnSimCamera, FailingColourTemperatureCountsOnlyInTheColourTemperatureMode) {
  Control(Fault("ZEPK_GetWBColorTemp", ZEPK_ERR_BUSY));
  BrelonCondition r = Report();  // AUTO: stored, neither logged nor counted
  EXPECT_EQ(r.colorTempResult, ZEPK_FAILED);
  EXPECT_EQ(std::u16string(r.wbText), u"AUTO");
  EXPECT_EQ(AllConditionLogLines(), 0u);

  Control(Set("wb_mode", kWbColorTemperature));
  Control(Fault("ZEPK_GetWBColorTemp", ZEPK_ERR_BUSY));
  r = Report(BRELON_E_BUSY);
  EXPECT_EQ(std::u16string(r.wbText), u"-");
  EXPECT_EQ(LogLines(4374,
                     "|  brnGetCameraCondition:m_pfnGetWBColorTemp error "
                     "lAPICode=[0x00000000] lErrCode=[0x00001006]"),
            1u);
}

TEST_F(ConditionOnSimCamera, FirstNonZeroErrorNumberDecidesAndEveryFailureIsLogged) {
  const BrelonCondition before = Report();
  Control(Set("sensitivity", 800));
  Control(Set("aperture", 560));
  Control(Fault("ZEPK_GetSensitivity", ZEPK_ERR_BUSY));
  Control(Fault("ZEPK_GetAperture", 7));
  const BrelonCondition r = Report(BRELON_E_BUSY);
  EXPECT_EQ(LogLines(4255,
                     "|  brnGetCameraCondition:m_pfnGetSensitivity error "
                     "lAPICode=[0x00000000] lErrCode=[0x00001006]"),
            1u);
  EXPECT_EQ(LogLines(4330,
                     "|  brnGetCameraCondition:m_pfnGetAperture error "
                     "lAPICode=[0x00000000] lErrCode=[0x00000007]"),
            1u);
  EXPECT_EQ(AllConditionLogLines(), 2u);
  // Failed getters keep their last values and texts but store their results.
  EXPECT_EQ(r.sensitivity, before.sensitivity);
  EXPECT_EQ(r.sensitivityResult, ZEPK_FAILED);
  EXPECT_EQ(r.aperture, before.aperture);
  EXPECT_EQ(std::u16string(r.apertureText), u"2.8");
  EXPECT_EQ(r.apertureResult, ZEPK_FAILED);
  EXPECT_EQ(r.shutterResult, 0);

  // The other order: the first failure is not busy, so the busy one after it does not count.
  Control(Fault("ZEPK_GetShutterSpeed", 7));
  Control(Fault("ZEPK_GetExposureBias", ZEPK_ERR_BUSY));
  Report(BRELON_E_SDK_CALL);
  EXPECT_EQ(LogLines(4293, "|  brnGetCameraCondition:m_pfnGetShutterSpeed error"), 1u);
  EXPECT_EQ(LogLines(4406, "|  brnGetCameraCondition:m_pfnGetExposureBias error"), 1u);
}

TEST_F(ConditionOnSimCamera, FailureWithErrorNumberZeroKeepsResultZero) {
  Control(Fault("ZEPK_GetSensitivity", 0));
  const BrelonCondition r = Report(BRELON_OK);
  EXPECT_EQ(r.sensitivityResult, ZEPK_FAILED);
  EXPECT_EQ(LogLines(4255, "lErrCode=[0x00000000]"), 1u);
}

TEST_F(ConditionOnSimCamera, AfterTheCameraIsLostTheStoredRecordIsCopiedWithMinusFour) {
  Start(2);  // slower cycles: the record is cleared a whole cycle after the loss
  Control(Set("aperture", 1120));
  Report();
  Control(R"({"cmd":"unplug","camera":0})");
  for (int i = 0; i < 200; ++i) {
    const auto events = camera_->Events();
    if (std::find(events.begin(), events.end(), BRELON_EV_DISCONNECTED) != events.end()) break;
    plat::SleepMs(50);
  }
  camera_->Sim().ClearTrace();
  const BrelonCondition r = Report(BRELON_E_NO_CONTEXT);
  EXPECT_EQ(r.aperture, 1120);
  EXPECT_EQ(std::u16string(r.apertureText), u"11.2");
  EXPECT_EQ(r.cameraName[0], u'\0');
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_GetSensitivity").empty());
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_GetAperture").empty());
}

TEST(ConditionWithoutCamera, NoContextWritesNothingAndAnIdleOneCopiesItsEmptyRecord) {
  BrelonCondition out;
  std::memset(&out, 0x5A, sizeof(out));
  void* none = nullptr;
  EXPECT_EQ(GetCameraCondition(&none, &out), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(GetCameraCondition(nullptr, &out), BRELON_E_NO_CONTEXT);
  for (size_t i = 0; i < sizeof(out); ++i) {
    ASSERT_EQ(reinterpret_cast<const uint8_t*>(&out)[i], 0x5A) << "byte " << i;
  }

  test::ConnectedContext idle(R"({"cameras":[]})", 200);
  ASSERT_EQ(idle.InitResult(), BRELON_OK);
  ASSERT_FALSE(idle.Connected());
  EXPECT_EQ(GetCameraCondition(idle.Handle(), &out), BRELON_E_NO_CONTEXT);
  const BrelonCondition zero{};
  EXPECT_EQ(std::memcmp(&out, &zero, sizeof(out)), 0);
  EXPECT_TRUE(idle.Sim().Calls("ZEPK_GetSensitivity").empty());
}

}  // namespace
}  // namespace brelon
