// Host threads asking for the connection state while the camera comes and goes every 50 ms:
// every answer consistent, no race (thread sanitizer), and Exit afterwards within a cycle.
#include <atomic>
#include <cstring>
#include <vector>

#include "core/session.h"
#include "session_fixture.h"

namespace brelon::test {
namespace {

constexpr uint32_t kStressDurationMs = 2000;  // real time; raise it for a longer soak
constexpr uint32_t kToggleMs = 50;
constexpr int kHostThreads = 8;
constexpr uint32_t kStressTimeScale = 50;  // cycles of 100 ms real: two toggles per cycle

struct HostLoop {
  void** handle = nullptr;
  std::atomic<bool>* stop = nullptr;
  uint64_t calls = 0;
  uint64_t connectedAnswers = 0;
  uint64_t inconsistent = 0;
};

uint32_t QueryLoop(void* arg) {
  auto* loop = static_cast<HostLoop*>(arg);
  while (!loop->stop->load()) {
    uint8_t connected = 0xFF;
    int32_t result = IsCameraConnect(loop->handle, &connected);
    if (!((result == BRELON_OK && connected == 1) ||
          (result == BRELON_E_NO_CONTEXT && connected == 0))) {
      ++loop->inconsistent;
    }
    DeviceInformation info;
    std::memset(&info, 0, sizeof(info));
    result = GetDeviceInfo(loop->handle, &info);
    if (result == BRELON_OK) {
      ++loop->connectedAnswers;
      if (std::strcmp(info.model, "K-M3") != 0 || std::strcmp(info.manufacturer, "ORVANTIS") != 0) {
        ++loop->inconsistent;
      }
    } else if (result != BRELON_E_NO_CONTEXT || info.model[0] != '\0') {
      ++loop->inconsistent;
    }
    loop->calls += 2;
  }
  return 0;
}

TEST_F(SessionTest, HostQueriesStayConsistentWhileTheCameraComesAndGoes) {
  plat::SetTimeScale(kStressTimeScale);
  Start();
  ASSERT_TRUE(WaitForEvents(BRELON_EV_CONNECTED, 1));

  std::atomic<bool> stop{false};
  std::vector<HostLoop> loops(kHostThreads);
  std::vector<plat::Thread*> threads;
  for (HostLoop& loop : loops) {
    loop.handle = &handle_;
    loop.stop = &stop;
    plat::Thread* thread = plat::ThreadStart(QueryLoop, &loop);
    ASSERT_NE(thread, nullptr);
    threads.push_back(thread);
  }

  bool plugged = true;
  const int64_t end = RealNowMs() + kStressDurationMs;
  while (RealNowMs() < end) {
    RealSleepMs(kToggleMs);
    plugged = !plugged;
    ASSERT_EQ(Control(plugged ? R"({"cmd":"plug","camera":0})" : R"({"cmd":"unplug","camera":0})"),
              0);
  }
  ASSERT_EQ(Control(R"({"cmd":"plug","camera":0})"), 0);
  EXPECT_TRUE(Eventually([&] { return CountEvents(BRELON_EV_CONNECTED) >= 2 && Connected(); }));

  stop.store(true);
  uint64_t calls = 0;
  uint64_t connectedAnswers = 0;
  for (size_t i = 0; i < threads.size(); ++i) {
    plat::ThreadJoin(threads[i], plat::kInfinite);
    plat::ThreadClose(threads[i]);
    EXPECT_EQ(loops[i].inconsistent, 0u) << "host thread " << i;
    calls += loops[i].calls;
    connectedAnswers += loops[i].connectedAnswers;
  }
  const int64_t took = Stop();
  EXPECT_LT(took, int64_t{(kUsbCycleMs + 2 * kCloseDelayMs) / kStressTimeScale * 2});

  EXPECT_GT(calls, 1000u);
  EXPECT_GT(connectedAnswers, 0u);
  EXPECT_GE(CountEvents(BRELON_EV_DISCONNECTED), 1u);
  std::vector<HostEvent> events = Events();  // connected and lost alternate strictly
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].code, i % 2 == 0 ? BRELON_EV_CONNECTED : BRELON_EV_DISCONNECTED) << i;
  }
}

}  // namespace
}  // namespace brelon::test
