// The loader's timed release against scripted SDK entries: the calls it makes and their order,
// its answer, the release stamp and time-out, and event 107. The loader has no library and the
// test fills its entry table, so every answer of the SDK is under control.
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
constexpr int32_t kCodeUnlisted = 245;   // no table entry: time-out 0
constexpr int32_t kCodeHour = 64000180;  // 60'00": a time-out no slow machine reaches
constexpr int64_t kMargin = 15000000;    // the release's margin beyond the exposure, in us

using Calls = std::vector<std::string>;

// What the scripted SDK answers, and what it was asked.
struct Script {
  int failCapacityFromCall = 0;  // 1-based call from which the buffer read fails; 0 never
  int32_t capacityResult = ZEPK_OK;
  std::vector<int32_t> counts = {};  // buffer counts in call order; the last one repeats
  int32_t shutterResult = ZEPK_OK, shutterCode = 976, bulb = 0;  // 976: 1/1000 s
  int32_t releaseResult = ZEPK_OK, capReleaseResult = ZEPK_OK, capReleaseCount = 2;
  std::vector<int32_t> modes = {0x104, 0x304};
  Calls calls = {};
  int capacityCalls = 0;
  bool listQueried = false;
} g_script;

int32_t BRELON_CDECL FakeCapacity(int32_t camera, int32_t* count, int32_t* other) {
  EXPECT_EQ(camera, kCamera);
  g_script.calls.push_back("GetBufferCapacity");
  const int call = ++g_script.capacityCalls;
  if (g_script.failCapacityFromCall && call >= g_script.failCapacityFromCall)
    return g_script.capacityResult;
  const auto& counts = g_script.counts;
  *count = counts.empty() ? 0 : counts[std::min<size_t>(call - 1, counts.size() - 1)];
  *other = 999;  // never looked at
  return ZEPK_OK;
}

int32_t BRELON_CDECL FakeShutter(int32_t, int32_t* code, int32_t* bulb) {
  g_script.calls.push_back("GetShutterSpeed");
  if (g_script.shutterResult != ZEPK_OK) return g_script.shutterResult;
  *code = g_script.shutterCode;
  *bulb = g_script.bulb;
  return ZEPK_OK;
}

int32_t BRELON_CDECL FakeRelease(int32_t, int32_t mode, ZepkArg a3, ZepkArg a4) {
  g_script.calls.push_back("Release " + std::to_string(mode) + " " + std::to_string(a3) + " " +
                           std::to_string(a4));
  return g_script.releaseResult;
}

int32_t BRELON_CDECL FakeCapRelease(int32_t, int32_t* count, int32_t* modes) {
  g_script.calls.push_back(modes ? "CapRelease list" : "CapRelease count");
  if (g_script.capReleaseResult != ZEPK_OK) return g_script.capReleaseResult;
  *count = g_script.capReleaseCount;
  g_script.listQueried |= modes != nullptr;
  for (size_t i = 0; modes && i < g_script.modes.size(); ++i) modes[i] = g_script.modes[i];
  return ZEPK_OK;
}

// Event 107 as the host sees it: the callback's data is the vector of events.
int32_t BRELON_CDECL RecordEvent(int32_t camera, int32_t event, void* data) {
  EXPECT_EQ(camera, kCamera);
  static_cast<std::vector<int32_t>*>(data)->push_back(event);
  return 0;
}

class TimedRelease : public testing::Test {
 protected:
  void SetUp() override {
    plat::SetTimeScale(2000);  // 30 s of release time-out pass in 15 ms
    Load({});
  }
  void TearDown() override {
    sdk_.reset();
    plat::SetTimeScale(1);
  }
  // A fresh loader without a library, its table filled with the scripted entries.
  void Load(const Script& script) {
    sdk_.reset();
    g_script = script;
    events_.clear();
    sdk_ = std::make_unique<CTavelSDK>(&RecordEvent, &events_, u"/nonexistent/folder/no-sdk");
    ASSERT_EQ(sdk_->LoadStatus(), kLoadNoLibrary);
    ASSERT_EQ(CTavelSDK::Current(), sdk_.get());
    sdk_->m_pfnGetBufferCapacity = &FakeCapacity;
    sdk_->m_pfnGetShutterSpeed = &FakeShutter;
    sdk_->m_pfnRawRelease = &FakeRelease;
    sdk_->m_pfnCapRelease = &FakeCapRelease;
    sdk_->m_pfnRelease = &CTavelSDK::ReleaseAndWait;
  }
  int32_t Release(int32_t mode) { return sdk_->m_pfnRelease(kCamera, mode, 11, 22); }

