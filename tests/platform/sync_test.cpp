// Threads, locks and events: a thread runs once on an id of its own, joins with and without a
// time limit and outlives a closed handle; the lock is re-entrant; an auto-reset event hands one
// set to one waiter, a manual-reset one stays set until reset; timed waits time out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

using plat::WaitResult;

// A worker: notes its thread id, then waits for the event and counts the waits it won.
struct Waiter {
  plat::Event* event;
  uint32_t waitMs = plat::kInfinite;
  std::atomic<uint32_t> threadId{0};
  std::atomic<int> woken{0};
};

uint32_t Wait(void* arg) {
  auto* w = static_cast<Waiter*>(arg);
  w->threadId = plat::CurrentThreadId();
  if (plat::EventWait(w->event, w->waitMs) == WaitResult::kSignalled) ++w->woken;
  return 0;
}

// Two waiters, one with a time limit, on an event set once while both wait.
TEST(Sync, EventsWakeTheirWaitersThreadsJoinAndLocksReenter) {
  for (const bool manual : {false, true}) {
    SCOPED_TRACE(manual ? "manual reset" : "auto reset");
    plat::Event* event = plat::EventCreate(manual, true);
    plat::EventSet(event);  // signals do not count up
    EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kSignalled);
    EXPECT_EQ(plat::EventWait(event, 0), manual ? WaitResult::kSignalled : WaitResult::kTimeout);
    plat::EventReset(event);
    Waiter a{event}, b{event, 10000};
    plat::Thread* ta = plat::ThreadStart(&Wait, &a);
    plat::Thread* tb = plat::ThreadStart(&Wait, &b);
    ASSERT_TRUE(ta && tb);
    EXPECT_EQ(plat::ThreadJoin(ta, 50), WaitResult::kTimeout);
    EXPECT_EQ(plat::ThreadJoin(ta, 0), WaitResult::kTimeout);
    // Both stay alive together, so the system cannot reuse one id for the other.
    EXPECT_TRUE(a.threadId != b.threadId && a.threadId != plat::CurrentThreadId() && b.threadId);
    plat::EventSet(event);
    plat::SleepMs(100);
    EXPECT_EQ(a.woken + b.woken, manual ? 2 : 1);
    EXPECT_EQ(plat::EventWait(event, 0), manual ? WaitResult::kSignalled : WaitResult::kTimeout);
    plat::ThreadClose(tb);  // the thread still runs to its end
    plat::EventSet(event);
    EXPECT_EQ(plat::ThreadJoin(ta, plat::kInfinite), WaitResult::kSignalled);
    EXPECT_EQ(plat::ThreadJoin(ta, 0), WaitResult::kSignalled) << "a finished thread joins at once";
    for (int i = 0; i < 1000 && a.woken + b.woken < 2; ++i) plat::SleepMs(10);
    plat::SleepMs(20);  // let the closed thread leave its procedure
    EXPECT_EQ(a.woken + b.woken, 2);
    plat::ThreadClose(ta);
    plat::EventClose(event);
  }
  plat::Lock* lock = plat::LockCreate();
  plat::LockEnter(lock);
  plat::LockEnter(lock);  // would deadlock if the lock were not re-entrant
  plat::LockLeave(lock);
  plat::LockLeave(lock);
  plat::LockDestroy(lock);
  EXPECT_EQ(plat::ThreadStart(nullptr, nullptr), nullptr);
  EXPECT_EQ(plat::ThreadJoin(nullptr, 0), WaitResult::kFailed);
  EXPECT_EQ(plat::EventWait(nullptr, plat::kInfinite), WaitResult::kFailed) << "not a hang";
  plat::ThreadClose(nullptr);
}

TEST(Sync, TimedWaitEndsAfterItsTime) {
  plat::Event* event = plat::EventCreate(false, false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(plat::EventWait(event, 80), WaitResult::kTimeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(70));
  EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
  plat::EventClose(event);
}

}  // namespace
