// The shutter-speed table: 374 constant entries of (camera code, exposure time, label), looked
// up by exact code, first match. Labels with the seconds mark end in a double-quote character.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brelon {

struct ShutterSpeedEntry {
  int32_t code;
  int64_t exposureMicros;  // -1 for bulb
  const char16_t* label;
};

constexpr size_t kShutterTableSize = 374;

// The whole table in order (entry 1 is index 0).
const ShutterSpeedEntry* ShutterTable();

// First entry whose code equals `code`, or null.
const ShutterSpeedEntry* FindShutterSpeed(int32_t code);
// Label of the first matching entry, or null.
const char16_t* ShutterLabel(int32_t code);
// Exposure time of the first matching entry; false when the code is absent.
bool ShutterExposureMicros(int32_t code, int64_t* micros);

}  // namespace brelon
