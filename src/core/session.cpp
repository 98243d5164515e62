// Session thread, first form: it only waits for the stop event, so that Init and Exit have a
// real thread to start and stop before camera handling is added.
#include "core/session.h"

namespace brelon {

uint32_t ThreadSession(void* context) {
  auto* ctx = static_cast<PluginContext*>(context);
  plat::EventWait(ctx->hStopEvent, plat::kInfinite);
  return 0;
}

int32_t SetMediaRecord(PluginContext* ctx, uint8_t, uint8_t) { return ctx ? 1 : 0; }

}  // namespace brelon
