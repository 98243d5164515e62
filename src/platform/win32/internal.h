// Helpers shared by the Windows backend files and not part of the platform API: the time-scale
// arithmetic that sleeps and waits apply to their nominal durations, the one timed wait on a
// kernel object that events and thread joins both use, and the library's module handle.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace plat::win32 {

// The wait length in milliseconds after the time scale. INFINITE and 0 pass unchanged; a
// positive length never shrinks to 0, so a scaled wait still gives up the processor.
uint32_t ScaledTimeoutMs(uint32_t ms);

// Waits for the kernel object `handle` (a HANDLE) for the nominal `timeoutMs`.
WaitResult WaitHandle(void* handle, uint32_t timeoutMs);

// Called by the library's entry point with its module instance (an HMODULE), whose resources
// hold the warning window's dialog and strings.
void RecordLibraryModule(void* instance);

}  // namespace plat::win32
