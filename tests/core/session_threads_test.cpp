// Session threads beside another holder of the session mutex and host threads: a context keeps
// off the SDK until the holder lets go, then takes the camera over; Exit during the wait ends
// within a second; host threads asking for the connection state while the camera comes and goes
// get consistent answers, with no race under the thread sanitizer.
#include <atomic>
#include <cstring>
#include <vector>

#include "capture/media_record.h"
#include "core/session.h"
#include "platform/run_thread.h"
#include "session_fixture.h"

namespace brelon::test {
namespace {

// Another holder of the session mutex (another process, as the platform suite proves) keeps the
// context away from the SDK; once it lets go, the context takes the camera over.
TEST_F(SessionTest, ContextWaitsForTheSessionMutexAndThenTakesTheCameraOver) {
  bool existed = true;
  plat::NamedMutex* holder = plat::NamedMutexCreate(kSessionMutexName, &existed);
  ASSERT_NE(holder, nullptr);
  Start();
  RealSleepMs(10 * 1000 / kSessionTimeScale);  // ten retries
  EXPECT_EQ(CountCalls("ZEPK_Init"), 0u);
  EXPECT_FALSE(Connected());

  plat::NamedMutexClose(holder);
  EXPECT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));
  EXPECT_EQ(CountCalls("ZEPK_Init"), 1u);
  EXPECT_TRUE(Connected());
}

TEST_F(SessionTest, ExitDuringTheMutexWaitEndsWithinASecondWithoutSdkCalls) {
  plat::SetTimeScale(1);  // the second is meant in real time here
  bool existed = true;
  plat::NamedMutex* holder = plat::NamedMutexCreate(kSessionMutexName, &existed);
  ASSERT_NE(holder, nullptr);
  ASSERT_FALSE(existed);

  Start();
  RealSleepMs(1500);  // into the second retry
  EXPECT_LT(Stop(), 1000);
  EXPECT_TRUE(Sim().Trace().empty()) << "a waiting context never touches the SDK";
  EXPECT_TRUE(Events().empty());
  plat::NamedMutexClose(holder);
}

// Eight host threads while the camera is unplugged and plugged every 50 ms real (two toggles
// per session cycle); Exit afterwards within a cycle.
TEST_F(SessionTest, HostQueriesStayConsistentWhileTheCameraComesAndGoes) {
  constexpr uint32_t kStressDurationMs = 2000;  // real time; raise it for a longer soak
  Start();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> calls{0}, connectedAnswers{0}, inconsistent{0};
  std::vector<plat::Thread*> threads;
  for (int i = 0; i < 8; ++i) {
    threads.push_back(StartThread([&] {
      uint64_t n = 0, answers = 0, wrong = 0;
      for (; !stop; n += 2) {
        uint8_t connected = 0xFF;
        int32_t result = IsCameraConnect(&handle_, &connected);
        wrong += !((result == BRELON_OK && connected == 1) ||
                   (result == BRELON_E_NO_CONTEXT && connected == 0));
        DeviceInformation info{};
        result = GetDeviceInfo(&handle_, &info);
        if (result == BRELON_OK) {
          ++answers;
          wrong += std::strcmp(info.model, "K-M3") != 0 ||
                   std::strcmp(info.manufacturer, "ORVANTIS") != 0;
        } else {
          wrong += result != BRELON_E_NO_CONTEXT || info.model[0] != '\0';
        }
      }
      calls += n;
      connectedAnswers += answers;
      inconsistent += wrong;
    }));
    ASSERT_NE(threads.back(), nullptr);
  }

  bool plugged = true;
  for (const int64_t end = RealNowMs() + kStressDurationMs; RealNowMs() < end;) {
    RealSleepMs(50);
    plugged = !plugged;
    ASSERT_EQ(Control(plugged ? R"({"cmd":"plug","camera":0})" : R"({"cmd":"unplug","camera":0})"),
              0);
  }
  ASSERT_EQ(Control(R"({"cmd":"plug","camera":0})"), 0);
  EXPECT_TRUE(Eventually([&] { return CountEvents(BRELON_EV_CONNECTED) >= 2 && Connected(); }));
  stop = true;
  for (plat::Thread* thread : threads) {
    plat::ThreadJoin(thread, plat::kInfinite);
    plat::ThreadClose(thread);
  }
  EXPECT_EQ(inconsistent, 0u);
  EXPECT_LT(Stop(), int64_t{(kUsbCycleMs + 2 * kCloseDelayMs) / kSessionTimeScale * 2});

  EXPECT_GT(calls, 1000u);
  EXPECT_GT(connectedAnswers, 0u);
  EXPECT_GE(CountEvents(BRELON_EV_DISCONNECTED), 1u);
  const std::vector<HostEvent> events = Events();  // connected and lost alternate strictly
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].code, i % 2 == 0 ? BRELON_EV_CONNECTED : BRELON_EV_DISCONNECTED) << i;
  }
}

}  // namespace
}  // namespace brelon::test
