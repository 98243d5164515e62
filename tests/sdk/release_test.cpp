// The loader's timed release against scripted SDK entries: its answer, the calls it makes and
// their order, the time-out and release stamp it leaves, and event 107. The loader has no
// library and the test fills its entry table, so every answer of the SDK is under control.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing.h"
#include "sdk/loader.h"

namespace brelon {
namespace {

constexpr int32_t kCamera = 77;
constexpr int32_t kCodeHour = 64000180;  // 60'00": a time-out no slow machine reaches
constexpr int64_t kMargin = 15000000;    // the release's margin beyond the exposure, in us

// What the scripted SDK answers, and the calls it saw.
struct Script {
  int failCapacityFrom = 0;  // 1-based buffer read from which the reads fail; 0 never
  int32_t capacityResult = ZEPK_OK;
  std::vector<int32_t> counts = {};  // buffer counts in call order; the last one repeats
  int32_t shutterResult = ZEPK_OK, shutterCode = 976, bulb = 0;  // 976: 1/1000 s
  int32_t releaseResult = ZEPK_OK, capReleaseResult = ZEPK_OK, capReleaseCount = 2;
  std::vector<int32_t> modes = {0x104, 0x304};
  std::string calls = {};
  int capacityCalls = 0;
} g_script;

int32_t BRELON_CDECL FakeCapacity(int32_t, int32_t* count, int32_t* other) {
  g_script.calls += " cap";
  const size_t call = ++g_script.capacityCalls;
  if (g_script.failCapacityFrom && call >= size_t(g_script.failCapacityFrom))
    return g_script.capacityResult;
  *count =
      g_script.counts.empty() ? 0 : g_script.counts[std::min(call, g_script.counts.size()) - 1];
  *other = 999;  // never looked at
  return ZEPK_OK;
}
int32_t BRELON_CDECL FakeShutter(int32_t, int32_t* code, int32_t* bulb) {
  g_script.calls += " shutter";
  if (g_script.shutterResult != ZEPK_OK) return g_script.shutterResult;
  *code = g_script.shutterCode;
  *bulb = g_script.bulb;
  return ZEPK_OK;
}
int32_t BRELON_CDECL FakeRelease(int32_t, int32_t mode, ZepkArg a3, ZepkArg a4) {
  EXPECT_EQ(a3 * 100 + a4, 1122) << "passed on unchanged";
  g_script.calls += " rel" + std::to_string(mode);
  return g_script.releaseResult;
}
int32_t BRELON_CDECL FakeCapRelease(int32_t, int32_t* count, int32_t* modes) {
  g_script.calls += modes ? " list" : " count";
  if (g_script.capReleaseResult != ZEPK_OK) return g_script.capReleaseResult;
  *count = g_script.capReleaseCount;
  for (size_t i = 0; modes && i < g_script.modes.size(); ++i) modes[i] = g_script.modes[i];
  return ZEPK_OK;
}
// Event 107 as the host sees it, on the camera released; the callback's data counts them.
int32_t BRELON_CDECL CountEvent(int32_t camera, int32_t event, void* data) {
  *static_cast<int*>(data) += camera == kCamera && event == BRELON_EV_RELEASE_MODE_0F;
  return 0;
}

class TimedRelease : public testing::Test {
 protected:
  void SetUp() override { plat::SetTimeScale(2000); }  // 30 s of time-out pass in 15 ms
  void TearDown() override {
    sdk_.reset();
    plat::SetTimeScale(1);
  }
  // A fresh loader without a library, its table filled with the scripted entries.
  void Load(const Script& script) {
    sdk_.reset();
    g_script = script;
    events_ = 0;
    sdk_ = std::make_unique<CTavelSDK>(&CountEvent, &events_, u"/nonexistent/folder/no-sdk");
    ASSERT_EQ(CTavelSDK::Current(), sdk_.get());
    sdk_->m_pfnGetBufferCapacity = &FakeCapacity;
    sdk_->m_pfnGetShutterSpeed = &FakeShutter;
    sdk_->m_pfnRawRelease = &FakeRelease;
    sdk_->m_pfnCapRelease = &FakeCapRelease;
  }
  int32_t Release(int32_t mode) { return CTavelSDK::ReleaseAndWait(kCamera, mode, 11, 22); }

