// The time-scale hooks over the state both backends' clocks read; the warning-window hooks
// are in each backend's testing_window.cpp.
#include "platform/testing.h"

#include "platform/time_scale.h"

namespace plat {

void SetTimeScale(uint32_t factor) {
  timescale::Set(factor);
}

uint32_t TimeScale() {
  return timescale::g_factor.load();
}

}  // namespace plat
