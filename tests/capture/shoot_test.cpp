// Shutter release: the release-mode choice and the model list on their own, then Shoot against
// the simulated camera, asserting the exact sequence of property, priority and release calls,
// the result codes and the log records.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

ReleaseModeChoice Choose(const std::vector<int32_t>& modes) {
  return ChooseReleaseModes(modes.data(), static_cast<int32_t>(modes.size()));
}

TEST(ReleaseModeChoice, GroupsByBits8To15AndPicksTheSmallestOfEach) {
  const int32_t negativeOneStep = static_cast<int32_t>(0xFFFF0100u);
  const struct {
    std::vector<int32_t> modes;
    int32_t oneStep, halfPress, fullPress, extra;
  } kCases[] = {
      {{0x104, 0x200, 0x304}, 0x104, 0x200, 0x304, kReleaseNone},
      // Smallest by signed comparison; 0x1100 (bits 8-15 = 0x11) is in no group, lacks bit 2.
      {{0x1F0, 0x104, 0x2FF, 0x201, 0x3A0, 0x300, 0x1100}, 0x104, 0x201, 0x300, kReleaseNone},
      // Bits 8-15 of a negative mode can still name a group; it then wins as the smallest.
      {{0x104, negativeOneStep}, negativeOneStep, kReleaseNone, kReleaseNone, kReleaseNone},
      // The extra mode: the last listed outside the groups that has bit 2.
      {{0x104, 0x0C, 0x200, 0x304}, 0x104, 0x200, 0x304, 0x0C},
      {{0x0C, 0x14, 0x08, 0x104}, 0x104, kReleaseNone, kReleaseNone, 0x14},
      {{0x104, 0x200, 0x304, 0x400}, 0x104, 0x200, 0x304, kReleaseNone},
      {{0x104, 0x204, 0x304}, 0x104, 0x204, 0x304, kReleaseNone},
      {{0x200, 0x304}, kReleaseNoOneStep, 0x200, 0x304, kReleaseNone},
      {{}, kReleaseNoOneStep, kReleaseNone, kReleaseNone, kReleaseNone},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "first mode " << (c.modes.empty() ? 0 : c.modes[0]));
    const ReleaseModeChoice got = Choose(c.modes);
    EXPECT_EQ(got.oneStep, c.oneStep);
    EXPECT_EQ(got.halfPress, c.halfPress);
    EXPECT_EQ(got.fullPress, c.fullPress);
    EXPECT_EQ(got.extra, c.extra);
  }
}

TEST(HostCountModels, MatchExactlyAndCaseSensitively) {
  for (const char* model :
       {"VMZ 40A", "VMZ 40B", "VMZ 200", "K-N1", "K-Rel2", "K-Rel3", "K-M3", "K-M2"}) {
    EXPECT_TRUE(NeedsHostCountOnRelease(model)) << model;
  }
  for (const char* model : {"K-M1", "k-m3", "K-M3 ", "VMZ 40", "", "K-Rel"}) {
    EXPECT_FALSE(NeedsHostCountOnRelease(model)) << model;
  }
}

TEST(HostCountModels, AnUnterminatedModelFieldIsReadNoFurtherThanItsBytes) {
  char model[sizeof(DeviceInformation::model)];
  std::memset(model, 'K', sizeof(model));
  EXPECT_FALSE(NeedsHostCountOnRelease(model));
}

// ---- Shoot against the simulated camera ----------------------------------------------------

// Every timed wait below runs ten times faster than nominal; the simulated capture delay is real.
constexpr uint32_t kTimeScale = 10;

struct CameraSetup {
  std::vector<int32_t> releaseModes{0x104, 0x200, 0x304};
  std::string model = "K-M3";
  int32_t priorityMode = 1;
  int32_t shutterCode = 976;  // 1/1000: the timed release waits up to 30 s nominal for it
  int32_t captureDelayMs = 50;
};

