// Clocks, sleeps and the test time scale for Windows. While the scale has never been changed the
// clocks are the system's; afterwards they run from a base point at `factor` times the speed of
// the performance counter, so that compressed tests see ordered, monotonic time.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"
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

// The scale state is read far more often than written, so it sits behind a sequence counter:
// odd while SetTimeScale rewrites it, readers retry when it moved under them.
std::atomic<uint32_t> g_sequence{0};
std::atomic<bool> g_scaled{false};  // false: clocks are the system's own
std::atomic<uint32_t> g_factor{1};
std::atomic<int64_t> g_baseMono{0};   // performance counter (ticks) at the last rebase
std::atomic<int64_t> g_baseTicks{0};  // scaled clock at the last rebase

struct ScaleState {
  bool scaled;
  uint32_t factor;
  int64_t baseMono;
  int64_t baseTicks;
};

ScaleState ReadState() {
  for (;;) {
    uint32_t before = g_sequence.load();
    if (before & 1u) {
      Sleep(0);
      continue;
    }
    ScaleState s{g_scaled.load(), g_factor.load(), g_baseMono.load(), g_baseTicks.load()};
    if (g_sequence.load() == before) return s;
  }
}

int64_t ScaledTicks(const ScaleState& s) {
  if (!s.scaled) return SystemTicks();
  return s.baseTicks + (MonotonicTicks() - s.baseMono) * int64_t{s.factor};
}

}  // namespace

namespace win32 {

uint32_t ScaledTimeoutMs(uint32_t ms) {
  uint32_t factor = g_factor.load();
  if (ms == kInfinite || ms == 0 || factor <= 1) return ms;
  uint32_t scaled = static_cast<uint32_t>((uint64_t{ms} + factor / 2) / factor);
  return scaled == 0 ? 1 : scaled;
}

}  // namespace win32

void SetTimeScale(uint32_t factor) {
  if (factor == 0) factor = 1;
  uint32_t seq = g_sequence.load();
  while ((seq & 1u) || !g_sequence.compare_exchange_weak(seq, seq + 1)) {
    Sleep(0);
    seq = g_sequence.load();
  }
  // Holding the odd sequence value makes this the only writer.
  ScaleState old{g_scaled.load(), g_factor.load(), g_baseMono.load(), g_baseTicks.load()};
  if (old.scaled || factor != 1) {
    // Rebase at the current scaled time, so the clock never jumps when the speed changes.
    int64_t nowTicks = ScaledTicks(old);
    g_baseMono.store(MonotonicTicks());
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
  Sleep(win32::ScaledTimeoutMs(ms));
}

void YieldThread() {
  Sleep(0);
}

int64_t NowTicks() {
  return ScaledTicks(ReadState());
}

int64_t NowSeconds() {
  return NowTicks() / kTicksPerSecond;
}

LocalTime NowLocal() {
  ScaleState s = ReadState();
  SYSTEMTIME st;
  if (!s.scaled) {
    GetLocalTime(&st);
  } else {
    ULARGE_INTEGER value;
    value.QuadPart = static_cast<ULONGLONG>(ScaledTicks(s) + kEpochDifference);
    FILETIME utc{value.LowPart, value.HighPart};
    FILETIME local;
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &st);
  }
  return LocalTime{st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace plat
