// Capture on the simulated camera: Shoot's releases, results and calls for each list of release
// modes, priority, mode-3301 state and failing release; the condition report's text rules, record,
// what a failed or unknown read keeps, each failure's result; both without a camera.
#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <string>
#include <tuple>

#include "base/context.h"
#include "brelon/brelon.h"
#include "capture/condition_text.h"
#include "capture/release_modes.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

// The calls Shoot makes itself, with their words after the camera handle (no output addresses).
std::string ShootCalls(const test::SimSession& sim) {
  std::string out;
  for (const test::TraceCall& call : sim.Trace()) {
    const std::string fn = call.fn.substr(5);
    if (fn != "GetPriorityMode" && fn != "SetPriorityMode" && fn != "Release" && fn != "SetProp")
      continue;
    out += " " + fn;
    const size_t words = fn == "SetProp" ? call.args.size() - 1 : fn == "GetPriorityMode" ? 0 : 1;
    for (size_t i = 1; i <= words; ++i) {
      char word[16] = {i == 1 ? ':' : ','};
      std::to_chars(word + 1, word + 15, static_cast<uint32_t>(test::IntArg(call, i)), 16);
      out += word;
    }
  }
  return out;
}

std::string Fail(int nth, int error) {
  return R"({"fn":"ZEPK_Release","nth":)" + std::to_string(nth) + R"(,"error":)" +
         std::to_string(error) + "}";
}

TEST(ShootOnSimCamera, ChoosesTheReleasesFromTheCamerasListAndAnswersAsTheyGo) {
  plat::SetTimeScale(10);  // the simulated capture delay is real
  const std::string take = "0 2 GetPriorityMode SetPriorityMode:2 ";
  const std::string twoStep = take + "Release:200 Release:304 Release:4";
  const std::string refused = "-5 0 GetPriorityMode SetPriorityMode:2";
  // Camera over the default K-M3 (modes 0x104, 0x200, 0x304), faults, host count (-1: not in
  // mode 3301), then result, pictures on return, calls.
  const std::tuple<std::string, std::string, int32_t, std::string> kCases[] = {
      // clang-format off
      {"", "", -1, twoStep},
      // The smallest of each press group by bits 8-15, compared signed; 0x1100 is in none.
      {R"("release_modes":[496,260,767,513,928,768,4352])", "", -1,
       "0 0 GetPriorityMode SetPriorityMode:2 Release:201 Release:300 Release:4"},
      // A slow picture, its code not in the shutter table: no wait, a timeout is a success.
      {R"("shutter_code":245,"capture":{"delay_ms":60000})", "", -1, "0 0" + twoStep.substr(3)},
      // A failed press gives its result; the button never stays half pressed.
      {"", Fail(2, 4102), -1, "-100 0" + twoStep.substr(3)},
      {"", Fail(1, 7), -1, refused + " Release:200"},
      // Mode 3301 is left first; listed models also get a host count of one.
      {"", "", 0, "0 2 SetProp:3302,0 SetProp:3327,1,1" + twoStep.substr(3)},
      {"", "", 1, "0 2 SetProp:3302,0" + twoStep.substr(3)},
      {R"("model":"K-M1")", "", 0, "0 2 SetProp:3302,0" + twoStep.substr(3)},
      // clang-format on
  };
  for (const auto& [config, faults, hostCount, want] : kCases) {
    test::ConnectedContext camera(R"({"cameras":[{)" + config + R"(}],"faults":[)" + faults + "]}");
    ASSERT_TRUE(camera.Connected());
    plat::LockGuard holdSession(Locks().host[0]);  // no watch cycle in between
    camera.Sim().ClearTrace();
    camera.Context()->lMode3301 = hostCount >= 0;
    camera.Context()->lHostCount = hostCount;
    const std::string result = std::to_string(Shoot(camera.Handle())) + " ";
    EXPECT_EQ(result + std::to_string(camera.Control(R"({"cmd":"pending","camera":0})")) +
                  ShootCalls(camera.Sim()),
              want)
        << config << " " << faults << " " << hostCount;
    EXPECT_EQ(camera.Context()->lRearm3301, hostCount >= 0 ? 1 : 0);
  }
  plat::SetTimeScale(1);
}

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
                       0x8008, 0x8009, 0x800A, 0x800B, 0x8004, 5, -1})
    texts += WhiteBalanceLabel(mode) + std::u16string(u"|");
  EXPECT_EQ(texts, u"AUTO|Daylight|INC.|UW|FL1|FL2|FL3|SHADE||CUS.1|CUS.2|CUS.3|||||");
  // The record's text is emptied in place, so stale units may follow its terminator.
  EXPECT_EQ(ShutterTextKind(u"\0/\""), 2);
}

