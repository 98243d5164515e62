// How the shutter release reads a camera's release modes: the press group in bits 8-15 of each
// mode, the modes chosen from the camera's list, and the models that also need the host count
// set on release. Pure rules, kept apart from the export so that they can be tested alone.
#pragma once

#include <cstdint>

namespace brelon {

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

}  // namespace brelon
