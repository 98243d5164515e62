// Threads, locks, events, clocks, the machine-wide named mutex and the SDK guard: threads run on
// ids of their own and join with and without a time limit; events wake one or all waiters; the
// test time scale shortens waits and never steps the clocks back; a mutex name stays held until
// its holder lets go or dies; the guard claims what the SDK throws.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "platform/run_thread.h"
#include "platform/testing.h"
#include "support/test_env.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using plat::WaitResult;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Two threads wait on an event set once, one of them with a time limit.
TEST(Sync, EventsWakeTheirWaitersThreadsJoinAndLocksReenter) {
  for (const bool manual : {false, true}) {
    SCOPED_TRACE(manual ? "manual reset" : "auto reset");
    plat::Event* event = plat::EventCreate(manual, true);
    plat::EventSet(event);  // signals do not count up
    EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kSignalled);
    EXPECT_EQ(plat::EventWait(event, 0), manual ? WaitResult::kSignalled : WaitResult::kTimeout);
    plat::EventReset(event);
    std::atomic<int> woken{0};
    std::atomic<uint32_t> ids[2] = {};
    const auto waiter = [&](int i, uint32_t ms) {
      return brelon::test::StartThread([&, i, ms] {
        ids[i] = plat::CurrentThreadId();
        woken += plat::EventWait(event, ms) == WaitResult::kSignalled;
      });
    };
    plat::Thread* ta = waiter(0, plat::kInfinite);
    plat::Thread* tb = waiter(1, 10000);
    ASSERT_TRUE(ta && tb);
    EXPECT_EQ(plat::ThreadJoin(ta, 50), WaitResult::kTimeout);
    EXPECT_EQ(plat::ThreadJoin(ta, 0), WaitResult::kTimeout);
    // Both stay alive together, so the system cannot reuse one id for the other.
    EXPECT_TRUE(ids[0] != ids[1] && ids[0] != plat::CurrentThreadId() && ids[1]);
    plat::EventSet(event);
    plat::SleepMs(100);
    EXPECT_EQ(woken, manual ? 2 : 1);
    EXPECT_EQ(plat::EventWait(event, 0), manual ? WaitResult::kSignalled : WaitResult::kTimeout);
    plat::ThreadClose(tb);  // the thread still runs to its end
    plat::EventSet(event);
    EXPECT_EQ(plat::ThreadJoin(ta, plat::kInfinite), WaitResult::kSignalled);
    EXPECT_EQ(plat::ThreadJoin(ta, 0), WaitResult::kSignalled) << "a finished thread joins at once";
    for (int i = 0; i < 1000 && woken < 2; ++i) plat::SleepMs(10);
    plat::SleepMs(20);  // let the closed thread leave its procedure
    EXPECT_EQ(woken, 2);
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

// At real speed ticks count from the Unix epoch, agree with seconds and the calendar, and waits
// last; a time scale shortens timed waits and sleeps, runs every clock that many times faster
// and never steps a clock back when it changes.
TEST(Clocks, CountFromTheEpochAndUnderATimeScaleRunFasterWithoutSteppingBack) {
  constexpr int64_t kTicksPerSecond = 10'000'000;
  ASSERT_EQ(plat::TimeScale(), 1u);
  int64_t ticks = plat::NowTicks(), seconds = plat::NowSeconds();
  EXPECT_GT(ticks, 1'577'836'800LL * kTicksPerSecond);  // 2020
  // The clocks may run ahead of the calendar after a scaled test, never behind it.
  EXPECT_GE(ticks / kTicksPerSecond, static_cast<int64_t>(std::time(nullptr)) - 2);
  EXPECT_TRUE(seconds - ticks / kTicksPerSecond <= 1 && seconds >= ticks / kTicksPerSecond);
  const std::time_t today = std::time(nullptr);
  const std::tm* calendar = std::localtime(&today);
  plat::LocalTime local = plat::NowLocal();
  EXPECT_EQ(local.month * 100 + local.day, (calendar->tm_mon + 1) * 100 + calendar->tm_mday);
  Clock::time_point start = Clock::now();
  plat::SleepMs(30);
  EXPECT_GE(MsSince(start), 25);
  plat::Event* event = plat::EventCreate(true, false);
  start = Clock::now();
  EXPECT_EQ(plat::EventWait(event, 80), WaitResult::kTimeout);
  const int64_t waited = MsSince(start);
  EXPECT_TRUE(waited >= 70 && waited < 5000) << waited;

  plat::SetTimeScale(0);
  EXPECT_EQ(plat::TimeScale(), 1u) << "no scale stops the clock";
  plat::SetTimeScale(100);
  EXPECT_EQ(plat::TimeScale(), 100u);
  plat::Thread* thread =
      brelon::test::StartThread([event] { plat::EventWait(event, plat::kInfinite); });
  start = Clock::now();
  EXPECT_EQ(plat::EventWait(event, 5000), WaitResult::kTimeout);
  EXPECT_EQ(plat::ThreadJoin(thread, 5000), WaitResult::kTimeout);
  EXPECT_LT(MsSince(start), 500);
  EXPECT_EQ(plat::EventWait(event, 0), WaitResult::kTimeout);
  plat::EventSet(event);
  EXPECT_EQ(plat::ThreadJoin(thread, plat::kInfinite), WaitResult::kSignalled);
  plat::ThreadClose(thread);
  plat::EventClose(event);

  start = Clock::now();
  ticks = plat::NowTicks(), seconds = plat::NowSeconds();
  local = plat::NowLocal();
  plat::SleepMs(20000);  // about 200 ms of real time
  const plat::LocalTime localEnd = plat::NowLocal();
  const double ratio =
      static_cast<double>(plat::NowTicks() - ticks) * 100 /
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  EXPECT_GE(MsSince(start), 160) << "a shortened sleep still sleeps";
  EXPECT_TRUE(ratio > 80.0 && ratio < 120.0) << ratio;
  EXPECT_GE(plat::NowSeconds() - seconds, 15);
  const auto secondOfDay = [](const plat::LocalTime& t) {
    return (t.hour * 60 + t.minute) * 60 + t.second;
  };
  EXPECT_GE((secondOfDay(localEnd) - secondOfDay(local) + 86400) % 86400, 15);
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

// Claims `name` and says whether it was held already; `existed` starts at the opposite of the
// expected answer, so a claim that does not set it shows. Keeps the handle in `held` if given.
bool Claim(const std::u16string& name, bool expected, plat::NamedMutex** held = nullptr) {
  bool existed = !expected;
  plat::NamedMutex* m = plat::NamedMutexCreate(name.c_str(), &existed);
  EXPECT_NE(m, nullptr) << "claim of a valid name";
  held ? void(*held = m) : plat::NamedMutexClose(m);
  return existed;
}

TEST(NamedMutex, SecondClaimSeesTheNameHeldUntilTheFirstHolderCloses) {
  // Lock files go to a folder of the test's own, so a running session is never disturbed; the
  // name is unique, so Windows' kernel namespace carries nothing over from other runs.
  const std::string lockDir = brelon::test::TempDir("lock");
  brelon::test::SetEnv("BRELON_LOCK_DIR", lockDir.c_str());
  const std::u16string name = u"Global\\{F7914321-62A0-412f-B595-brelon-test}";
  plat::NamedMutex* first = nullptr;
  EXPECT_FALSE(Claim(name, false, &first));
  // A refused claimant closes its handle before it tries again, as the session thread does.
  EXPECT_TRUE(Claim(name, true));
  EXPECT_TRUE(Claim(name, true)) << "second attempt";
  EXPECT_FALSE(Claim(u"Local\\../az AZ09_", false)) << "another name is free meanwhile";
  bool existed = true;
  EXPECT_EQ(plat::NamedMutexCreate(u"", &existed), nullptr);
  EXPECT_FALSE(existed);
  plat::NamedMutexClose(nullptr);
#if !defined(_WIN32)
  // Separators and other unsafe characters cannot lead out of the folder.
  for (const char* file : {"{F7914321-62A0-412f-B595-brelon-test}", ".._az_AZ09_"}) {
    EXPECT_GE(plat::FileSize((lockDir + "/brelon-" + file + ".lock").c_str()), 0) << file;
  }
  // A holder killed in another process frees the name.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    plat::NamedMutex* held = plat::NamedMutexCreate((name + u"-child").c_str(), &existed);
    const char status = held && !existed ? 'y' : 'n';
    (void)!write(ready[1], &status, 1);
    for (;;) pause();  // hold it until killed
  }
  close(ready[1]);
  char status = 0;
  ASSERT_EQ(read(ready[0], &status, 1), 1);
  close(ready[0]);
  ASSERT_EQ(status, 'y');
  EXPECT_TRUE(Claim(name + u"-child", true)) << "the child process holds the name";
  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_FALSE(Claim(name + u"-child", false)) << "a dead holder must not keep the name";
#endif
  plat::NamedMutexClose(first);
  EXPECT_FALSE(Claim(name, false));
  brelon::test::SetEnv("BRELON_LOCK_DIR", nullptr);
}

#if defined(_WIN32)
// The SDK guard on Windows (natively the SDK scenario proves it) claims exactly the C++ throw code
// of an MSVC-built SDK, lets every other exception reach the handlers above it, as an access
// violation must, and stays usable.
DWORD g_seenAbove = 0;  // the code the top-level filter saw, 0 when none reached it

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* info) {
  g_seenAbove = info->ExceptionRecord->ExceptionCode;
  // Raised as continuable: RaiseException returns and the SDK call goes on to its result.
  return EXCEPTION_CONTINUE_EXECUTION;
}

int32_t Raise(void* code) {
  RaiseException(static_cast<DWORD>(reinterpret_cast<uintptr_t>(code)), 0, 0, nullptr);
  return 42;
}

TEST(SdkGuard, ClaimsTheSdkThrowOnlyAndStaysUsable) {
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&TopLevelFilter);
  // The SDK's throw, twice; another application code; an access violation.
  const DWORD kCodes[] = {0xE06D7363, 0xE06D7363, 0xE0424C4E, EXCEPTION_ACCESS_VIOLATION};
  for (DWORD code : kCodes) {
    g_seenAbove = 0;
    int32_t result = -7;
    const bool sdkThrow = code == 0xE06D7363;
    EXPECT_EQ(plat::CallGuarded(&Raise, reinterpret_cast<void*>(uintptr_t{code}), &result),
              !sdkThrow);
    EXPECT_EQ(result, sdkThrow ? -7 : 42);
    EXPECT_EQ(g_seenAbove, sdkThrow ? 0 : code);
  }
  SetUnhandledExceptionFilter(previous);
}
#endif

}  // namespace
