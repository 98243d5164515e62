// Helpers shared by the POSIX backend files and not part of the platform API: the time-scale
// arithmetic that sleeps and waits apply to their nominal durations, and the one timed wait on
// a flag under a condition variable that events and thread joins both use.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <ctime>

#include "platform/platform.h"

namespace plat::posix {

// The nominal wait length in nanoseconds after the time scale; -1 for kInfinite, 0 for 0.
int64_t ScaledTimeoutNs(uint32_t ms);

// When a wait gives up: `ns` as ScaledTimeoutNs gives it, and for a positive one the absolute
// CLOCK_MONOTONIC time that a timed condition wait takes.
struct Deadline {
  int64_t ns;
  timespec at;
};
// Fixed when the wait starts, before its mutex is taken, so the lock's own wait counts too.
Deadline StartWait(uint32_t timeoutMs);

// Initialises `cond` on the monotonic clock the deadlines are measured on; 0 on success.
int InitMonotonicCond(pthread_cond_t* cond);

// With `mutex` held, waits on `cond` until `flag` is set (kSignalled), the deadline passes
// (kTimeout) or the wait fails (kFailed). The mutex is still held on return.
WaitResult WaitForFlag(pthread_cond_t* cond, pthread_mutex_t* mutex, const bool& flag,
                       const Deadline& deadline);

}  // namespace plat::posix
