// Internals of the shutter release and the camera-condition report: the release-mode choice,
// the camera property codes Shoot sends, and the pure text rules behind the condition record,
// kept apart from the exports so that they can be tested without a camera.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brelon {

// ---- Shutter release ------------------------------------------------------------------------

// Capacity of the release-mode list; a camera must report from 1 to kReleaseModeCapacity - 1.
constexpr int32_t kReleaseModeCapacity = 512;

// Bits 8-15 of a release mode say which press it performs.
constexpr int32_t kReleaseGroupShift = 8;
constexpr int32_t kReleaseGroupMask = 0xFF;
constexpr int32_t kReleaseGroupOneStep = 0x01;
constexpr int32_t kReleaseGroupHalfPress = 0x02;
constexpr int32_t kReleaseGroupFullPress = 0x03;
// Bit 2 marks a mode outside the press groups as one that completes the sequence by itself.
constexpr int32_t kReleaseExtraBit = 0x04;
// The one-step mode starts above every real mode so that "none found" stays recognisable.
constexpr int32_t kReleaseNoOneStep = 0xFFFF;
constexpr int32_t kReleaseNone = 0;

// Camera priority modes: in mode 1 the camera's own controls win, mode 2 lets the computer
// release the shutter.
constexpr int32_t kPriorityModeCamera = 1;
constexpr int32_t kPriorityModeHost = 2;

// Camera properties sent around a release while the host keeps the camera in the 0x3301 state.
constexpr int32_t kPropEnterMode3301 = 0x3301;
constexpr int32_t kPropLeaveMode3301 = 0x3302;
constexpr int32_t kPropHostCount = 0x3327;
constexpr int32_t kHostCountSingle = 1;

// The release modes chosen from a camera's list.
struct ReleaseModeChoice {
  int32_t oneStep = kReleaseNoOneStep;  // smallest mode of group 0x01
  int32_t halfPress = kReleaseNone;     // smallest mode of group 0x02
  int32_t fullPress = kReleaseNone;     // smallest mode of group 0x03
  int32_t extra = kReleaseNone;         // last mode outside 0x01-0x03 with bit 2 set
};

// Scans the first `count` entries of `modes` (caller-owned, read only). "Smallest" compares as
// signed 32-bit numbers. Pure; any thread.
ReleaseModeChoice ChooseReleaseModes(const int32_t* modes, int32_t count);

// True for the models that also need property 0x3327 when Shoot leaves the 0x3301 state.
// `model` is the NUL-terminated (or 256-byte) model text of the device information, borrowed;
// the comparison is exact and case-sensitive. Pure; any thread.
bool NeedsHostCountOnRelease(const char* model);

// ---- Camera condition report ----------------------------------------------------------------

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
