// Recursive locks and events: re-entry, mutual exclusion, auto-reset handing one signal to one
// waiter, manual-reset staying signalled, and timed waits. Worker threads only record results;
// the assertions run on the test's own thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/platform.h"
#include "run_thread.h"

namespace {

using brelon::test::StartThread;
using plat::WaitResult;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kJoinMs = 10000;  // generous: only a hang would reach it

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls until `done` holds, so tests wait for a thread's progress instead of guessing a delay.
template <typename Pred>
bool WaitUntil(Pred done, int limitMs = 10000) {
  auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > limitMs) return false;
    plat::SleepMs(1);
  }
  return true;
}

// Other threads queue while the owner holds the lock twice, then their plain read-modify-write
// updates stay whole.
TEST(RecursiveLock, OwnerReentersAndOthersSerialiseAfterItsLastLeave) {
  plat::Lock* lock = plat::LockCreate();
  ASSERT_NE(lock, nullptr);
  plat::LockEnter(lock);
  plat::LockEnter(lock);  // would deadlock if the lock were not recursive

  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  long counter = 0;  // deliberately plain: only the lock keeps the updates whole
  plat::Thread* threads[kThreads];
  for (auto& t : threads) {
    t = StartThread([&] {
      for (int i = 0; i < kRounds; ++i) {
        plat::LockGuard hold(lock);
        long seen = counter;
        if (i % 1000 == 0) plat::YieldThread();  // widen the window a broken lock would show
        counter = seen + 1;
      }
    });
    ASSERT_NE(t, nullptr);
  }
  plat::SleepMs(50);
  EXPECT_EQ(counter, 0);
  plat::LockLeave(lock);
  plat::SleepMs(50);
  EXPECT_EQ(counter, 0) << "one leave of two must not release the lock";
  plat::LockLeave(lock);

  for (auto* t : threads) {
    EXPECT_EQ(plat::ThreadJoin(t, kJoinMs), WaitResult::kSignalled);
    plat::ThreadClose(t);
  }
  EXPECT_EQ(counter, long{kThreads} * kRounds);
  plat::LockDestroy(lock);
}

TEST(AutoResetEvent, OneSetWakesExactlyOneWaiterOrIsKeptForTheNextWaitOnly) {
  plat::Event* event = plat::EventCreate(false, false);
  ASSERT_NE(event, nullptr);
  plat::EventSet(event);
  plat::EventSet(event);  // signals do not count up
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kSignalled);
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kTimeout);

  std::atomic<int> woken{0};
  std::atomic<int> waiting{0};
  auto waiter = [&] {
    ++waiting;
    if (plat::EventWait(event, kJoinMs) == WaitResult::kSignalled) ++woken;
  };
  plat::Thread* a = StartThread(waiter);
  plat::Thread* b = StartThread(waiter);
  ASSERT_TRUE(WaitUntil([&] { return waiting == 2; }));
  plat::SleepMs(20);  // let both reach the wait

  plat::EventSet(event);
  ASSERT_TRUE(WaitUntil([&] { return woken >= 1; }));
  plat::SleepMs(100);
  EXPECT_EQ(woken, 1) << "an auto-reset event hands one set to one waiter";
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kTimeout) << "the wake must reset it";

  plat::EventSet(event);
  EXPECT_EQ(plat::ThreadJoin(a, kJoinMs), WaitResult::kSignalled);
  EXPECT_EQ(plat::ThreadJoin(b, kJoinMs), WaitResult::kSignalled);
  EXPECT_EQ(woken, 2);
  plat::ThreadClose(a);
  plat::ThreadClose(b);
  plat::EventClose(event);
}

// One waiter waits without a time limit: it too must end when another thread sets the event.
TEST(ManualResetEvent, StaysSignalledForEveryWaiterUntilReset) {
  plat::Event* event = plat::EventCreate(true, false);
  std::atomic<int> woken{0};
  auto waiter = [&](uint32_t timeoutMs) {
    return [&, timeoutMs] {
      if (plat::EventWait(event, timeoutMs) == WaitResult::kSignalled) ++woken;
    };
  };
  plat::Thread* a = StartThread(waiter(plat::kInfinite));
  plat::Thread* b = StartThread(waiter(kJoinMs));
  plat::SleepMs(30);
  EXPECT_EQ(woken, 0);
  plat::EventSet(event);
  EXPECT_EQ(plat::ThreadJoin(a, kJoinMs), WaitResult::kSignalled);
  EXPECT_EQ(plat::ThreadJoin(b, kJoinMs), WaitResult::kSignalled);
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kSignalled);
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kSignalled);

  plat::EventReset(event);
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kTimeout);
  plat::ThreadClose(a);
  plat::ThreadClose(b);
  plat::EventClose(event);
}

TEST(EventWait, TimesOutAfterRoughlyTheTimeoutAndFailsOnANullEvent) {
  plat::Event* event = plat::EventCreate(false, false);
  auto start = Clock::now();
  EXPECT_EQ(plat::EventWait(event, 80), WaitResult::kTimeout);
  int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, 70);
  EXPECT_LT(elapsed, 5000);
  plat::EventClose(event);
  EXPECT_EQ(plat::EventWait(nullptr, plat::kInfinite), WaitResult::kFailed) << "not a hang";
}

}  // namespace
