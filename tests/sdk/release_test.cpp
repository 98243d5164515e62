// The loader's timed release against scripted SDK entries: which calls it makes in which order,
// what it answers, how it sets the release stamp and time-out, and when it raises event 107.
// A loader without a library is given fake entries, so every answer of the SDK is under control.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "sdk/loader.h"

namespace brelon {
namespace {

constexpr uint32_t kFastTime = 2000;  // 30 s of release time-out pass in 15 ms
constexpr int32_t kCamera = 77;
constexpr int32_t kCode1000th = 976;     // 1/1000 s in the shutter table
constexpr int32_t kCodeBulb = -1;        // "BULB": exposure time -1
constexpr int32_t kCodeUnlisted = 245;   // no table entry: time-out 0
constexpr int32_t kCodeHour = 64000180;  // 60'00": a time-out no slow machine reaches
constexpr int64_t kMargin = 15000000;    // the release's margin beyond the exposure

// What the scripted SDK answers, and what it was asked.
struct Script {
  int32_t capacityResult = ZEPK_OK;
  int failCapacityFromCall = 0;  // 1-based call that starts failing; 0 never
  std::vector<int32_t> counts;   // buffer counts in call order; the last one repeats
  int32_t shutterResult = ZEPK_OK;
  int32_t shutterCode = kCode1000th;
  int32_t bulb = 0;
  int32_t releaseResult = ZEPK_OK;
  int32_t capReleaseResult = ZEPK_OK;
  int32_t capReleaseCount = 2;
  std::vector<int32_t> modes = {0x104, 0x304};

  std::vector<std::string> calls;
  int capacityCalls = 0;
  std::vector<ZepkArg> releaseArgs;
  bool listQueried = false;
} g_script;

int32_t BRELON_CDECL FakeCapacity(int32_t camera, int32_t* count, int32_t* other) {
  EXPECT_EQ(camera, kCamera);
  g_script.calls.push_back("GetBufferCapacity");
  int call = ++g_script.capacityCalls;
  if (g_script.failCapacityFromCall && call >= g_script.failCapacityFromCall) {
    return g_script.capacityResult;
  }
  const auto& counts = g_script.counts;
  *count = counts.empty() ? 0 : counts[std::min<size_t>(call - 1, counts.size() - 1)];
  *other = 999;  // never looked at
  return ZEPK_OK;
}

int32_t BRELON_CDECL FakeShutter(int32_t camera, int32_t* code, int32_t* bulb) {
  g_script.calls.push_back("GetShutterSpeed");
  if (g_script.shutterResult != ZEPK_OK) return g_script.shutterResult;
  *code = g_script.shutterCode;
  *bulb = g_script.bulb;
  return ZEPK_OK;
}

int32_t BRELON_CDECL FakeRelease(int32_t camera, int32_t mode, ZepkArg a3, ZepkArg a4) {
  g_script.calls.push_back("Release " + std::to_string(mode));
  g_script.releaseArgs = {a3, a4};
  return g_script.releaseResult;
}

int32_t BRELON_CDECL FakeCapRelease(int32_t camera, int32_t* count, int32_t* modes) {
  g_script.calls.push_back(modes ? "CapRelease list" : "CapRelease count");
  if (g_script.capReleaseResult != ZEPK_OK) return g_script.capReleaseResult;
  *count = g_script.capReleaseCount;
  if (modes) {
    g_script.listQueried = true;
    for (size_t i = 0; i < g_script.modes.size(); ++i) modes[i] = g_script.modes[i];
  }
  return ZEPK_OK;
}

struct Event107 {
  int calls = 0;
  int32_t camera = 0;
  int32_t event = 0;
  void* data = nullptr;
};
int32_t BRELON_CDECL RecordEvent(int32_t camera, int32_t event, void* data) {
  auto* seen = static_cast<Event107*>(data);
  ++seen->calls;
  seen->camera = camera;
  seen->event = event;
  seen->data = data;
  return 0;
}

class TimedRelease : public testing::Test {
 protected:
  void SetUp() override {
    g_script = Script{};
    plat::SetTimeScale(kFastTime);
    // No library: the loader stays in place as the current one, and the test fills its table.
    sdk_ = std::make_unique<CTavelSDK>(&RecordEvent, &event_, u"/nonexistent/folder/no-sdk");
    ASSERT_EQ(sdk_->LoadStatus(), kLoadNoLibrary);
    ASSERT_EQ(CTavelSDK::Current(), sdk_.get());
    sdk_->m_pfnGetBufferCapacity = &FakeCapacity;
    sdk_->m_pfnGetShutterSpeed = &FakeShutter;
    sdk_->m_pfnRawRelease = &FakeRelease;
    sdk_->m_pfnCapRelease = &FakeCapRelease;
    sdk_->m_pfnRelease = &CTavelSDK::ReleaseAndWait;
  }
  void TearDown() override {
    sdk_.reset();
    plat::SetTimeScale(1);
  }
  int32_t Release(int32_t mode) { return sdk_->m_pfnRelease(kCamera, mode, 11, 22); }