std::string ConfigJson(const CameraSetup& setup) {
  std::string modes;
  for (int32_t mode : setup.releaseModes) {
    if (!modes.empty()) modes += ",";
    modes += std::to_string(mode);
  }
  return R"({"cameras":[{"manufacturer":"ORVANTIS","model":")" + setup.model +
         R"(","connect":["usb"],"open_mode":1,"release_modes":[)" + modes +
         R"(],"priority_mode":)" + std::to_string(setup.priorityMode) + R"(,"shutter_code":)" +
         std::to_string(setup.shutterCode) +
         R"(,"bulb":0,"aperture":280,"sensitivity":400,"exposure_bias":0,"wb_mode":2,)"
         R"("wb_color_temp":5500,"capture":{"format":"raw+jpeg","delay_ms":)" +
         std::to_string(setup.captureDelayMs) + "}}]}";
}

std::string Fault(const char* fn, int nth, int error) {
  return std::string(R"({"cmd":"fault","fn":")") + fn + R"(","nth":)" + std::to_string(nth) +
         R"(,"count":1,"result":-1,"api_code":0,"error":)" + std::to_string(error) + "}";
}

std::string Hex(int64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// The calls Shoot makes itself, in order, as "fn arg...". The timed release's own capacity,
// shutter-speed and mode-list queries are left out: they belong to the loader.
std::vector<std::string> ShootSequence(const test::SimSession& sim) {
  std::vector<std::string> steps;
  for (const test::TraceCall& call : sim.Trace()) {
    if (call.fn == "ZEPK_GetPriorityMode") {
      steps.push_back("GetPriorityMode");
    } else if (call.fn == "ZEPK_SetPriorityMode") {
      steps.push_back("SetPriorityMode " + std::to_string(test::IntArg(call, 1)));
    } else if (call.fn == "ZEPK_Release") {
      steps.push_back("Release " + Hex(test::IntArg(call, 1)));
    } else if (call.fn == "ZEPK_SetProp") {
      std::string step = "SetProp " + Hex(test::IntArg(call, 1));
      for (size_t i = 2; i < call.args.size(); ++i)
        step += " " + std::to_string(test::IntArg(call, i));
      steps.push_back(step);
    }
  }
  return steps;
}

using Steps = std::vector<std::string>;

class ShootOnSimCamera : public ::testing::Test {
 protected:
  void SetUp() override { plat::SetTimeScale(kTimeScale); }
  void TearDown() override {
    camera_.reset();
    plat::SetTimeScale(1);
  }

  // Connects a context to a simulated camera and forgets the calls the connection made.
  test::ConnectedContext& Connect(const CameraSetup& setup = {}) {
    camera_.reset();
    camera_ = std::make_unique<test::ConnectedContext>(ConfigJson(setup));
    EXPECT_TRUE(camera_->Connected()) << "no camera connection";
    camera_->Sim().ClearTrace();
    return *camera_;
  }
  int32_t ShootNow() { return Shoot(camera_->Handle()); }
  size_t ShootLogLines(const std::string& message) {
    size_t count = 0;
    for (const std::string& line : camera_->LogLines(message)) {
      if (line.find("Brelon.cpp") != std::string::npos &&
          line.find(" - Shoot()") != std::string::npos) {
        ++count;
      }
    }
    return count;
  }
  void SetMode3301(int32_t hostCount) {
    PluginContext* ctx = camera_->Context();
    ctx->lMode3301 = 1;
    ctx->lRearm3301 = 0;
    ctx->lHostCount = hostCount;
  }

  std::unique_ptr<test::ConnectedContext> camera_;
};

struct FaultAt {
  const char* fn;
  int nth;
  int error;
};

struct ShootCase {
  const char* name;
  CameraSetup setup;
  std::vector<FaultAt> faults;
  int32_t result;
  Steps steps;                    // the exact calls Shoot makes
  std::vector<std::string> logs;  // each logged exactly once; none: nothing about Shoot logged
};

const Steps kTwoStep{"GetPriorityMode", "SetPriorityMode 2", "Release 0x200", "Release 0x304",
                     "Release 0x4"};
const Steps kOneStep{"GetPriorityMode", "SetPriorityMode 2", "Release 0x104"};
const Steps kRefused{"GetPriorityMode", "SetPriorityMode 2"};
const std::vector<int32_t> kOnlyOneStep{0x104};
constexpr char kS2Busy[] =
    "|    brnShoot:m_pfnRelease with S2 error lAPICode=[0x00000000] lErrCode=[0x00001006]";
constexpr char kS2Other[] =
    "|    brnShoot:m_pfnRelease with S2 error lAPICode=[0x00000000] lErrCode=[0x00000007]";
constexpr char kErr7[] = " error lAPICode=[0x00000000] lErrCode=[0x00000007]";

// clang-format off
const ShootCase kShootCases[] = {
    {"TwoStepGetsHalfFullAndClosingRelease", {}, {}, BRELON_OK, kTwoStep, {}},
    {"ExtraModeSuppressesTheClosingRelease", {.releaseModes = {0x104, 0x200, 0x304, 0x0C}}, {},
     BRELON_OK, {"GetPriorityMode", "SetPriorityMode 2", "Release 0x200", "Release 0x304"}, {}},
    {"OneStepGetsASingleRelease", {.releaseModes = kOnlyOneStep}, {}, BRELON_OK, kOneStep, {}},
    // An unusable list is refused without a release and without a log line.
    {"NoOneStepModeIsRefused", {.releaseModes = {0x200, 0x304}}, {}, BRELON_E_SDK_CALL, kRefused, {}},
    {"FailedModeListQueryIsRefused", {}, {{"ZEPK_CapRelease", 2, 7}}, BRELON_E_SDK_CALL, kRefused, {}},
    {"PriorityModeTwoIsLeftAlone", {.priorityMode = 2}, {}, BRELON_OK,
     {"GetPriorityMode", "Release 0x200", "Release 0x304", "Release 0x4"}, {}},
    {"FailedFullPressStillSendsModeFourAndIsBusy", {}, {{"ZEPK_Release", 2, ZEPK_ERR_BUSY}},
     BRELON_E_BUSY, kTwoStep, {kS2Busy}},
    {"FailedFallbackWithAnotherErrorIsMinusFive", {},
     {{"ZEPK_Release", 2, ZEPK_ERR_BUSY}, {"ZEPK_Release", 3, 7}}, BRELON_E_SDK_CALL, kTwoStep,
     {kS2Busy, kS2Other}},
    {"FailedHalfPressStopsTheSequence", {}, {{"ZEPK_Release", 1, 7}}, BRELON_E_SDK_CALL,
     {"GetPriorityMode", "SetPriorityMode 2", "Release 0x200"},
     {std::string("|    brnShoot:m_pfnRelease with S1ON") + kErr7}},
    {"FailedClosingReleaseIsReported", {}, {{"ZEPK_Release", 3, ZEPK_ERR_BUSY}}, BRELON_E_BUSY,
     kTwoStep, {kS2Busy}},
    {"FailedOneStepReleaseIsReported", {.releaseModes = kOnlyOneStep}, {{"ZEPK_Release", 1, 7}},
     BRELON_E_SDK_CALL, kOneStep, {std::string("|    brnShoot:m_pfnRelease") + kErr7}},
    {"FailedGetPriorityModeEndsTheShot", {}, {{"ZEPK_GetPriorityMode", 1, ZEPK_ERR_BUSY}},
     BRELON_E_BUSY, {"GetPriorityMode"},
     {"|    m_pfnGetPriorityMode error lAPICode=[0x00000000] lErrCode=[0x00001006]"}},
    {"FailedSetPriorityModeEndsTheShot", {}, {{"ZEPK_SetPriorityMode", 1, 7}}, BRELON_E_SDK_CALL,
     kRefused, {std::string("|    brnShoot:m_pfnSetPriorityMode") + kErr7}},
    // A shutter code outside the table gives the wait no time at all and the picture is slow:
    // the timed-out release still counts as success.
    {"TimedOutReleaseCountsAsSuccess", {.shutterCode = 245, .captureDelayMs = 60000}, {},
     BRELON_OK, kTwoStep, {}},
};
// clang-format on

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const ShootCase& c, std::ostream* os) {
  *os << c.name;
}

class ShootSequences : public ShootOnSimCamera, public ::testing::WithParamInterface<ShootCase> {};

TEST_P(ShootSequences, MakeExactlyTheCallsResultAndLogLinesOfTheCase) {
  const ShootCase& c = GetParam();
  Connect(c.setup);
  for (const FaultAt& f : c.faults) {
    ASSERT_EQ(camera_->Sim().Control(Fault(f.fn, f.nth, f.error)), 0);
  }
  EXPECT_EQ(ShootNow(), c.result);
  EXPECT_EQ(ShootSequence(camera_->Sim()), c.steps);
  for (const std::string& line : c.logs) EXPECT_EQ(ShootLogLines(line), 1u) << line;
  if (c.logs.empty()) EXPECT_TRUE(camera_->LogLines("brnShoot").empty());
}

INSTANTIATE_TEST_SUITE_P(Shoot, ShootSequences, ::testing::ValuesIn(kShootCases),
                         [](const ::testing::TestParamInfo<ShootCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(ShootOnSimCamera, ModeCountMustStayBelow512) {
  std::vector<int32_t> modes(511, 0x200);
  modes[0] = 0x104;  // one-step only: the half presses lack a full press
  Connect({.releaseModes = modes});
  EXPECT_EQ(ShootNow(), BRELON_OK);
  EXPECT_EQ(camera_->Sim().Calls("ZEPK_Release").size(), 1u);

  modes.push_back(0x200);
  std::string list;
  for (int32_t mode : modes) list += (list.empty() ? "" : ",") + std::to_string(mode);
  ASSERT_EQ(camera_->Sim().Control(R"({"cmd":"set","camera":0,"key":"release_modes","value":[)" +
                                   list + "]}"),
            0);
  camera_->Sim().ClearTrace();
  EXPECT_EQ(ShootNow(), BRELON_E_SDK_CALL);
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_Release").empty());
  // Only the count was asked for: the list itself never reaches a 512-entry buffer.
  EXPECT_EQ(camera_->Sim().Calls("ZEPK_CapRelease").size(), 1u);
}

// Steps before the priority query, per model and host count, when the host left mode 3301 on.
TEST_F(ShootOnSimCamera, Mode3301IsLeftAndListedModelsGetTheHostCountUnlessItIsOne) {
  const struct {
    const char* model;
    int32_t hostCount;
    Steps before;
  } kCases[] = {{"K-M1", 0, {"SetProp 0x3302 0"}},
                {"K-M3", 0, {"SetProp 0x3302 0", "SetProp 0x3327 1 1"}},
                {"K-M3", 1, {"SetProp 0x3302 0"}}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.model << " host count " << c.hostCount);
    Connect({.model = c.model});
    EXPECT_EQ(ShootNow(), BRELON_OK);
    EXPECT_TRUE(camera_->Sim().Calls("ZEPK_SetProp").empty()) << "not in mode 3301";
    EXPECT_EQ(camera_->Context()->lRearm3301, 0);
    camera_->Sim().ClearTrace();
    SetMode3301(c.hostCount);
    EXPECT_EQ(ShootNow(), BRELON_OK);
    const Steps steps = ShootSequence(camera_->Sim());
    Steps expected = c.before;
    expected.push_back("GetPriorityMode");
    ASSERT_GE(steps.size(), expected.size());
    EXPECT_EQ(Steps(steps.begin(), steps.begin() + expected.size()), expected);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "SetProp 0x3302 0"), 1);
    EXPECT_EQ(camera_->Context()->lRearm3301, 1);
  }
}

