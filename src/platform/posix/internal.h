// Helpers shared by the POSIX backend files and not part of the platform API: the time-scale
// arithmetic that sleeps and waits apply to their nominal durations, and the monotonic clock
// their deadlines are measured on.
#pragma once

#include <cstdint>
#include <ctime>

namespace plat::posix {

// The nominal wait length in nanoseconds after the time scale; -1 for kInfinite, 0 for 0.
int64_t ScaledTimeoutNs(uint32_t ms);

// CLOCK_MONOTONIC now plus `ns`, as the absolute deadline a timed condition wait takes.
timespec MonotonicDeadline(int64_t ns);

}  // namespace plat::posix