  int events_ = 0;
  std::unique_ptr<CTavelSDK> sdk_;
};

TEST_F(TimedRelease, AnswerCallsTimeoutStampAndEventFollowTheSdkAnswers) {
  std::vector<int32_t> longList(512, 0x104);
  longList.back() = 0x0F;
  const struct {
    Script script;
    int32_t mode;
    std::string want;  // result: calls | time-out, stamped, events 107
  } kCases[] = {
      // clang-format off
      // A changed count ends the wait, a decrease too, an unlisted code after one sleep.
      {{.counts = {4, 5}}, 0x304, "0: cap shutter rel772 count list cap | 30002000 s0"},
      {{.counts = {9, 9, 9, 8}, .shutterCode = kCodeHour}, 0x104,
       "0: cap shutter rel260 count list cap cap cap | 7230000000 s0"},
      {{.counts = {3}, .shutterCode = 245}, 0x0C, "8194: cap shutter rel12 count list cap | 0 s0"},
      // A bulb entry without the bulb flag takes the table's time.
      {{.counts = {1, 2}, .shutterCode = -1}, 0x304,
       "0: cap shutter rel772 count list cap | 29999998 s0"},
      {{.failCapacityFrom = 4, .capacityResult = -7, .counts = {3}, .shutterCode = kCodeHour},
       0x304, "-7: cap shutter rel772 count list cap cap cap | 7230000000 s0"},
      // 0x0C releases after a failed read and answers the read's code; the presses do not.
      {{.failCapacityFrom = 1, .capacityResult = -1}, 0x0C, "-1: cap rel12 | 0 -0"},
      {{.shutterResult = -9, .releaseResult = -4}, 0x0C, "-9: cap shutter rel12 | 0 -0"},
      {{.failCapacityFrom = 1, .capacityResult = -1}, 0x104, "-1: cap | 0 -0"},
      {{.shutterResult = -2}, 0x304, "-2: cap shutter | 0 -0"},
      {{.releaseResult = 0x1234, .modes = {0x0F}}, 0x304, "4660: cap shutter rel772 | 30002000 -0"},
      // Other modes pass straight through; 0x500 stamps even when refused.
      {{.releaseResult = 0x55}, 0x04, "85: rel4 | 0 -0"},
      {{.releaseResult = ZEPK_FAILED}, 0x500, "-1: rel1280 | 0 s0"},
      // Event 107 when the camera lists mode 0x0F within the count it reported, and only a
      // list that fits the 512-entry buffer is asked for.
      {{.counts = {1, 2}, .capReleaseCount = 3, .modes = {0x104, 0x0F, 0x304}}, 0x304,
       "0: cap shutter rel772 count list cap | 30002000 s1"},
      {{.counts = {1, 2}, .modes = {0x104, 0x304, 0x0F}}, 0x304,
       "0: cap shutter rel772 count list cap | 30002000 s0"},
      {{.counts = {1, 2}, .capReleaseCount = 512, .modes = longList}, 0x304,
       "0: cap shutter rel772 count list cap | 30002000 s1"},
      {{.counts = {1, 2}, .capReleaseCount = 513, .modes = longList}, 0x304,
       "0: cap shutter rel772 count cap | 30002000 s0"},
      {{.counts = {1, 2}, .capReleaseCount = 0}, 0x304, "0: cap shutter rel772 count cap | 30002000 s0"},
      {{.counts = {1, 2}, .capReleaseCount = -3}, 0x304, "0: cap shutter rel772 count cap | 30002000 s0"},
      {{.counts = {1, 2}, .capReleaseResult = ZEPK_FAILED}, 0x304,
       "0: cap shutter rel772 count cap | 30002000 s0"},
      // clang-format on
  };
  for (const auto& c : kCases) {
    Load(c.script);
    const int64_t before = plat::NowTicks();
    const int32_t result = Release(c.mode);
    EXPECT_LE(sdk_->ReleaseStampTicks(), plat::NowTicks());
    EXPECT_EQ(std::to_string(result) + ":" + g_script.calls + " | " +
                  std::to_string(sdk_->ReleaseTimeoutMicros()) +
                  (sdk_->ReleaseStampTicks() >= before ? " s" : " -") + std::to_string(events_),
              c.want);
  }
}

TEST_F(TimedRelease, BulbAnd0FWaitForTheTimeSinceTheLastStampAndKeepIt) {
  Load({.counts = {1, 2}});
  EXPECT_EQ(Release(0x500), ZEPK_OK);  // opens the bulb exposure and stamps it
  const int64_t stamp = sdk_->ReleaseStampTicks();
  ASSERT_NE(stamp, 0);
  g_script.bulb = 1;
  g_script.shutterCode = -1;
  for (int32_t mode : {0x304, 0x0F}) {
    plat::SleepMs(1000);  // a (scaled) second of exposure
    g_script.capacityCalls = 0;
    const int64_t before = plat::NowTicks();
    EXPECT_EQ(Release(mode), ZEPK_OK);
    const int64_t after = plat::NowTicks();
    EXPECT_EQ(sdk_->ReleaseStampTicks(), stamp);
    EXPECT_GE(sdk_->ReleaseTimeoutMicros(), 2 * ((before - stamp) / 10 + kMargin)) << mode;
    EXPECT_LE(sdk_->ReleaseTimeoutMicros(), 2 * ((after - stamp) / 10 + kMargin)) << mode;
  }
  const int64_t timeout = sdk_->ReleaseTimeoutMicros();
  g_script.releaseResult = ZEPK_FAILED;
  EXPECT_EQ(Release(0x0F), ZEPK_FAILED);
  EXPECT_EQ(sdk_->ReleaseTimeoutMicros(), timeout) << "a refused 0x0F leaves the time-out";
}

TEST(ReleaseWithoutLoader, AnswersFailureInsteadOfCallingThroughNothing) {
  ASSERT_EQ(CTavelSDK::Current(), nullptr);
  EXPECT_EQ(CTavelSDK::ReleaseAndWait(1, 0x304, 0, 0), ZEPK_FAILED);
}

}  // namespace
}  // namespace brelon
