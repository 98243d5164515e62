// Helpers shared by the Windows backend files and not part of the platform API: the time-scale
// arithmetic that sleeps and waits apply to their nominal durations.
#pragma once

#include <cstdint>

namespace plat::win32 {

// The wait length in milliseconds after the time scale. INFINITE and 0 pass unchanged; a
// positive length never shrinks to 0, so a scaled wait still gives up the processor.
uint32_t ScaledTimeoutMs(uint32_t ms);

}  // namespace plat::win32
