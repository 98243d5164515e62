// The open camera's card-recording mode kept in line with the settings: the session thread
// applies it on every watch cycle, the property object whenever the host writes the settings.
#pragma once

#include <cstdint>

#include "base/context.h"

namespace brelon {

// Applies the card-recording choice to the open camera. Runs on the session thread and on host
// threads (the property object); MediaRecordLock serialises them. `ctx` is borrowed. Returns 1
// when nothing needed doing or the mode is right now (also when the camera answered busy), 0
// when setting it failed.
int32_t SetMediaRecord(PluginContext* ctx, uint8_t cardJpeg, uint8_t cardRaw);

}  // namespace brelon
