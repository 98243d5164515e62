// The session thread of a plug-in context: it owns the camera connection (detect, open, watch,
// lose) and the steps it shares with the property object.
#pragma once

#include <cstdint>

#include "core/context.h"

namespace brelon {

// Thread procedure started by Init with the context as argument; returns 0.
uint32_t ThreadSession(void* context);

// Applies the card-recording choice to the open camera. Runs on the session thread and on host
// threads (the property object). Returns 1 when nothing needed doing or the mode is right now,
// 0 when setting it failed.
int32_t SetMediaRecord(PluginContext* ctx, uint8_t cardJpeg, uint8_t cardRaw);

}  // namespace brelon
