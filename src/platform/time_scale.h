// The test time scale both backends share: the factor and the base point the scaled clock runs
// from, published behind a sequence counter. Each backend supplies its monotonic reading and the
// scaled clock for a state; only the backends' time.cpp and the test hooks include this header.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace plat::timescale {

struct State {
  bool scaled;  // false: clocks are the system's own
  uint32_t factor;
  int64_t baseMono;   // the backend's monotonic reading at the last rebase, in its own unit
  int64_t baseTicks;  // scaled clock at the last rebase
};

// Supplied by the backend.
int64_t MonotonicNow();
int64_t ScaledTicks(const State& state);

// The state is read far more often than written, so it sits behind a sequence counter: odd
// while Set rewrites it, readers retry when it moved under them. Every field is atomic so that
// the race is a benign one the thread sanitizer can see through.
inline std::atomic<uint32_t> g_sequence{0};
inline std::atomic<bool> g_scaled{false};
inline std::atomic<uint32_t> g_factor{1};
inline std::atomic<int64_t> g_baseMono{0};
inline std::atomic<int64_t> g_baseTicks{0};

inline State Load() {
  return State{g_scaled.load(), g_factor.load(), g_baseMono.load(), g_baseTicks.load()};
}

inline State Read() {
  for (;;) {
    uint32_t before = g_sequence.load();
    if (before & 1u) {
      YieldThread();
      continue;
    }
    State s = Load();
    if (g_sequence.load() == before) return s;
  }
}

inline void Set(uint32_t factor) {
  if (factor == 0) factor = 1;
  uint32_t seq = g_sequence.load();
  while ((seq & 1u) || !g_sequence.compare_exchange_weak(seq, seq + 1)) {
    YieldThread();
    seq = g_sequence.load();
  }
  // Holding the odd sequence value makes this the only writer.
  State old = Load();
  if (old.scaled || factor != 1) {
    // Rebase at the current scaled time, so the clock never jumps when the speed changes.
    int64_t nowTicks = ScaledTicks(old);
    g_baseMono.store(MonotonicNow());
    g_baseTicks.store(nowTicks);
    g_factor.store(factor);
    g_scaled.store(true);
  }
  g_sequence.store(seq + 2);
}

}  // namespace plat::timescale
