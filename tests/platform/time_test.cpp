// Clocks and the test time scale: scaled waits and sleeps end early, the clocks run N times
// faster, and they never step back when the scale changes.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "platform/platform.h"
#include "platform/testing.h"
#include "run_thread.h"

namespace {

using plat::WaitResult;
using Clock = std::chrono::steady_clock;

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksAt2020 = 1'577'836'800LL * kTicksPerSecond;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Every test leaves the process at real speed again.
class TimeScaleTest : public ::testing::Test {
 protected:
  void TearDown() override { plat::SetTimeScale(1); }
};

TEST_F(TimeScaleTest, TimedWaitsEndInMillisecondsWhileInfiniteAndZeroKeepTheirMeaning) {
  plat::SetTimeScale(1000);
  EXPECT_EQ(plat::TimeScale(), 1000u);
  plat::Event* event = plat::EventCreate(true, false);
  auto start = Clock::now();
  EXPECT_EQ(plat::EventWait(event, 5000), WaitResult::kTimeout);
  EXPECT_LT(MsSince(start), 500);

  plat::Thread* thread =
      brelon::test::StartThread([&] { plat::EventWait(event, plat::kInfinite); });
  start = Clock::now();
  EXPECT_EQ(plat::ThreadJoin(thread, 30000), WaitResult::kTimeout);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kTimeout);
  plat::EventSet(event);
  EXPECT_EQ(plat::EventWait(event, plat::kInfinite), WaitResult::kSignalled);
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kSignalled);
  EXPECT_EQ(plat::ThreadJoin(thread, plat::kInfinite), WaitResult::kSignalled);
  plat::ThreadClose(thread);
  plat::EventClose(event);
}

TEST_F(TimeScaleTest, SleepIsShortenedAndEveryClockAdvancesFactorTimesFaster) {
  plat::SetTimeScale(100);
  auto realStart = Clock::now();
  int64_t ticksStart = plat::NowTicks();
  int64_t secondsStart = plat::NowSeconds();
  plat::LocalTime localStart = plat::NowLocal();
  plat::SleepMs(20000);  // about 200 ms of real time
  int64_t ticksElapsed = plat::NowTicks() - ticksStart;
  int64_t secondsElapsed = plat::NowSeconds() - secondsStart;
  plat::LocalTime localEnd = plat::NowLocal();
  EXPECT_GE(MsSince(realStart), 160) << "a shortened sleep still sleeps";
  EXPECT_LT(MsSince(realStart), 4000);
  int64_t realTicks =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - realStart).count() / 100;
  ASSERT_GT(realTicks, 0);
  double ratio = static_cast<double>(ticksElapsed) / static_cast<double>(realTicks);
  EXPECT_GT(ratio, 80.0);
  EXPECT_LT(ratio, 120.0);
  auto secondOfDay = [](const plat::LocalTime& t) {
    return (t.hour * 60 + t.minute) * 60 + t.second;
  };
  int localElapsed = (secondOfDay(localEnd) - secondOfDay(localStart) + 86400) % 86400;
  EXPECT_GE(secondsElapsed, 15);
  EXPECT_LT(secondsElapsed, 400);
  EXPECT_GE(localElapsed, 15);
  EXPECT_LT(localElapsed, 400);
}

TEST_F(TimeScaleTest, ClocksNeverStepBackAcrossScaleChanges) {
  int64_t last = plat::NowTicks();
  for (uint32_t factor : {1000u, 1u, 50u, 1u, 100000u, 1u}) {
    plat::SetTimeScale(factor);
    for (int i = 0; i < 200; ++i) {
      int64_t now = plat::NowTicks();
      ASSERT_GE(now, last) << "after changing the scale to " << factor;
      last = now;
    }
    plat::SleepMs(factor);  // about a millisecond of real time at each speed
  }
}

TEST(Clocks, AtRealSpeedTicksCountFromTheUnixEpochAgreeWithSecondsAndSleepsLast) {
  ASSERT_EQ(plat::TimeScale(), 1u);
  int64_t ticks = plat::NowTicks();
  int64_t seconds = plat::NowSeconds();
  EXPECT_GT(ticks, kTicksAt2020);
  // The clocks may run ahead of the calendar after a scaled test, never behind it.
  EXPECT_GE(ticks / kTicksPerSecond, static_cast<int64_t>(std::time(nullptr)) - 2);
  EXPECT_LE(seconds - ticks / kTicksPerSecond, 1);
  EXPECT_GE(seconds - ticks / kTicksPerSecond, 0);
  auto start = Clock::now();
  plat::SleepMs(30);
  EXPECT_GE(MsSince(start), 25);
}

}  // namespace
