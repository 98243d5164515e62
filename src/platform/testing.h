// Hooks for tests only: compressing time, and seeing and doing what a user of the warning window
// sees and does. They live in a library of their own (brelon_platform_testing) that test
// programs link and the product never does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace plat {

// ---- Time scale ----------------------------------------------------------------------------
// With a scale of N every sleep and wait lasts 1/N of its nominal length and every clock
// advances N times faster, so code written against real seconds runs in milliseconds with its
// ordering intact. The default scale is 1; 0 counts as 1.
void SetTimeScale(uint32_t factor);
uint32_t TimeScale();

// ---- Warning window ------------------------------------------------------------------------
// `item` is 0 for the caption or a control id; the text is copied to `out` (caller-owned,
// `capacity` units with terminator). False when there is no such window or item.
bool WarningWindowText(Window* window, int32_t item, char16_t* out, size_t capacity);
// Presses the control `controlId` as a click would (the window's thread handles it).
void WarningWindowPress(Window* window, int32_t controlId);
// Asks the window to close as its title-bar button would.
void WarningWindowUserClose(Window* window);
// The warning window this process has now (the topmost, if several), or null: the way a test
// finds a window whose owner keeps it to itself.
Window* WarningWindowFind();

}  // namespace plat