TEST_F(ShootOnSimCamera, PictureIsWaitingInTheCameraWhenShootReturns) {
  Connect({.releaseModes = {0x104}});
  ASSERT_EQ(camera_->Sim().Control(R"({"cmd":"pending","camera":0})"), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ShootNow(), BRELON_OK);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // Raw and JPEG of the one shot are both in the buffer, and the release did not sit out its
  // time-out (3 s real at this scale) to get there.
  EXPECT_EQ(camera_->Sim().Control(R"({"cmd":"pending","camera":0})"), 2);
  EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
}

// Host threads hammering both exports while the session thread keeps watching the camera.
struct HostThreadWork {
  void** handle = nullptr;
  bool shoot = false;
  int iterations = 0;
  int failures = 0;  // written by the worker only, read after the join
};

uint32_t RunHostThread(void* arg) {
  auto* work = static_cast<HostThreadWork*>(arg);
  for (int i = 0; i < work->iterations; ++i) {
    int32_t result = BRELON_OK;
    if (work->shoot) {
      result = Shoot(work->handle);
    } else {
      BrelonCondition condition;
      result = GetCameraCondition(work->handle, &condition);
      if (condition.aperture != 280) ++work->failures;
    }
    if (result != BRELON_OK) ++work->failures;
  }
  return 0;
}

