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

}  // namespace