  std::vector<int32_t> events_;
  std::unique_ptr<CTavelSDK> sdk_;
};

TEST_F(TimedRelease, AnswerCallsTimeoutStampAndEventFollowTheSdkAnswers) {
  const Calls kAtOnce = {"GetBufferCapacity", "GetShutterSpeed", "Release 772 11 22",
                         "CapRelease count",  "CapRelease list", "GetBufferCapacity"};
  const struct {
    const char* name;
    Script script;
    int32_t mode, result;
    Calls calls;            // empty: not compared
    int capacityCalls = 0;  // 0: not compared
    int64_t timeout = -1;   // -1: not compared
    int stamped = -1;       // 1: stamped by this release, 0: never stamped, -1: not compared
    int events = 0;
  } cases[] = {
      {"a count changed before the first sleep answers at once",
       {.counts = {4, 5}},
       0x304,
       ZEPK_OK,
       kAtOnce,
       2,
       2 * (1000 + kMargin)},
      {"a count decrease also ends the wait",
       {.counts = {9, 9, 9, 8}, .shutterCode = kCodeHour},
       0x104,
       ZEPK_OK,
       {},
       4},
      {"an unlisted shutter code times out after one sleep",
       {.counts = {3}, .shutterCode = kCodeUnlisted},
       0x0C,
       BRELON_RELEASE_TIMEOUT,
       {},
       2,
       0},
      {"a bulb entry without the bulb flag takes the table's time",
       {.counts = {1, 2}, .shutterCode = -1},
       0x304,
       ZEPK_OK,
       {},
       2,
       29999998},
      {"a buffer read failing during the wait is returned",
       {.failCapacityFromCall = 4, .capacityResult = -7, .counts = {3}, .shutterCode = kCodeHour},
       0x304,
       -7,
       {},
       4},
      {"0x500 stamps even when refused",
       {.releaseResult = ZEPK_FAILED},
       0x500,
       ZEPK_FAILED,
       {"Release 1280 11 22"}},
      {"0x0C releases after a failed buffer read and answers its code",
       {.failCapacityFromCall = 1, .capacityResult = -1},
       0x0C,
       -1,
       {"GetBufferCapacity", "Release 12 11 22"}},
      {"0x0C releases after a failed shutter read and answers its code",
       {.shutterResult = -9, .releaseResult = -4},
       0x0C,
       -9,
       {"GetBufferCapacity", "GetShutterSpeed", "Release 12 11 22"}},
      {"a half press does not release after a failed buffer read",
       {.failCapacityFromCall = 1, .capacityResult = -1},
       0x104,
       -1,
       {"GetBufferCapacity"}},
      {"a full press does not release after a failed shutter read",
       {.shutterResult = -2},
       0x304,
       -2,
       {"GetBufferCapacity", "GetShutterSpeed"}},
      {"a refused release is returned without waiting or event",
       {.counts = {1}, .releaseResult = 0x1234, .capReleaseCount = 1, .modes = {0x0F}},
       0x304,
       0x1234,
       {},
       1},
      {"other modes pass straight through",
       {.releaseResult = 0x55},
       0x04,
       0x55,
       {"Release 4 11 22"},
       0,
       0,
       false},
      {"event 107 when the camera lists mode 0x0F",
       {.counts = {1, 2}, .capReleaseCount = 3, .modes = {0x104, 0x0F, 0x304}},
       0x304,
       ZEPK_OK,
       {},
       2,
       -1,
       true,
       1},
      {"no event for a 0x0F beyond the reported count",
       {.counts = {1, 2}, .modes = {0x104, 0x304, 0x0F}},
       0x304,
       ZEPK_OK,
       {},
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Load(c.script);
    const int64_t before = plat::NowTicks();
    EXPECT_EQ(Release(c.mode), c.result);
    const int64_t stamp = sdk_->ReleaseStampTicks(), timeout = sdk_->ReleaseTimeoutMicros();
    EXPECT_EQ(g_script.calls, c.calls.empty() ? g_script.calls : c.calls);
    EXPECT_EQ(g_script.capacityCalls, c.capacityCalls ? c.capacityCalls : g_script.capacityCalls);
    EXPECT_EQ(timeout, c.timeout < 0 ? timeout : c.timeout);
    EXPECT_TRUE(c.stamped < 0 || (stamp >= before) == (c.stamped == 1)) << stamp;
    EXPECT_LE(stamp, plat::NowTicks());
    EXPECT_EQ(events_, std::vector<int32_t>(c.events, BRELON_EV_RELEASE_MODE_0F));
  }
}

TEST_F(TimedRelease, UnchangedCountTimesOutOnlyAfterTheWholeTimeout) {
  plat::SetTimeScale(200);
  g_script.counts = {3};
  const int64_t start = plat::NowTicks();
  EXPECT_EQ(Release(0x304), BRELON_RELEASE_TIMEOUT);
  EXPECT_GE((plat::NowTicks() - start) / 10, 2 * (1000 + kMargin));
  // One read before and one after the release, then one per 78 ms sleep: at most 385 sleeps
  // fit in the 30,002,000 us, and it kept polling rather than sleeping once.
  EXPECT_LE(g_script.capacityCalls, 2 + 385);
  EXPECT_GE(g_script.capacityCalls, 2 + 2);
}

TEST_F(TimedRelease, BulbAnd0FWaitForTheTimeSinceTheLastStampAndKeepIt) {
  g_script.counts = {1, 2};
  EXPECT_EQ(Release(0x500), ZEPK_OK);  // opens the bulb exposure and stamps it
  const int64_t stamp = sdk_->ReleaseStampTicks();
  ASSERT_NE(stamp, 0);
  auto expectTimeoutFromStamp = [&](int32_t mode) {
    SCOPED_TRACE(mode);
    plat::SleepMs(1000);  // a (scaled) second of exposure
    g_script.capacityCalls = 0;
    const int64_t before = plat::NowTicks();
    EXPECT_EQ(Release(mode), ZEPK_OK);
    const int64_t after = plat::NowTicks();
    EXPECT_EQ(sdk_->ReleaseStampTicks(), stamp);
    EXPECT_GE(sdk_->ReleaseTimeoutMicros(), 2 * ((before - stamp) / 10 + kMargin));
    EXPECT_LE(sdk_->ReleaseTimeoutMicros(), 2 * ((after - stamp) / 10 + kMargin));
  };
  g_script.bulb = 1;
  g_script.shutterCode = -1;
  expectTimeoutFromStamp(0x304);
  expectTimeoutFromStamp(0x0F);
  const int64_t timeout = sdk_->ReleaseTimeoutMicros();
  g_script.releaseResult = ZEPK_FAILED;
  EXPECT_EQ(Release(0x0F), ZEPK_FAILED);
  EXPECT_EQ(sdk_->ReleaseTimeoutMicros(), timeout) << "a refused 0x0F leaves the time-out";
}

TEST_F(TimedRelease, ModeListIsReadOnlyWhenItFitsTheBufferAndItsQueryWorks) {
  const struct {
    int32_t result, count;
    bool listed, queried;
  } cases[] = {{ZEPK_OK, 513, false, false},
               {ZEPK_OK, 512, true, true},
               {ZEPK_OK, 0, false, false},
               {ZEPK_OK, -3, false, false},
               {ZEPK_FAILED, 512, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    Load({.capReleaseResult = c.result, .capReleaseCount = c.count, .modes = {}});
    g_script.modes.assign(512, 0x104);
    g_script.modes.back() = 0x0F;
    EXPECT_EQ(sdk_->ListsReleaseMode0F(kCamera), c.listed);
    EXPECT_EQ(g_script.listQueried, c.queried);
  }
}

TEST(ReleaseTimeout, IsTwiceExposurePlusFifteenSeconds) {
  EXPECT_EQ(CTavelSDK::ReleaseTimeoutFor(976), 30002000);
  EXPECT_EQ(CTavelSDK::ReleaseTimeoutFor(-1), 29999998);
  EXPECT_EQ(CTavelSDK::ReleaseTimeoutFor(kCodeHour), 2 * (3600000000LL + kMargin));
  EXPECT_EQ(CTavelSDK::ReleaseTimeoutFor(1587401), 2 * (1500000 + kMargin));
  EXPECT_EQ(CTavelSDK::ReleaseTimeoutFor(0), 0);
  EXPECT_EQ(CTavelSDK::ReleaseTimeoutFor(kCodeUnlisted), 0);
}

TEST(ReleaseWithoutLoader, AnswersFailureInsteadOfCallingThroughNothing) {
  ASSERT_EQ(CTavelSDK::Current(), nullptr);
  EXPECT_EQ(CTavelSDK::ReleaseAndWait(1, 0x304, 0, 0), ZEPK_FAILED);
}

}  // namespace
}  // namespace brelon
