// Clocks and the test time scale: scaled waits and sleeps end early while infinite and zero keep
// their meaning, the clocks run N times faster and never step back when the scale changes, and
// at real speed they count from the Unix epoch.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

using plat::WaitResult;
using Clock = std::chrono::steady_clock;
constexpr int64_t kTicksPerSecond = 10'000'000;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

uint32_t WaitForever(void* event) {
  plat::EventWait(static_cast<plat::Event*>(event), plat::kInfinite);
  return 0;
}

TEST(TimeScale, ShortensTimedWaitsAndSleepsAndRunsEveryClockFactorTimesFaster) {
  plat::SetTimeScale(0);
  EXPECT_EQ(plat::TimeScale(), 1u) << "no scale stops the clock";
  plat::SetTimeScale(100);
  EXPECT_EQ(plat::TimeScale(), 100u);
  plat::Event* event = plat::EventCreate(true, false);
  plat::Thread* thread = plat::ThreadStart(&WaitForever, event);
  const auto start = Clock::now();
  EXPECT_EQ(plat::EventWait(event, 5000), WaitResult::kTimeout);
  EXPECT_EQ(plat::ThreadJoin(thread, 5000), WaitResult::kTimeout);
  EXPECT_LT(MsSince(start), 500);
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kTimeout);
  plat::EventSet(event);
  EXPECT_EQ(plat::ThreadJoin(thread, plat::kInfinite), WaitResult::kSignalled);
  plat::ThreadClose(thread);
  plat::EventClose(event);

  const auto realStart = Clock::now();
  const int64_t ticks = plat::NowTicks(), seconds = plat::NowSeconds();
  const plat::LocalTime local = plat::NowLocal();
  plat::SleepMs(20000);  // about 200 ms of real time
  const plat::LocalTime localEnd = plat::NowLocal();
  const double ratio =
      static_cast<double>(plat::NowTicks() - ticks) * 100 /
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - realStart).count();
  EXPECT_GE(MsSince(realStart), 160) << "a shortened sleep still sleeps";
  EXPECT_GT(ratio, 80.0);
  EXPECT_LT(ratio, 120.0);
  EXPECT_GE(plat::NowSeconds() - seconds, 15);
  const auto secondOfDay = [](const plat::LocalTime& t) {
    return (t.hour * 60 + t.minute) * 60 + t.second;
  };
  EXPECT_GE((secondOfDay(localEnd) - secondOfDay(local) + 86400) % 86400, 15);

  // Never back, whatever the changes of speed.
  int64_t last = plat::NowTicks();
  for (uint32_t factor : {1000u, 1u, 50u, 1u, 100000u, 1u}) {
    plat::SetTimeScale(factor);
    for (int i = 0; i < 200; ++i) {
      const int64_t now = plat::NowTicks();
      ASSERT_GE(now, last) << "after changing the scale to " << factor;
      last = now;
    }
    plat::SleepMs(factor);  // about a millisecond of real time at each speed
  }
}

TEST(Clocks, AtRealSpeedTicksCountFromTheUnixEpochAgreeWithSecondsAndSleepsLast) {
  ASSERT_EQ(plat::TimeScale(), 1u);
  const int64_t ticks = plat::NowTicks(), seconds = plat::NowSeconds();
  EXPECT_GT(ticks, 1'577'836'800LL * kTicksPerSecond);  // 2020
  // The clocks may run ahead of the calendar after a scaled test, never behind it.
  EXPECT_GE(ticks / kTicksPerSecond, static_cast<int64_t>(std::time(nullptr)) - 2);
  EXPECT_LE(seconds - ticks / kTicksPerSecond, 1);
  EXPECT_GE(seconds - ticks / kTicksPerSecond, 0);
  const std::time_t now = std::time(nullptr);
  const std::tm* calendar = std::localtime(&now);
  const plat::LocalTime local = plat::NowLocal();
  EXPECT_EQ(local.month * 100 + local.day, (calendar->tm_mon + 1) * 100 + calendar->tm_mday);
  const auto start = Clock::now();
  plat::SleepMs(30);
  EXPECT_GE(MsSince(start), 25);
}

}  // namespace
