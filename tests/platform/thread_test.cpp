// Threads: the procedure runs with its argument, joins with and without a time limit, closing
// a handle leaves the thread running, and thread ids are stable and distinct.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"
#include "run_thread.h"

namespace {

using brelon::test::StartThread;
using plat::WaitResult;

constexpr uint32_t kJoinMs = 10000;

struct Job {
  std::atomic<int> runs{0};
  std::atomic<uint32_t> threadId{0};
};

uint32_t CountRun(void* arg) {
  auto* job = static_cast<Job*>(arg);
  job->threadId = plat::CurrentThreadId();
  ++job->runs;
  return 0;
}

TEST(Thread, RunsTheProcedureOnceWithItsArgumentAndJoins) {
  Job job;
  plat::Thread* thread = plat::ThreadStart(CountRun, &job);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(plat::ThreadJoin(thread, plat::kInfinite), WaitResult::kSignalled);
  EXPECT_EQ(job.runs, 1);
  EXPECT_NE(job.threadId, 0u);
  EXPECT_NE(job.threadId, plat::CurrentThreadId());
  // A finished thread joins again at once.
  EXPECT_EQ(plat::ThreadJoin(thread, 0), WaitResult::kSignalled);
  plat::ThreadClose(thread);
}

TEST(Thread, TimedJoinTimesOutWhileRunningAndSucceedsOnceFinished) {
  plat::Event* release = plat::EventCreate(true, false);
  plat::Thread* thread = StartThread([&] { plat::EventWait(release, plat::kInfinite); });
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(plat::ThreadJoin(thread, 0), WaitResult::kTimeout);
  EXPECT_EQ(plat::ThreadJoin(thread, 50), WaitResult::kTimeout);
  plat::EventSet(release);
  EXPECT_EQ(plat::ThreadJoin(thread, kJoinMs), WaitResult::kSignalled);
  plat::ThreadClose(thread);
  plat::EventClose(release);
}

TEST(Thread, CloseWithoutJoinLeavesTheThreadRunningToItsEnd) {
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
}

TEST(Thread, CloseAfterTheThreadHasEndedIsClean) {
  Job job;
  plat::Thread* thread = plat::ThreadStart(CountRun, &job);
  ASSERT_NE(thread, nullptr);
  while (job.runs == 0) plat::SleepMs(1);
  plat::SleepMs(20);
  plat::ThreadClose(thread);
  EXPECT_EQ(job.runs, 1);
}

TEST(Thread, IdIsStableWithinAThreadAndDistinctAcrossThreads) {
  uint32_t mine = plat::CurrentThreadId();
  EXPECT_EQ(mine, plat::CurrentThreadId());
  Job first, second;
  plat::Event* hold = plat::EventCreate(true, false);
  // Both threads stay alive together, so the system cannot reuse one id for the other.
  plat::Thread* a = StartThread([&] {
    CountRun(&first);
    plat::EventWait(hold, plat::kInfinite);
  });
  plat::Thread* b = StartThread([&] {
    CountRun(&second);
    plat::EventWait(hold, plat::kInfinite);
  });
  while (first.runs == 0 || second.runs == 0) plat::SleepMs(1);
  EXPECT_NE(first.threadId, second.threadId);
  EXPECT_NE(first.threadId, mine);
  EXPECT_NE(second.threadId, mine);
  plat::EventSet(hold);
  EXPECT_EQ(plat::ThreadJoin(a, kJoinMs), WaitResult::kSignalled);
  EXPECT_EQ(plat::ThreadJoin(b, kJoinMs), WaitResult::kSignalled);
  plat::ThreadClose(a);
  plat::ThreadClose(b);
  plat::EventClose(hold);
}

TEST(Thread, NullArgumentsFailCleanly) {
  EXPECT_EQ(plat::ThreadStart(nullptr, nullptr), nullptr);
  EXPECT_EQ(plat::ThreadJoin(nullptr, 0), WaitResult::kFailed);
  plat::ThreadClose(nullptr);
}

}  // namespace
