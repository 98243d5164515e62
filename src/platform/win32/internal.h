// Helpers shared by the Windows backend files and not part of the platform API: the time-scale
// arithmetic that sleeps and waits apply to their nominal durations, and the one timed wait on
// a kernel object that events and thread joins both use.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace plat::win32 {

// The wait length in milliseconds after the time scale. INFINITE and 0 pass unchanged; a
// positive length never shrinks to 0, so a scaled wait still gives up the processor.
uint32_t ScaledTimeoutMs(uint32_t ms);

// Waits for the kernel object `handle` (a HANDLE) for the nominal `timeoutMs`.
WaitResult WaitHandle(void* handle, uint32_t timeoutMs);

}  // namespace plat::win32
