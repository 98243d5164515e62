// Threads, recursive locks and events: a thread runs its procedure once on an id of its own and
// joins with and without a time limit, closing a handle leaves the thread running; lock re-entry
// and mutual exclusion, auto-reset handing one signal to one waiter, manual-reset staying
// signalled, and timed waits. Worker threads only record results; the assertions run on the
// test's own thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/platform.h"
#include "platform/testing.h"
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

struct Job {
  std::atomic<int> runs{0};
  std::atomic<uint32_t> threadId{0};
  plat::Event* hold = nullptr;  // when set, the procedure waits for it before it returns
};

uint32_t CountRun(void* arg) {
  auto* job = static_cast<Job*>(arg);
  job->threadId = plat::CurrentThreadId();
  ++job->runs;
  if (job->hold) plat::EventWait(job->hold, plat::kInfinite);
  return 0;
}

TEST(Thread, RunsTheProcedureOnceOnItsOwnIdAndJoinsWithOrWithoutALimit) {
  const uint32_t mine = plat::CurrentThreadId();
  EXPECT_EQ(mine, plat::CurrentThreadId());
  plat::Event* hold = plat::EventCreate(true, false);
  Job first, second;
  first.hold = second.hold = hold;
  // Both threads stay alive together, so the system cannot reuse one id for the other.
  plat::Thread* a = plat::ThreadStart(CountRun, &first);
  plat::Thread* b = plat::ThreadStart(CountRun, &second);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  while (first.runs == 0 || second.runs == 0) plat::SleepMs(1);
  EXPECT_NE(first.threadId, 0u);
  EXPECT_NE(first.threadId, second.threadId);
  EXPECT_NE(first.threadId, mine);
  EXPECT_NE(second.threadId, mine);
  EXPECT_EQ(plat::ThreadJoin(a, 0), WaitResult::kTimeout);
  EXPECT_EQ(plat::ThreadJoin(a, 50), WaitResult::kTimeout);

  plat::EventSet(hold);
  EXPECT_EQ(plat::ThreadJoin(a, kJoinMs), WaitResult::kSignalled);
  EXPECT_EQ(plat::ThreadJoin(b, plat::kInfinite), WaitResult::kSignalled);
  EXPECT_EQ(plat::ThreadJoin(b, 0), WaitResult::kSignalled) << "a finished thread joins at once";
  EXPECT_EQ(first.runs, 1);
  EXPECT_EQ(second.runs, 1);
  plat::ThreadClose(a);
  plat::ThreadClose(b);
  plat::EventClose(hold);

  EXPECT_EQ(plat::ThreadStart(nullptr, nullptr), nullptr);
  EXPECT_EQ(plat::ThreadJoin(nullptr, 0), WaitResult::kFailed);
  plat::ThreadClose(nullptr);
}

TEST(Thread, CloseWithoutJoinLeavesTheThreadRunningToItsEndOrIsCleanAfterIt) {
  plat::Event* go = plat::EventCreate(true, false);
  plat::Event* finished = plat::EventCreate(true, false);
  std::atomic<bool> ranToEnd{false};
  plat::Thread* thread = StartThread([&] {
    plat::EventWait(go, plat::kInfinite);
    ranToEnd = true;
    plat::EventSet(finished);
  });
  ASSERT_NE(thread, nullptr);
  plat::ThreadClose(thread);
  plat::EventSet(go);
  EXPECT_EQ(plat::EventWait(finished, kJoinMs), WaitResult::kSignalled);
  EXPECT_TRUE(ranToEnd);
  plat::SleepMs(20);  // let the thread leave the lambda before the events go
  plat::EventClose(go);
  plat::EventClose(finished);

  Job job;
  thread = plat::ThreadStart(CountRun, &job);
  ASSERT_NE(thread, nullptr);
  while (job.runs == 0) plat::SleepMs(1);
  plat::SleepMs(20);
  plat::ThreadClose(thread);  // after the thread has ended
  EXPECT_EQ(job.runs, 1);
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
