// Camera-condition report: the text rules on their own, then GetCameraCondition against the
// simulated camera: the record, what a failed or unknown read keeps, the result and the log
// record of each failure, and the copy-out without a camera.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "brelon/brelon.h"
#include "capture/condition_text.h"
#include "capture/release_modes.h"
#include "base/context.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

TEST(ConditionTexts, ApertureWhiteBalanceAndShutterKindFollowTheirRules) {
  std::u16string texts;
  for (int32_t hundredths : {0, 400, 1000, 1100, 280, 1120, 105, 1009, -1100, INT32_MIN}) {
    char16_t out[kConditionTextUnits];
    FormatApertureText(hundredths, out, kConditionTextUnits);
    texts += out + std::u16string(u" ");
  }
  char16_t cut[3] = {u'x', u'x', u'x'};
  FormatApertureText(1250, cut, 3);
  EXPECT_EQ(texts + cut, u"0 4.0 10 11 2.8 11.2 1.05 10.09 -11 -21474836.48 12");
  texts.clear();
  for (int32_t mode : {0x0002, 0x0004, 0x0006, 0x0008, 0x8001, 0x8002, 0x8003, 0x8006, 0x8007,
                       0x8008, 0x8009, 0x800A, 0x800B, 0x8004, 5, -1}) {
    texts += WhiteBalanceLabel(mode) + std::u16string(u"|");
  }
  EXPECT_EQ(texts, u"AUTO|Daylight|INC.|UW|FL1|FL2|FL3|SHADE||CUS.1|CUS.2|CUS.3|||||");
  EXPECT_EQ(ShutterTextKind(u"1/2.5"), 0);
  EXPECT_EQ(ShutterTextKind(u"2'00\""), 1);
  EXPECT_EQ(ShutterTextKind(u"BULB"), 2);
  // The record's text is emptied in place, so stale units may follow its terminator.
  EXPECT_EQ(ShutterTextKind(u"\0/\""), 2);
}