TEST_F(ShootOnSimCamera, ShootAndConditionRunTogetherFromFourHostThreads) {
  Connect({.releaseModes = {0x104}, .captureDelayMs = 5});
  constexpr int kShotsPerThread = 5;
  constexpr int kReportsPerThread = 40;
  HostThreadWork work[4];
  plat::Thread* threads[4] = {};
  for (int i = 0; i < 4; ++i) {
    work[i].handle = camera_->Handle();
    work[i].shoot = i % 2 == 0;
    work[i].iterations = work[i].shoot ? kShotsPerThread : kReportsPerThread;
    threads[i] = plat::ThreadStart(&RunHostThread, &work[i]);
    ASSERT_NE(threads[i], nullptr);
  }
  for (plat::Thread* thread : threads) {
    EXPECT_EQ(plat::ThreadJoin(thread, plat::kInfinite), plat::WaitResult::kSignalled);
    plat::ThreadClose(thread);
  }
  for (const HostThreadWork& w : work) EXPECT_EQ(w.failures, 0) << (w.shoot ? "Shoot" : "report");
  // The SDK lock kept the releases apart: one shot per call, each release sent exactly once.
  EXPECT_EQ(camera_->Sim().Control(R"({"cmd":"stats","camera":0,"what":"shots"})"),
            2 * kShotsPerThread);
  EXPECT_EQ(camera_->Sim().Calls("ZEPK_Release").size(), 2u * kShotsPerThread);
  EXPECT_EQ(camera_->Sim().Calls("ZEPK_GetAperture").size(), 2u * kReportsPerThread);
}

TEST(ShootWithoutCamera, NoContextOrNoConnectionGivesMinusFourAndTouchesNothing) {
  EXPECT_EQ(Shoot(nullptr), BRELON_E_NO_CONTEXT);
  void* none = nullptr;
  EXPECT_EQ(Shoot(&none), BRELON_E_NO_CONTEXT);

  test::ConnectedContext idle(R"({"cameras":[]})", 200);
  ASSERT_EQ(idle.InitResult(), BRELON_OK);
  ASSERT_FALSE(idle.Connected());
  EXPECT_EQ(Shoot(idle.Handle()), BRELON_E_NO_CONTEXT);
  EXPECT_TRUE(idle.Sim().Calls("ZEPK_GetPriorityMode").empty());
  EXPECT_TRUE(idle.Sim().Calls("ZEPK_Release").empty());
}

}  // namespace
}  // namespace brelon
