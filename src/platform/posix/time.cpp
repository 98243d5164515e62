// Clocks, sleeps and the test time scale for POSIX. While the scale has never been changed the
// clocks are the system's; afterwards they run from a base point at `factor` times the speed of
// the monotonic clock, so that compressed tests see ordered, monotonic time.
#include <sched.h>
#include <time.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "platform/time_scale.h"

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

void SleepNs(int64_t ns) {
  timespec left{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

namespace timescale {

int64_t MonotonicNow() {
  return MonotonicNs();
}

int64_t ScaledTicks(const State& s) {
  if (!s.scaled) return SystemTicks();
  // Split so that neither a day of elapsed time at a large factor overflows nor the factor
  // magnifies the rounding to whole ticks.
  int64_t elapsedNs = MonotonicNs() - s.baseMono;
  int64_t factor = s.factor;
  return s.baseTicks + elapsedNs / kNsPerTick * factor +
         elapsedNs % kNsPerTick * factor / kNsPerTick;
}

}  // namespace timescale

namespace posix {

int64_t ScaledTimeoutNs(uint32_t ms) {
  if (ms == kInfinite) return -1;
  return int64_t{ms} * kNsPerMs / int64_t{timescale::g_factor.load()};
}

Deadline StartWait(uint32_t timeoutMs) {
  Deadline deadline{ScaledTimeoutNs(timeoutMs), {}};
  if (deadline.ns > 0) {
    int64_t at = MonotonicNs() + deadline.ns;
    deadline.at = {static_cast<time_t>(at / kNsPerSecond), static_cast<long>(at % kNsPerSecond)};
  }
  return deadline;
}

}  // namespace posix

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
  return timescale::ScaledTicks(timescale::Read());
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