TEST(ConditionOnSimCamera, ReportsTheCameraKeepsWhatAFailedReadHadAndLogsEachFailure) {
  test::ConnectedContext camera(R"({"cameras":[{"exposure_bias":-3}]})");
  ASSERT_TRUE(camera.Connected());
  plat::LockGuard holdSession(Locks().host[0]);  // no watch cycle in between
  camera.Sim().ClearTrace();
  const auto set = [&](const char* key, int64_t value) {
    ASSERT_EQ(camera.Sim().Control(std::string(R"({"cmd":"set","camera":0,"key":")") + key +
                                   R"(","value":)" + std::to_string(value) + "}"),
              0);
  };
  const auto fail = [&](const std::string& getter, int error) {
    ASSERT_EQ(camera.Sim().Control(R"({"cmd":"fault","fn":"ZEPK_Get)" + getter + R"(","error":)" +
                                   std::to_string(error) + "}"),
              0);
  };
  const auto report = [&](int32_t expectedResult) {
    BrelonCondition out;
    std::memset(&out, 0xAB, sizeof(out));
    EXPECT_EQ(GetCameraCondition(camera.Handle(), &out), expectedResult);
    return out;
  };
  BrelonCondition r = report(BRELON_OK);
  EXPECT_EQ(
      std::u16string(r.cameraName) + u" " + r.apertureText + u" " + r.shutterText + u" " + r.wbText,
      u"ORVANTIS K-M3 2.8 1/1000 AUTO");
  EXPECT_EQ(std::vector<int32_t>({r.aperture, r.shutterCode, r.shutterTextKind, r.bulb,
                                  r.sensitivity, r.exposureBias, r.wbMode, r.colorTemp,
                                  r.apertureResult | r.shutterResult | r.sensitivityResult |
                                      r.exposureBiasResult | r.wbModeResult | r.colorTempResult}),
            std::vector<int32_t>({280, 976, 0, 0, 400, -3, 2, 5500, 0}));
  for (uint8_t byte : r.reserved) EXPECT_EQ(byte, 0);
  EXPECT_EQ(std::memcmp(&r, &camera.Context()->Condition, sizeof(r)), 0);
  std::string getters;
  for (const test::TraceCall& call : camera.Sim().Trace()) getters += call.fn.substr(8) + " ";
  EXPECT_EQ(getters, "Sensitivity ShutterSpeed Aperture WBMode WBColorTemp ExposureBias ");

  // Unknown shutter codes empty the text and keep the kind before them.
  std::u16string shutter;
  for (int32_t code : {-1, 12345, 15, 12345, 1000000}) {
    set("shutter_code", code);
    r = report(BRELON_OK);
    shutter += r.shutterText + (u":" + std::u16string(1, u'0' + r.shutterTextKind)) + u" ";
    EXPECT_EQ(r.shutterCode, code);
  }
  EXPECT_EQ(shutter, u"BULB:2 :2 1/64000:0 :0 1\":1 ");
  // A colour-temperature failure counts only while the mode shows it.
  fail("WBColorTemp", ZEPK_ERR_BUSY);
  EXPECT_EQ(report(BRELON_OK).colorTempResult, ZEPK_FAILED);
  set("wb_mode", 0x8007);  // colour temperature
  set("wb_color_temp", 6500);
  EXPECT_EQ(std::u16string(report(BRELON_OK).wbText), u"6500K");

  // Failed reads keep their value and text; the first failure with a number decides.
  set("shutter_code", 15);
  set("aperture", 560);
  for (const char* getter : {"Sensitivity", "ShutterSpeed", "WBColorTemp", "ExposureBias"}) {
    fail(getter, 7);
  }
  fail("Aperture", ZEPK_ERR_BUSY);
  r = report(BRELON_E_SDK_CALL);
  EXPECT_EQ(std::u16string(r.shutterText) + u" " + r.apertureText + u" " + r.wbText, u"1\" 2.8 -");
  EXPECT_EQ(std::vector<int32_t>({r.shutterCode, r.shutterTextKind, r.aperture}),
            std::vector<int32_t>({1000000, 1, 280}));
  set("wb_mode", 5);
  fail("WBMode", ZEPK_ERR_BUSY);  // empties the text; the colour temperature is not asked
  fail("ExposureBias", 7);
  camera.Sim().ClearTrace();
  r = report(BRELON_E_BUSY);
  EXPECT_EQ(std::u16string(r.wbText), u"");
  EXPECT_EQ(r.wbMode, 0x8007);
  EXPECT_TRUE(camera.Sim().Calls("ZEPK_GetWBColorTemp").empty());
  EXPECT_EQ(std::u16string(report(BRELON_OK).wbText), u"");
  fail("Sensitivity", 0);  // a failure without a number does not decide
  report(BRELON_OK);

  // Each record names its getter at a fixed line, with the camera's error number.
  const std::regex record(R"(Brelon\.cpp (\d+) - GetCameraCondition\(\).*m_pfnGet(\w+) )"
                          R"(error lAPICode=\[0x00000000\] lErrCode=\[0x0*(\w*)\])");
  std::string records;
  for (const std::string& line : camera.LogLines("brnGetCameraCondition:")) {
    std::smatch m;
    if (std::regex_search(line, m, record)) records += m.str(1) + m.str(2) + m.str(3) + " ";
  }
  EXPECT_EQ(records,
            "4255Sensitivity7 4293ShutterSpeed7 4330Aperture1006 4374WBColorTemp7 "
            "4406ExposureBias7 4394WBMode1006 4406ExposureBias7 4255Sensitivity ");

  // A lost camera is not asked: the stored record is copied out with -4. No context: nothing.
  const auto setConnected = [&](int32_t connected) {
    plat::LockGuard connection(Locks().connection);
    camera.Context()->lConnected = connected;
  };
  setConnected(0);  // as the session thread leaves it after the loss
  camera.Sim().ClearTrace();
  BrelonCondition out = report(BRELON_E_NO_CONTEXT);
  EXPECT_EQ(std::memcmp(&out, &camera.Context()->Condition, sizeof(out)), 0);
  EXPECT_EQ(std::u16string(out.apertureText), u"5.6");
  EXPECT_TRUE(camera.Sim().Trace().empty());
  setConnected(1);
  void* none = nullptr;
  for (void** handle : {&none, static_cast<void**>(nullptr)}) {
    r = out;
    EXPECT_EQ(GetCameraCondition(handle, &r), BRELON_E_NO_CONTEXT);
    EXPECT_EQ(std::memcmp(&out, &r, sizeof(out)), 0);
  }
}

}  // namespace
}  // namespace brelon
