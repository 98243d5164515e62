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

#include "brelon/brelon.h"
#include "capture/capture.h"
#include "core/context.h"
#include "platform/platform.h"
#include "support/connected_context.h"

namespace brelon {
namespace {

ReleaseModeChoice Choose(const std::vector<int32_t>& modes) {
  return ChooseReleaseModes(modes.data(), static_cast<int32_t>(modes.size()));
}

TEST(ReleaseModeChoice, SortsModesIntoPressGroupsByBits8To15) {
  const ReleaseModeChoice c = Choose({0x104, 0x200, 0x304});
  EXPECT_EQ(c.oneStep, 0x104);
  EXPECT_EQ(c.halfPress, 0x200);
  EXPECT_EQ(c.fullPress, 0x304);
  EXPECT_EQ(c.extra, kReleaseNone);
}

TEST(ReleaseModeChoice, TakesTheSmallestOfEachGroupBySignedComparison) {
  const ReleaseModeChoice c = Choose({0x1F0, 0x104, 0x2FF, 0x201, 0x3A0, 0x300, 0x1100});
  EXPECT_EQ(c.oneStep, 0x104);
  EXPECT_EQ(c.halfPress, 0x201);
  EXPECT_EQ(c.fullPress, 0x300);
  // 0x1100 has bits 8-15 = 0x11: no press group, no bit 2.
  EXPECT_EQ(c.extra, kReleaseNone);

  // Bits 8-15 of a negative mode can still name a group; it then wins as the smallest.
  const int32_t negativeOneStep = static_cast<int32_t>(0xFFFF0100u);
  EXPECT_EQ(Choose({0x104, negativeOneStep}).oneStep, negativeOneStep);
}

TEST(ReleaseModeChoice, ExtraModeIsTheLastListedOutsideTheGroupsWithBit2) {
  EXPECT_EQ(Choose({0x104, 0x0C, 0x200, 0x304}).extra, 0x0C);
  EXPECT_EQ(Choose({0x0C, 0x14, 0x08, 0x104}).extra, 0x14);  // 0x08 lacks bit 2
  EXPECT_EQ(Choose({0x104, 0x200, 0x304, 0x400}).extra, kReleaseNone);
  // Modes of the press groups never count as extra, whatever their bit 2.
  EXPECT_EQ(Choose({0x104, 0x204, 0x304}).extra, kReleaseNone);
}

TEST(ReleaseModeChoice, WithoutAOneStepModeTheSentinelRemains) {
  const ReleaseModeChoice c = Choose({0x200, 0x304});
  EXPECT_EQ(c.oneStep, kReleaseNoOneStep);
  EXPECT_EQ(c.halfPress, 0x200);
  EXPECT_EQ(c.fullPress, 0x304);
  EXPECT_EQ(Choose({}).oneStep, kReleaseNoOneStep);
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

int64_t IntArg(const test::TraceCall& call, size_t index) {
  if (index >= call.args.size()) return -999;
  const auto* value = std::get_if<int64_t>(&call.args[index]);
  return value ? *value : -999;
}

// The calls Shoot makes itself, in order, as "fn arg...". The timed release's own capacity,
// shutter-speed and mode-list queries are left out: they belong to the loader.
std::vector<std::string> ShootSequence(const test::SimSession& sim) {
  std::vector<std::string> steps;
  for (const test::TraceCall& call : sim.Trace()) {
    if (call.fn == "ZEPK_GetPriorityMode") {
      steps.push_back("GetPriorityMode");
    } else if (call.fn == "ZEPK_SetPriorityMode") {
      steps.push_back("SetPriorityMode " + std::to_string(IntArg(call, 1)));
    } else if (call.fn == "ZEPK_Release") {
      steps.push_back("Release " + Hex(IntArg(call, 1)));
    } else if (call.fn == "ZEPK_SetProp") {
      std::string step = "SetProp " + Hex(IntArg(call, 1));
      for (size_t i = 2; i < call.args.size(); ++i) step += " " + std::to_string(IntArg(call, i));
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

TEST_F(ShootOnSimCamera, TwoStepCameraGetsHalfPressFullPressAndClosingRelease) {
  Connect();
  EXPECT_EQ(ShootNow(), BRELON_OK);
  EXPECT_EQ(ShootSequence(camera_->Sim()),
            (Steps{"GetPriorityMode", "SetPriorityMode 2", "Release 0x200", "Release 0x304",
                   "Release 0x4"}));
  EXPECT_TRUE(camera_->LogLines("brnShoot").empty());
}

TEST_F(ShootOnSimCamera, ExtraModeInTheListSuppressesTheClosingRelease) {
  Connect({.releaseModes = {0x104, 0x200, 0x304, 0x0C}});
  EXPECT_EQ(ShootNow(), BRELON_OK);
  EXPECT_EQ(ShootSequence(camera_->Sim()),
            (Steps{"GetPriorityMode", "SetPriorityMode 2", "Release 0x200", "Release 0x304"}));
}

TEST_F(ShootOnSimCamera, OneStepCameraGetsASingleRelease) {
  Connect({.releaseModes = {0x104}});
  EXPECT_EQ(ShootNow(), BRELON_OK);
  EXPECT_EQ(ShootSequence(camera_->Sim()),
            (Steps{"GetPriorityMode", "SetPriorityMode 2", "Release 0x104"}));
}

TEST_F(ShootOnSimCamera, CameraWithoutOneStepModeIsRefusedWithoutAnyRelease) {
  Connect({.releaseModes = {0x200, 0x304}});
  EXPECT_EQ(ShootNow(), BRELON_E_SDK_CALL);
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_Release").empty());
  EXPECT_TRUE(camera_->LogLines("brnShoot").empty());  // an unusable list is not logged
}

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

TEST_F(ShootOnSimCamera, FailedModeListQueryIsRefused) {
  Connect();
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_CapRelease", 2, 7)), 0);
  EXPECT_EQ(ShootNow(), BRELON_E_SDK_CALL);
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_Release").empty());
}

TEST_F(ShootOnSimCamera, PriorityModeTwoAtEntryIsLeftAlone) {
  Connect({.priorityMode = 2});
  EXPECT_EQ(ShootNow(), BRELON_OK);
  EXPECT_EQ(ShootSequence(camera_->Sim()),
            (Steps{"GetPriorityMode", "Release 0x200", "Release 0x304", "Release 0x4"}));
}

TEST_F(ShootOnSimCamera, FailedFullPressStillSendsModeFourAndReportsBusy) {
  Connect();
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_Release", 2, ZEPK_ERR_BUSY)), 0);
  EXPECT_EQ(ShootNow(), BRELON_E_BUSY);
  EXPECT_EQ(ShootSequence(camera_->Sim()),
            (Steps{"GetPriorityMode", "SetPriorityMode 2", "Release 0x200", "Release 0x304",
                   "Release 0x4"}));
  EXPECT_EQ(ShootLogLines("|    brnShoot:m_pfnRelease with S2 error lAPICode=[0x00000000] "
                          "lErrCode=[0x00001006]"),
            1u);
}

TEST_F(ShootOnSimCamera, FailedFallbackWithAnotherErrorMakesTheResultMinusFive) {
  Connect();
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_Release", 2, ZEPK_ERR_BUSY)), 0);
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_Release", 3, 7)), 0);
  EXPECT_EQ(ShootNow(), BRELON_E_SDK_CALL);
  EXPECT_EQ(camera_->Sim().Calls("ZEPK_Release").size(), 3u);
  EXPECT_EQ(ShootLogLines("brnShoot:m_pfnRelease with S2 error lAPICode=[0x00000000] "
                          "lErrCode=[0x00001006]"),
            1u);
  EXPECT_EQ(ShootLogLines("brnShoot:m_pfnRelease with S2 error lAPICode=[0x00000000] "
                          "lErrCode=[0x00000007]"),
            1u);
}

TEST_F(ShootOnSimCamera, FailedHalfPressStopsTheSequence) {
  Connect();
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_Release", 1, 7)), 0);
  EXPECT_EQ(ShootNow(), BRELON_E_SDK_CALL);
  EXPECT_EQ(ShootSequence(camera_->Sim()),
            (Steps{"GetPriorityMode", "SetPriorityMode 2", "Release 0x200"}));
  EXPECT_EQ(ShootLogLines("brnShoot:m_pfnRelease with S1ON error lAPICode=[0x00000000] "
                          "lErrCode=[0x00000007]"),
            1u);
}

TEST_F(ShootOnSimCamera, FailedClosingReleaseIsReported) {
  Connect();
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_Release", 3, ZEPK_ERR_BUSY)), 0);
  EXPECT_EQ(ShootNow(), BRELON_E_BUSY);
  EXPECT_EQ(camera_->Sim().Calls("ZEPK_Release").size(), 3u);
  EXPECT_EQ(ShootLogLines("brnShoot:m_pfnRelease with S2 error"), 1u);
}

TEST_F(ShootOnSimCamera, FailedOneStepReleaseIsReported) {
  Connect({.releaseModes = {0x104}});
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_Release", 1, 7)), 0);
  EXPECT_EQ(ShootNow(), BRELON_E_SDK_CALL);
  EXPECT_EQ(ShootLogLines("|    brnShoot:m_pfnRelease error lAPICode=[0x00000000] "
                          "lErrCode=[0x00000007]"),
            1u);
}

TEST_F(ShootOnSimCamera, PriorityModeFailuresEndTheShotBeforeAnyRelease) {
  Connect();
  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_GetPriorityMode", 1, ZEPK_ERR_BUSY)), 0);
  EXPECT_EQ(ShootNow(), BRELON_E_BUSY);
  EXPECT_EQ(ShootLogLines("|    m_pfnGetPriorityMode error lAPICode=[0x00000000] "
                          "lErrCode=[0x00001006]"),
            1u);
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_SetPriorityMode").empty());

  ASSERT_EQ(camera_->Sim().Control(Fault("ZEPK_SetPriorityMode", 1, 7)), 0);
  EXPECT_EQ(ShootNow(), BRELON_E_SDK_CALL);
  EXPECT_EQ(ShootLogLines("|    brnShoot:m_pfnSetPriorityMode error lAPICode=[0x00000000] "
                          "lErrCode=[0x00000007]"),
            1u);
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_CapRelease").empty());
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_Release").empty());
}

TEST_F(ShootOnSimCamera, TimedOutReleaseCountsAsSuccess) {
  // A shutter code outside the table gives the wait no time at all, and the picture is slow.
  Connect({.shutterCode = 245, .captureDelayMs = 60000});
  EXPECT_EQ(ShootNow(), BRELON_OK);
  EXPECT_EQ(ShootSequence(camera_->Sim()),
            (Steps{"GetPriorityMode", "SetPriorityMode 2", "Release 0x200", "Release 0x304",
                   "Release 0x4"}));
}

TEST_F(ShootOnSimCamera, ModelOutsideTheListLeavesMode3301WithoutHostCount) {
  Connect({.model = "K-M1"});
  SetMode3301(0);
  EXPECT_EQ(ShootNow(), BRELON_OK);
  const Steps steps = ShootSequence(camera_->Sim());
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.front(), "SetProp 0x3302 0");
  EXPECT_EQ(std::count(steps.begin(), steps.end(), "SetProp 0x3302 0"), 1);
  for (const std::string& step : steps) EXPECT_EQ(step.find("0x3327"), std::string::npos);
  EXPECT_EQ(camera_->Context()->lRearm3301, 1);
}

TEST_F(ShootOnSimCamera, ListedModelAlsoGetsHostCountUnlessItIsOne) {
  Connect({.model = "K-M3"});
  SetMode3301(0);
  EXPECT_EQ(ShootNow(), BRELON_OK);
  Steps steps = ShootSequence(camera_->Sim());
  ASSERT_GE(steps.size(), 3u);
  EXPECT_EQ(Steps(steps.begin(), steps.begin() + 3),
            (Steps{"SetProp 0x3302 0", "SetProp 0x3327 1 1", "GetPriorityMode"}));
  EXPECT_EQ(camera_->Context()->lRearm3301, 1);

  SetMode3301(1);
  camera_->Sim().ClearTrace();
  EXPECT_EQ(ShootNow(), BRELON_OK);
  steps = ShootSequence(camera_->Sim());
  ASSERT_GE(steps.size(), 2u);
  EXPECT_EQ(Steps(steps.begin(), steps.begin() + 2),
            (Steps{"SetProp 0x3302 0", "GetPriorityMode"}));
}

TEST_F(ShootOnSimCamera, WithoutMode3301NoPropertyIsSent) {
  Connect();
  EXPECT_EQ(ShootNow(), BRELON_OK);
  EXPECT_TRUE(camera_->Sim().Calls("ZEPK_SetProp").empty());
  EXPECT_EQ(camera_->Context()->lRearm3301, 0);
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