  Event107 event_;
  std::unique_ptr<CTavelSDK> sdk_;
};

using Calls = std::vector<std::string>;

TEST_F(TimedRelease, CountChangedBeforeFirstSleepAnswersAtOnce) {
  g_script.counts = {4, 5};
  const int64_t before = plat::NowTicks();
  EXPECT_EQ(Release(0x304), ZEPK_OK);
  EXPECT_EQ(g_script.calls, (Calls{"GetBufferCapacity", "GetShutterSpeed", "Release 772",
                                   "CapRelease count", "CapRelease list", "GetBufferCapacity"}));
  EXPECT_EQ(g_script.releaseArgs, (std::vector<ZepkArg>{11, 22}));
  EXPECT_EQ(sdk_->ReleaseTimeoutMicros(), 2 * (1000 + kMargin));  // 30,002,000
  EXPECT_GE(sdk_->ReleaseStampTicks(), before);
  EXPECT_LE(sdk_->ReleaseStampTicks(), plat::NowTicks());
}

TEST_F(TimedRelease, CountDecreaseAlsoEndsTheWait) {
  g_script.counts = {9, 9, 9, 8};
  g_script.shutterCode = kCodeHour;
  EXPECT_EQ(Release(0x104), ZEPK_OK);
  EXPECT_EQ(g_script.capacityCalls, 4);
}

TEST_F(TimedRelease, UnlistedShutterCodeTimesOutAfterOneSleep) {
  g_script.counts = {3};
  g_script.shutterCode = kCodeUnlisted;
  EXPECT_EQ(Release(0x0C), BRELON_RELEASE_TIMEOUT);
  EXPECT_EQ(sdk_->ReleaseTimeoutMicros(), 0);
  EXPECT_EQ(g_script.capacityCalls, 2);  // before, after the release; then one sleep
}

TEST_F(TimedRelease, UnchangedCountTimesOutOnlyAfterTheWholeTimeout) {
  plat::SetTimeScale(200);
  g_script.counts = {3};
  const int64_t start = plat::NowTicks();
  EXPECT_EQ(Release(0x304), BRELON_RELEASE_TIMEOUT);
  const int64_t waitedMicros = (plat::NowTicks() - start) / 10;
  EXPECT_GE(waitedMicros, 2 * (1000 + kMargin));
  // One read before, one after the release, then one per 78 ms sleep: at most 385 sleeps fit
  // in 30,002,000 us before the time-out is seen.
  EXPECT_LE(g_script.capacityCalls, 2 + 385);
  EXPECT_GE(g_script.capacityCalls, 2 + 2);  // kept polling, rather than one sleep and out
}

TEST_F(TimedRelease, FailingCapacityDuringTheWaitIsReturned) {
  g_script.counts = {3};
  g_script.shutterCode = kCodeHour;
  g_script.failCapacityFromCall = 4;
  g_script.capacityResult = -7;
  EXPECT_EQ(Release(0x304), -7);
  EXPECT_EQ(g_script.capacityCalls, 4);
}

TEST_F(TimedRelease, BulbWaitsForTheTimeSinceTheLastStampAndKeepsIt) {
  // Mode 0x500 opens the bulb exposure and stamps it.
  g_script.counts = {1, 2};
  EXPECT_EQ(Release(0x500), ZEPK_OK);
  const int64_t stamp = sdk_->ReleaseStampTicks();
  ASSERT_NE(stamp, 0);
  plat::SleepMs(2000);  // two (scaled) seconds of exposure
  g_script.bulb = 1;
  g_script.shutterCode = kCodeBulb;
  const int64_t before = plat::NowTicks();
  EXPECT_EQ(Release(0x304), ZEPK_OK);
  const int64_t after = plat::NowTicks();
  EXPECT_EQ(sdk_->ReleaseStampTicks(), stamp);
  EXPECT_GE(sdk_->ReleaseTimeoutMicros(), 2 * ((before - stamp) / 10 + kMargin));
  EXPECT_LE(sdk_->ReleaseTimeoutMicros(), 2 * ((after - stamp) / 10 + kMargin));
}

TEST_F(TimedRelease, BulbEntryWithoutBulbFlagUsesTheTableTime) {
  g_script.counts = {1, 2};
  g_script.shutterCode = kCodeBulb;
  EXPECT_EQ(Release(0x304), ZEPK_OK);
  EXPECT_EQ(sdk_->ReleaseTimeoutMicros(), 29999998);
  EXPECT_NE(sdk_->ReleaseStampTicks(), 0);
}

TEST_F(TimedRelease, Mode500StampsEvenWhenTheReleaseFails) {
  g_script.releaseResult = ZEPK_FAILED;
  const int64_t before = plat::NowTicks();
  EXPECT_EQ(Release(0x500), ZEPK_FAILED);
  EXPECT_GE(sdk_->ReleaseStampTicks(), before);
  EXPECT_EQ(g_script.calls, (Calls{"Release 1280"}));
}

TEST_F(TimedRelease, Mode0CWithFailingCapacityStillReleasesAndReturnsTheCapacityCode) {
  g_script.failCapacityFromCall = 1;
  g_script.capacityResult = -1;
  EXPECT_EQ(Release(0x0C), -1);
  EXPECT_EQ(g_script.calls, (Calls{"GetBufferCapacity", "Release 12"}));
}

TEST_F(TimedRelease, Mode0CWithFailingShutterReadStillReleasesAndReturnsTheReadCode) {
  g_script.shutterResult = -9;
  g_script.releaseResult = -4;  // ignored
  EXPECT_EQ(Release(0x0C), -9);
  EXPECT_EQ(g_script.calls, (Calls{"GetBufferCapacity", "GetShutterSpeed", "Release 12"}));
}

TEST_F(TimedRelease, HalfAndFullPressDoNotReleaseAfterAFailedRead) {
  g_script.failCapacityFromCall = 1;
  g_script.capacityResult = -1;
  EXPECT_EQ(Release(0x104), -1);
  g_script.failCapacityFromCall = 0;
  g_script.shutterResult = -2;
  EXPECT_EQ(Release(0x304), -2);
  for (const std::string& call : g_script.calls)
    EXPECT_EQ(call.rfind("Release", 0), std::string::npos);
}

TEST_F(TimedRelease, RefusedReleaseIsReturnedWithoutWaitingOrEvent) {
  g_script.counts = {1};
  g_script.releaseResult = 0x1234;
  g_script.modes = {0x0F};
  g_script.capReleaseCount = 1;
  EXPECT_EQ(Release(0x304), 0x1234);
  EXPECT_EQ(g_script.capacityCalls, 1);
  EXPECT_EQ(event_.calls, 0);
}

TEST_F(TimedRelease, Event107WhenTheCameraListsMode0F) {
  g_script.counts = {1, 2};
  g_script.modes = {0x104, 0x0F, 0x304};
  g_script.capReleaseCount = 3;
  EXPECT_EQ(Release(0x304), ZEPK_OK);
  EXPECT_EQ(event_.calls, 1);
  EXPECT_EQ(event_.camera, kCamera);
  EXPECT_EQ(event_.event, BRELON_EV_RELEASE_MODE_0F);
  EXPECT_EQ(event_.data, &event_);
}

TEST_F(TimedRelease, NoEvent107WhenMode0FIsAbsentOrBeyondTheReportedCount) {
  g_script.counts = {1, 2};
  EXPECT_EQ(Release(0x304), ZEPK_OK);
  g_script.modes = {0x104, 0x304, 0x0F};  // the third is not within the count of 2
  g_script.counts = {1, 2};
  g_script.capacityCalls = 0;
  EXPECT_EQ(Release(0x304), ZEPK_OK);
  EXPECT_EQ(event_.calls, 0);
}

TEST_F(TimedRelease, Mode0FLengthensTheTimeoutFromTheLastStamp) {
  g_script.counts = {1, 2};
  EXPECT_EQ(Release(0x304), ZEPK_OK);  // stamps
  const int64_t stamp = sdk_->ReleaseStampTicks();
  plat::SleepMs(1000);
  const int64_t before = plat::NowTicks();
  EXPECT_EQ(Release(0x0F), ZEPK_OK);
  const int64_t after = plat::NowTicks();
  EXPECT_GE(sdk_->ReleaseTimeoutMicros(), 2 * ((before - stamp) / 10 + kMargin));
  EXPECT_LE(sdk_->ReleaseTimeoutMicros(), 2 * ((after - stamp) / 10 + kMargin));
  // A refused 0x0F leaves the time-out as it was.
  const int64_t timeout = sdk_->ReleaseTimeoutMicros();
  g_script.releaseResult = ZEPK_FAILED;
  EXPECT_EQ(Release(0x0F), ZEPK_FAILED);
  EXPECT_EQ(sdk_->ReleaseTimeoutMicros(), timeout);
}

TEST_F(TimedRelease, OtherModesPassStraightThrough) {
  g_script.releaseResult = 0x55;
  EXPECT_EQ(Release(0x04), 0x55);
  EXPECT_EQ(g_script.calls, (Calls{"Release 4"}));
  EXPECT_EQ(g_script.releaseArgs, (std::vector<ZepkArg>{11, 22}));
  EXPECT_EQ(sdk_->ReleaseStampTicks(), 0);
  EXPECT_EQ(sdk_->ReleaseTimeoutMicros(), 0);
}

TEST_F(TimedRelease, ModeListLongerThanTheBufferIsRefusedWithoutReadingIt) {
  g_script.capReleaseCount = 513;
  EXPECT_FALSE(sdk_->ListsReleaseMode0F(kCamera));
  EXPECT_FALSE(g_script.listQueried);
  g_script.capReleaseCount = 512;
  g_script.modes.assign(512, 0x104);
  g_script.modes.back() = 0x0F;
  EXPECT_TRUE(sdk_->ListsReleaseMode0F(kCamera));
}

TEST_F(TimedRelease, ModeListQueryFailureOrEmptyListMeansNo0F) {
  g_script.capReleaseCount = 0;
  EXPECT_FALSE(sdk_->ListsReleaseMode0F(kCamera));
  g_script.capReleaseCount = -3;
  EXPECT_FALSE(sdk_->ListsReleaseMode0F(kCamera));
  EXPECT_FALSE(g_script.listQueried);
  g_script.capReleaseCount = 1;
  g_script.modes = {0x0F};
  g_script.capReleaseResult = ZEPK_FAILED;
  EXPECT_FALSE(sdk_->ListsReleaseMode0F(kCamera));
}

TEST(ReleaseTimeout, IsTwiceExposurePlusFifteenSeconds) {
  EXPECT_EQ(CTavelSDK::ReleaseTimeoutFor(976), 30002000);
  EXPECT_EQ(CTavelSDK::ReleaseTimeoutFor(-1), 29999998);
  EXPECT_EQ(CTavelSDK::ReleaseTimeoutFor(64000180), 2 * (3600000000LL + kMargin));
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
