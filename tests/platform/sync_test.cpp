// Threads, recursive locks and events: a thread runs its procedure once on an id of its own and
// joins with and without a time limit, closing its handle leaves it running; lock re-entry and
// mutual exclusion; auto-reset handing one signal to one waiter, manual-reset staying signalled,
// and timed waits. Worker threads only record; the assertions run on the test's own thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/platform.h"

namespace {

using plat::WaitResult;
constexpr uint32_t kJoinMs = 10000;  // generous: only a hang would reach it

// A worker: records its runs and thread id, then waits for `event` (if any) and counts the
// waits it won, or takes `lock` for `rounds` plain read-modify-write updates of `counter`.
struct Work {
  plat::Event* event = nullptr;
  uint32_t waitMs = plat::kInfinite;
  plat::Lock* lock = nullptr;
  long* counter = nullptr;
  int rounds = 0;
  std::atomic<int> runs{0}, woken{0};
  std::atomic<uint32_t> threadId{0};
};

uint32_t DoWork(void* arg) {
  auto* work = static_cast<Work*>(arg);
  work->threadId = plat::CurrentThreadId();
  ++work->runs;
  if (work->event && plat::EventWait(work->event, work->waitMs) == WaitResult::kSignalled)
    ++work->woken;
  for (int i = 0; i < work->rounds; ++i) {
    plat::LockGuard hold(work->lock);
    const long seen = *work->counter;
    if (i % 1000 == 0) plat::YieldThread();  // widen the window a broken lock would show
    *work->counter = seen + 1;
  }
  return 0;
}

void WaitForRuns(const Work& work, int runs) {
  for (int i = 0; i < 10000 && work.runs < runs; ++i) plat::SleepMs(1);
  plat::SleepMs(20);  // let the worker reach its wait
}

TEST(Thread, RunsOnceOnItsOwnIdJoinsWithOrWithoutALimitAndOutlivesItsHandle) {
  const uint32_t mine = plat::CurrentThreadId();
  EXPECT_EQ(mine, plat::CurrentThreadId());
  plat::Event* hold = plat::EventCreate(true, false);
  Work first, second;
  first.event = second.event = hold;
  plat::Thread* a = plat::ThreadStart(DoWork, &first);
  plat::Thread* b = plat::ThreadStart(DoWork, &second);
  ASSERT_TRUE(a && b);
  WaitForRuns(first, 1);
  WaitForRuns(second, 1);
  // Both stay alive together, so the system cannot reuse one id for the other.
  EXPECT_TRUE(first.threadId != second.threadId && first.threadId != mine && second.threadId != 0);
  EXPECT_EQ(plat::ThreadJoin(a, 0), WaitResult::kTimeout);
  EXPECT_EQ(plat::ThreadJoin(a, 50), WaitResult::kTimeout);
  plat::ThreadClose(b);  // b keeps running to its end
  plat::EventSet(hold);
  EXPECT_EQ(plat::ThreadJoin(a, plat::kInfinite), WaitResult::kSignalled);
  EXPECT_EQ(plat::ThreadJoin(a, 0), WaitResult::kSignalled) << "a finished thread joins at once";
  for (int i = 0; i < 10000 && second.woken == 0; ++i) plat::SleepMs(1);
  plat::SleepMs(20);  // let b leave its procedure before its work goes
  EXPECT_EQ(first.runs + second.runs + first.woken + second.woken, 4);
  plat::ThreadClose(a);
  plat::EventClose(hold);
  EXPECT_EQ(plat::ThreadStart(nullptr, nullptr), nullptr);
  EXPECT_EQ(plat::ThreadJoin(nullptr, 0), WaitResult::kFailed);
  plat::ThreadClose(nullptr);
}

// Other threads queue while the owner holds the lock twice, then their updates stay whole.
TEST(RecursiveLock, OwnerReentersAndOthersSerialiseAfterItsLastLeave) {
  plat::Lock* lock = plat::LockCreate();
  plat::LockEnter(lock);
  plat::LockEnter(lock);  // would deadlock if the lock were not recursive
  long counter = 0;       // deliberately plain: only the lock keeps the updates whole
  Work work[4];
  plat::Thread* threads[4];
  for (int i = 0; i < 4; ++i) {
    work[i].lock = lock;
    work[i].counter = &counter;
    work[i].rounds = 20000;
    ASSERT_NE(threads[i] = plat::ThreadStart(DoWork, &work[i]), nullptr);
  }
  plat::SleepMs(50);
  plat::LockLeave(lock);
  plat::SleepMs(50);
  EXPECT_EQ(counter, 0) << "one leave of two must not release the lock";
  plat::LockLeave(lock);
  for (plat::Thread* t : threads) {
    EXPECT_EQ(plat::ThreadJoin(t, kJoinMs), WaitResult::kSignalled);
    plat::ThreadClose(t);
  }
  EXPECT_EQ(counter, 4 * 20000);
  plat::LockDestroy(lock);
}

TEST(Event, AutoResetHandsOneSetToOneWaiterAndManualResetStaysSignalledUntilReset) {
  for (const bool manual : {false, true}) {
    SCOPED_TRACE(manual ? "manual reset" : "auto reset");
    plat::Event* event = plat::EventCreate(manual, false);
    plat::EventSet(event);
    plat::EventSet(event);  // signals do not count up
    EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kSignalled);
    EXPECT_EQ(plat::EventWait(event, 0), manual ? WaitResult::kSignalled : WaitResult::kTimeout);
    plat::EventReset(event);
    Work a, b;
    a.event = b.event = event;
    b.waitMs = kJoinMs;  // one waiter with a time limit, one without
    plat::Thread* ta = plat::ThreadStart(DoWork, &a);
    plat::Thread* tb = plat::ThreadStart(DoWork, &b);
    WaitForRuns(a, 1);
    WaitForRuns(b, 1);
    EXPECT_EQ(a.woken + b.woken, 0);
    plat::EventSet(event);
    plat::SleepMs(100);
    EXPECT_EQ(a.woken + b.woken, manual ? 2 : 1);
    EXPECT_EQ(plat::EventWait(event, 0), manual ? WaitResult::kSignalled : WaitResult::kTimeout);
    plat::EventSet(event);
    EXPECT_EQ(plat::ThreadJoin(ta, kJoinMs), WaitResult::kSignalled);
    EXPECT_EQ(plat::ThreadJoin(tb, kJoinMs), WaitResult::kSignalled);
    EXPECT_EQ(a.woken + b.woken, 2);
    plat::ThreadClose(ta);
    plat::ThreadClose(tb);
    plat::EventClose(event);
  }
}

TEST(Event, TimedWaitEndsAfterItsTimeAndANullEventFails) {
  plat::Event* event = plat::EventCreate(false, false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(plat::EventWait(event, 80), WaitResult::kTimeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(70));
  EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
  plat::EventClose(event);
  EXPECT_EQ(plat::EventWait(nullptr, plat::kInfinite), WaitResult::kFailed) << "not a hang";
}

}  // namespace