TEST(ConditionOnSimCamera, ReportsKeepsWhatAFailedReadHadAndNeedsACamera) {
  test::ConnectedContext camera(R"({"cameras":[{"exposure_bias":-3}]})");
  ASSERT_TRUE(camera.Connected());
  plat::LockGuard holdSession(Locks().host[0]);  // no watch cycle in between
  camera.Sim().ClearTrace();
  const auto set = [&](const std::string& key, int64_t value) {
    camera.Control(R"({"cmd":"set","camera":0,"key":")" + key + R"(","value":)" +
                   std::to_string(value) + "}");
  };
  const auto fail = [&](const std::string& getter, int error) {
    camera.Control(R"({"cmd":"fault","fn":"ZEPK_Get)" + getter + R"(","error":)" +
                   std::to_string(error) + "}");
  };
  const auto report = [&](int32_t expectedResult) {
    BrelonCondition out;
    std::memset(&out, 0xAB, sizeof(out));  // every byte is written
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
  // A colour-temperature failure counts only while the mode shows it.
  fail("WBColorTemp", ZEPK_ERR_BUSY);
  EXPECT_EQ(report(BRELON_OK).colorTempResult, ZEPK_FAILED);
  set("wb_mode", 0x8007);  // colour temperature
  set("wb_color_temp", 6500);
  EXPECT_EQ(std::u16string(report(BRELON_OK).wbText), u"6500K");

  // Failed reads keep their value and text; the first failure with a number decides.
  set("shutter_code", 15);
  set("aperture", 560);
  for (const char* getter : {"Sensitivity", "ShutterSpeed", "WBColorTemp", "ExposureBias"})
    fail(getter, 7);
  fail("Aperture", ZEPK_ERR_BUSY);
  r = report(BRELON_E_SDK_CALL);
  EXPECT_EQ(std::u16string(r.shutterText) + u" " + r.apertureText + u" " + r.wbText,
            u"1/1000 2.8 -");
  EXPECT_EQ(std::vector<int32_t>({r.shutterCode, r.shutterTextKind, r.aperture}),
            std::vector<int32_t>({976, 0, 280}));
  set("wb_mode", 5);
  fail("WBMode", ZEPK_ERR_BUSY);  // empties the text; the colour temperature is not asked
  fail("ExposureBias", 7);
  camera.Sim().ClearTrace();
  r = report(BRELON_E_BUSY);
  EXPECT_EQ(std::u16string(r.wbText), u"");
  EXPECT_TRUE(camera.Sim().Calls("ZEPK_GetWBColorTemp").empty());
  fail("Sensitivity", 0);  // a failure without a number does not decide
  report(BRELON_OK);

  // A lost camera is not asked: the stored record is copied out with -4, Shoot gives -4.
  plat::LockGuard connection(Locks().connection);  // recursive, as the exports take it too
  camera.Context()->lConnected = 0;                // as the session thread leaves it
  camera.Sim().ClearTrace();
  BrelonCondition out = report(BRELON_E_NO_CONTEXT);
  EXPECT_EQ(Shoot(camera.Handle()), BRELON_E_NO_CONTEXT);
  EXPECT_EQ(std::memcmp(&out, &camera.Context()->Condition, sizeof(out)), 0);
  EXPECT_EQ(std::u16string(out.apertureText), u"5.6");
  EXPECT_TRUE(camera.Sim().Trace().empty());
  camera.Context()->lConnected = 1;
  void* none = nullptr;
  for (void** handle : {&none, static_cast<void**>(nullptr)}) {  // no context: nothing done
    r = out;
    EXPECT_EQ(GetCameraCondition(handle, &r), BRELON_E_NO_CONTEXT);
    EXPECT_EQ(Shoot(handle), BRELON_E_NO_CONTEXT);
    EXPECT_EQ(std::memcmp(&out, &r, sizeof(out)), 0);
  }
}

}  // namespace
}  // namespace brelon
