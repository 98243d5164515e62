// The machine-wide session mutex: a second context, in this process or another, waits without
// touching the SDK until the first ends, then takes the camera over; Exit during the wait ends
// within a second.
#include <string>

#include "core/session.h"
#include "session_fixture.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace brelon::test {
namespace {

// A second host context beside the fixture's, counting its connections.
class SecondContext {
 public:
  SecondContext() : lock_(plat::LockCreate()) {}
  ~SecondContext() {
    Exit(&handle_);
    plat::LockDestroy(lock_);
  }
  int32_t Start() { return Init(&handle_, &SecondContext::OnEvent, this); }
  int64_t Stop() {
    const int64_t start = RealNowMs();
    Exit(&handle_);
    return RealNowMs() - start;
  }
  size_t Connects() const {
    plat::LockGuard guard(lock_);
    return connects_;
  }
  void** Handle() { return &handle_; }

 private:
  static int32_t BRELON_CDECL OnEvent(int32_t, int32_t code, void* self) {
    auto* me = static_cast<SecondContext*>(self);
    plat::LockGuard guard(me->lock_);
    if (code == BRELON_EV_CONNECTED) ++me->connects_;
    return 0;
  }
  void* handle_ = nullptr;
  plat::Lock* lock_;
  size_t connects_ = 0;  // guarded by lock_
};

TEST_F(SessionTest, SecondContextWaitsForTheFirstAndThenTakesTheCameraOver) {
  Start();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));

  SecondContext second;
  ASSERT_EQ(second.Start(), BRELON_OK);
  RealSleepMs(10 * 1000 / kSessionTimeScale);  // ten retries
  EXPECT_EQ(CountCalls("ZEPK_Init"), 1u);
  EXPECT_EQ(second.Connects(), 0u);
  uint8_t connected = 1;
  EXPECT_EQ(IsCameraConnect(second.Handle(), &connected), BRELON_E_NO_CONTEXT);

  Stop();  // the first context's thread releases the mutex as it ends
  EXPECT_TRUE(Eventually([&] { return second.Connects() == 1; }));
  EXPECT_EQ(CountCalls("ZEPK_Init"), 2u);
  connected = 0;
  EXPECT_EQ(IsCameraConnect(second.Handle(), &connected), BRELON_OK);
  EXPECT_EQ(connected, 1);
}

TEST_F(SessionTest, ExitDuringTheMutexWaitEndsWithinASecondWithoutSdkCalls) {
  plat::SetTimeScale(1);  // the second is meant in real time here
  bool existed = true;
  plat::NamedMutex* holder = plat::NamedMutexCreate(kSessionMutexName, &existed);
  ASSERT_NE(holder, nullptr);
  ASSERT_FALSE(existed);

  Start();
  RealSleepMs(1500);  // into the second retry
  int64_t took = Stop();
  EXPECT_LT(took, 1000);
  EXPECT_TRUE(Sim().Trace().empty()) << "a waiting context never touches the SDK";
  EXPECT_TRUE(Events().empty());
  plat::NamedMutexClose(holder);
}

#if !defined(_WIN32)
// The child starts a context on 'g', reports 'c' once connected, and ends on the next byte;
// its exit status names the step that failed.
void RunChildContext(int goFd, int reportFd) {
  char c = 0;
  if (read(goFd, &c, 1) != 1) _exit(2);
  SecondContext child;
  if (child.Start() != BRELON_OK) _exit(3);
  if (!Eventually([&] { return child.Connects() == 1; }, 3 * kRealWaitMs)) _exit(1);
  c = 'c';
  if (write(reportFd, &c, 1) != 1) _exit(4);
  if (read(goFd, &c, 1) != 1) _exit(5);
  child.Stop();
  _exit(0);
}

bool Readable(int fd) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(fd, &ready);
  timeval none{0, 0};
  return select(fd + 1, &ready, nullptr, nullptr, &none) > 0;
}

TEST_F(SessionTest, SecondProcessWaitsUntilTheFirstProcessReleasesTheCamera) {
  // A later Init in this process does not wait for the ended one; forking between the two,
  // with no session thread running, leaves the child no lock another thread held.
  Start();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  Stop();
  int go[2];
  int report[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(report), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(go[1]);
    close(report[0]);
    RunChildContext(go[0], report[1]);
  }
  close(go[0]);
  close(report[1]);

  Start();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 2));
  char c = 'g';
  ASSERT_EQ(write(go[1], &c, 1), 1);
  RealSleepMs(10 * 1000 / kSessionTimeScale);
  EXPECT_FALSE(Readable(report[0])) << "the child connected while this process held the camera";

  Stop();
  EXPECT_EQ(read(report[0], &c, 1), 1);
  EXPECT_EQ(c, 'c');
  EXPECT_EQ(write(go[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(go[1]);
  close(report[0]);
}
#endif

}  // namespace
}  // namespace brelon::test
