// Clocks, sleeps and the test time scale for Windows. While the scale has never been changed the
// clocks are the system's; afterwards they run from a base point at `factor` times the speed of
// the performance counter, so that compressed tests see ordered, monotonic time.
#include <windows.h>

#include "platform/platform.h"
#include "platform/time_scale.h"
#include "platform/win32/internal.h"

namespace plat {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kEpochDifference = 116'444'736'000'000'000;  // 1601-01-01 to 1970-01-01

int64_t SystemTicks() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  ULARGE_INTEGER value;
  value.LowPart = ft.dwLowDateTime;
  value.HighPart = ft.dwHighDateTime;
  return static_cast<int64_t>(value.QuadPart) - kEpochDifference;
}

// Performance-counter reading in 100-ns ticks; the split keeps the multiplication in range.
int64_t MonotonicTicks() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  int64_t c = counter.QuadPart;
  return c / frequency * kTicksPerSecond + c % frequency * kTicksPerSecond / frequency;
}

}  // namespace

namespace timescale {

int64_t MonotonicNow() {
  return MonotonicTicks();
}

int64_t ScaledTicks(const State& s) {
  if (!s.scaled) return SystemTicks();
  return s.baseTicks + (MonotonicTicks() - s.baseMono) * int64_t{s.factor};
}

}  // namespace timescale

namespace win32 {

uint32_t ScaledTimeoutMs(uint32_t ms) {
  uint32_t factor = timescale::g_factor.load();
  if (ms == kInfinite || ms == 0 || factor <= 1) return ms;
  uint32_t scaled = static_cast<uint32_t>((uint64_t{ms} + factor / 2) / factor);
  return scaled == 0 ? 1 : scaled;
}

}  // namespace win32

void SleepMs(uint32_t ms) {
  Sleep(win32::ScaledTimeoutMs(ms));
}

void YieldThread() {
  Sleep(0);
}

int64_t NowTicks() {
  return timescale::ScaledTicks(timescale::Read());
}

int64_t NowSeconds() {
  return NowTicks() / kTicksPerSecond;
}

LocalTime NowLocal() {
  const timescale::State s = timescale::Read();
  SYSTEMTIME st;
  if (!s.scaled) {
    GetLocalTime(&st);
  } else {
    ULARGE_INTEGER value;
    value.QuadPart = static_cast<ULONGLONG>(timescale::ScaledTicks(s) + kEpochDifference);
    FILETIME utc{value.LowPart, value.HighPart};
    FILETIME local;
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &st);
  }
  return LocalTime{st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace plat
