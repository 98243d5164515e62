// The camera session through the plug-in's exports on the simulated camera, in real time: Init
// to the connection event, the latency from the camera's buffer change to Shoot returning, and
// a burst of shots with their transfers; with one poll interval of the release wait, as the
// platform sleeps it in the same run, as what the last two are held against.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/context.h"
#include "brelon/brelon.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "sdk/loader.h"
#include "sim_session.h"

namespace {

using bench::NowNs;

constexpr uint32_t kReleasePollMs = 78;  // the timed release re-reads the buffer this often
constexpr int kConnectTimeoutMs = 20000;
constexpr int kInitsPerRun = 5;
constexpr int kPollsPerRun = 3;
constexpr int kBurstShots = 20;
constexpr int kBurstDelayMs = 50;  // the default camera's time from release to buffer
// Buffer changes spread over one poll interval, so the worst phase (just after a poll) is met.
constexpr int kLatencyDelaysMs[] = {1, 11, 21, 31, 41, 51, 61, 71};
constexpr int64_t kNsPerMs = 1000000;
// The release modes in which the camera takes a picture.
constexpr int32_t kReleaseFull = 0x104, kReleaseTwoStep = 0x304, kReleaseTimed0C = 0x0C;
constexpr double kNsPerSecond = 1e9;
constexpr size_t kNameUnits = 261;

bench::SimSession gSession;

bool IsPictureRelease(int32_t mode) {
  return mode == kReleaseFull || mode == kReleaseTwoStep || mode == kReleaseTimed0C;
}

// The camera's own release entry, wrapped to note when the shot is taken: the simulated camera
// puts it into the buffer exactly its configured delay after that. Noted as the call starts, so
// the latency derived from it is never too short.
ZEPK_ReleaseFn gRelease;
std::atomic<int64_t> gShotTakenAt{0};
int32_t BRELON_CDECL NotingRelease(int32_t camera, int32_t mode, ZepkArg a, ZepkArg b) {
  if (IsPictureRelease(mode) && gShotTakenAt == 0) gShotTakenAt = NowNs();
  return gRelease(camera, mode, a, b);
}

void WrapRelease() {
  brelon::CTavelSDK& sdk = *static_cast<brelon::PluginContext*>(gSession.Context())->pSdk;
  plat::LockGuard hold(sdk.SdkLock());
  gRelease = std::exchange(sdk.m_pfnRawRelease, NotingRelease);
}

bool EnsureStarted(benchmark::State& state) {
  if (gSession.Started()) return true;
  if (gSession.Start(kConnectTimeoutMs) < 0) {
    state.SkipWithError("no camera connection");
    return false;
  }
  WrapRelease();
  return true;
}

void SetDelay(int ms) {
  gSession.Control(R"({"cmd":"set","camera":0,"key":"capture.delay_ms","value":)" +
                   std::to_string(ms) + "}");
}

// Queries and reads every pending image as a host does after a shot; the number of files, or
// -1 when a read failed.
int TransferAll(std::vector<uint8_t>& buffer) {
  int files = 0;
  for (;;) {
    uint32_t size = 0;
    uint8_t isRaw = 0;
    if (ReadImage(gSession.Handle(), nullptr, &size, &isRaw, nullptr, nullptr, nullptr, nullptr) !=
            BRELON_OK ||
        size == 0) {
      return files;
    }
    if (buffer.size() < size) buffer.resize(size);
    char16_t name[kNameUnits], file[kNameUnits], folder[kNameUnits];
    if (ReadImage(gSession.Handle(), buffer.data(), &size, &isRaw, nullptr, name, file, folder) !=
        BRELON_OK) {
      return -1;
    }
    ++files;
  }
}

void BM_InitToConnected(benchmark::State& state) {
  gSession.Stop();
  for (auto _ : state) {
    const int64_t ns = gSession.Start(kConnectTimeoutMs);
    gSession.Stop();
    if (ns < 0) {
      state.SkipWithError("no camera connection");
      break;
    }
    state.SetIterationTime(double(ns) / kNsPerSecond);
  }
}

// One poll interval as the platform sleeps it: the floor of every release wait.
void BM_ReleasePoll(benchmark::State& state) {
  for (auto _ : state) {
    const int64_t start = NowNs();
    plat::SleepMs(kReleasePollMs);
    state.SetIterationTime(double(NowNs() - start) / kNsPerSecond);
  }
}

// Each iteration: one shot per delay of the sweep; its time is the worst latency of them.
void BM_ShotLatency(benchmark::State& state) {
  if (!EnsureStarted(state)) return;
  std::vector<uint8_t> buffer;
  for (auto _ : state) {
    int64_t worst = 0;
    for (int delay : kLatencyDelaysMs) {
      SetDelay(delay);
      gShotTakenAt = 0;
      const int32_t result = Shoot(gSession.Handle());
      const int64_t returned = NowNs();
      const int64_t changed = gShotTakenAt + delay * kNsPerMs;
      if (result != BRELON_OK || gShotTakenAt == 0 || changed > returned ||
          TransferAll(buffer) <= 0) {
        state.SkipWithError("shot without a new image");
        return;
      }
      worst = std::max(worst, returned - changed);
    }
    state.SetIterationTime(double(worst) / kNsPerSecond);
  }
}

// Each iteration: kBurstShots shots, each followed by the transfer of its RAW and JPEG.
void BM_Burst(benchmark::State& state) {
  if (!EnsureStarted(state)) return;
  SetDelay(kBurstDelayMs);
  std::vector<uint8_t> buffer;
  int files = 0;
  for (auto _ : state) {
    const int64_t start = NowNs();
    for (int shot = 0; shot < kBurstShots; ++shot) {
      const int32_t result = Shoot(gSession.Handle());
      const int transferred = TransferAll(buffer);
      if (result != BRELON_OK || transferred <= 0) {
        state.SkipWithError("shot without a new image");
        return;
      }
      files += transferred;
    }
    state.SetIterationTime(double(NowNs() - start) / kNsPerSecond);
  }
  state.counters["files"] = benchmark::Counter(files, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_InitToConnected)
    ->Iterations(kInitsPerRun)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReleasePoll)->Iterations(kPollsPerRun)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShotLatency)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Burst)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The simulator's default camera (RAW+JPEG, 1 MB raw) with the trace off.
  if (!gSession.Prepare("brelon-session-bench", R"({"cameras":[{}]})")) return 1;
  benchmark::RunSpecifiedBenchmarks();
  gSession.Cleanup();
  benchmark::Shutdown();
  return 0;
}
