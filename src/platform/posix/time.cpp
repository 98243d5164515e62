// Clocks, sleeps and the test time scale for POSIX. While the scale has never been changed the
// clocks are the system's; afterwards they run from a base point at `factor` times the speed of
// the monotonic clock, so that compressed tests see ordered, monotonic time.
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace plat {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kNsPerTick = 100;
constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;

int64_t ToNs(const timespec& ts) {
  return int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
}

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ToNs(ts);
}

int64_t SystemTicks() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ToNs(ts) / kNsPerTick;
}

// The scale state is read far more often than written, so it sits behind a sequence counter:
// odd while SetTimeScale rewrites it, readers retry when it moved under them. Every field is
// atomic so that the race is a benign one the thread sanitizer can see through.
std::atomic<uint32_t> g_sequence{0};
std::atomic<bool> g_scaled{false};  // false: clocks are the system's own
std::atomic<uint32_t> g_factor{1};
std::atomic<int64_t> g_baseMonoNs{0};  // monotonic clock at the last rebase
std::atomic<int64_t> g_baseTicks{0};   // scaled clock at the last rebase

struct ScaleState {
  bool scaled;
  uint32_t factor;
  int64_t baseMonoNs;
  int64_t baseTicks;
};

ScaleState ReadState() {
  for (;;) {
    uint32_t before = g_sequence.load();
    if (before & 1u) {
      sched_yield();
      continue;
    }
    ScaleState s{g_scaled.load(), g_factor.load(), g_baseMonoNs.load(), g_baseTicks.load()};
    if (g_sequence.load() == before) return s;
  }
}

int64_t ScaledTicks(const ScaleState& s) {
  if (!s.scaled) return SystemTicks();
  // Split so that neither a day of elapsed time at a large factor overflows nor the factor
  // magnifies the rounding to whole ticks.
  int64_t elapsedNs = MonotonicNs() - s.baseMonoNs;
  int64_t factor = s.factor;
  return s.baseTicks + elapsedNs / kNsPerTick * factor +
         elapsedNs % kNsPerTick * factor / kNsPerTick;
}

void SleepNs(int64_t ns) {
  timespec left{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

namespace posix {

int64_t ScaledTimeoutNs(uint32_t ms) {
  if (ms == kInfinite) return -1;
  return int64_t{ms} * kNsPerMs / int64_t{g_factor.load()};
}

timespec MonotonicDeadline(int64_t ns) {
  int64_t at = MonotonicNs() + ns;
  return timespec{static_cast<time_t>(at / kNsPerSecond), static_cast<long>(at % kNsPerSecond)};
}

}  // namespace posix

void SetTimeScale(uint32_t factor) {
  if (factor == 0) factor = 1;
  uint32_t seq = g_sequence.load();
  while ((seq & 1u) || !g_sequence.compare_exchange_weak(seq, seq + 1)) {
    sched_yield();
    seq = g_sequence.load();
  }
  // Holding the odd sequence value makes this the only writer.
  ScaleState old{g_scaled.load(), g_factor.load(), g_baseMonoNs.load(), g_baseTicks.load()};
  if (old.scaled || factor != 1) {
    // Rebase at the current scaled time, so the clock never jumps when the speed changes.
    int64_t nowTicks = ScaledTicks(old);
    g_baseMonoNs.store(MonotonicNs());
    g_baseTicks.store(nowTicks);
    g_factor.store(factor);
    g_scaled.store(true);
  }
  g_sequence.store(seq + 2);
}

uint32_t TimeScale() {
  return g_factor.load();
}

void SleepMs(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  SleepNs(posix::ScaledTimeoutNs(ms));
}

void YieldThread() {
  sched_yield();
}

int64_t NowTicks() {
  return ScaledTicks(ReadState());
}

// Not time(): it reads a coarser clock that can lag a second behind NowTicks at a boundary.
int64_t NowSeconds() {
  return NowTicks() / kTicksPerSecond;
}

LocalTime NowLocal() {
  int64_t ticks = NowTicks();
  time_t seconds = static_cast<time_t>(ticks / kTicksPerSecond);
  tm parts{};
  localtime_r(&seconds, &parts);
  return LocalTime{parts.tm_mon + 1, parts.tm_mday,
                   parts.tm_hour,    parts.tm_min,
                   parts.tm_sec,     static_cast<int>(ticks % kTicksPerSecond / 10'000)};
}

}  // namespace plat
