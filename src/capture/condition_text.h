// The text rules of the camera-condition record: aperture, white-balance and colour-temperature
// texts and the kind of a shutter-speed label. Pure rules, kept apart from the export so that
// they can be tested without a camera.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brelon {

// Every text of the condition record is a fixed array of this many UTF-16 units.
constexpr size_t kConditionTextUnits = 256;

// Shutter text kinds stored in the record.
constexpr int32_t kShutterKindFraction = 0;  // "1/..."
constexpr int32_t kShutterKindSeconds = 1;   // ends in the seconds mark
constexpr int32_t kShutterKindOther = 2;     // "BULB"

// White-balance modes the report names.
constexpr int32_t kWbAuto = 0x0002;
constexpr int32_t kWbDaylight = 0x0004;
constexpr int32_t kWbIncandescent = 0x0006;
constexpr int32_t kWbUnderwater = 0x0008;
constexpr int32_t kWbFluorescent1 = 0x8001;
constexpr int32_t kWbFluorescent2 = 0x8002;
constexpr int32_t kWbFluorescent3 = 0x8003;
constexpr int32_t kWbShade = 0x8006;
constexpr int32_t kWbColorTemperature = 0x8007;
constexpr int32_t kWbCustom1 = 0x8008;
constexpr int32_t kWbCustom2 = 0x8009;
constexpr int32_t kWbCustom3 = 0x800A;

// Writes the display text of an aperture given in hundredths of an F-number into `out`
// (caller-owned, `capacity` units, always terminated when capacity > 0). Pure; any thread.
void FormatApertureText(int32_t hundredths, char16_t* out, size_t capacity);

// The fixed label of a white-balance mode; the empty text for the colour-temperature mode
// (whose text is made from the kelvin value) and for modes outside the table. Static storage;
// pure; any thread.
const char16_t* WhiteBalanceLabel(int32_t mode);

// Writes "<kelvin>K" into `out` (caller-owned, `capacity` units, terminated). Pure; any thread.
void FormatColorTemperature(int32_t kelvin, char16_t* out, size_t capacity);

// The text kind of a shutter-speed label (borrowed, terminated). Pure; any thread.
int32_t ShutterTextKind(const char16_t* label);

}  // namespace brelon
