// The camera models the plug-in treats apart, each named once with what sets it apart: which
// ones are medium format, need the host count on release, get their own warning wording.
// Model texts are the device information's, compared exactly and case-sensitively.
#pragma once

#include <cstdint>
#include <string_view>

namespace brelon {

// The maker's name in the device information.
inline constexpr char kMakerName[] = "ORVANTIS";

// Refused right after opening while the host accepts mode 4 (kOptionAcceptMode4).
inline constexpr char kModelRefusedInMode4[] = "Lumora K9Mark";

enum ModelTrait : uint32_t {
  kModelMediumFormat = 1u << 0,           // the only models opened under kOptionMediumFormatOnly
  kModelHostCountOnRelease = 1u << 1,     // 0x3327 is set to 1 when a release leaves 0x3301
  kModelOwnWarningWording = 1u << 2,      // the USB-mode warning has texts of its own for it
  kModelMediaRecordAsIs = 1u << 3,        // takes a media-record change whatever 0x3327 holds
  kModelWarningFallback = 1u << 4,        // the warning's model when none answers the probe
  kModelWarningMediumFallback = 1u << 5,  // the same under kOptionMediumFormatOnly
};

struct CameraModel {
  const char* name;
  uint32_t traits;  // ModelTrait bits
};

// In the order the USB-mode warning probes for a model. The medium-format models come first, so
// that with kOptionMediumFormatOnly a prefix of the list is probed.
inline constexpr CameraModel kCameraModels[] = {
    {"VMZ 40A", kModelMediumFormat | kModelHostCountOnRelease | kModelWarningMediumFallback},
    {"VMZ 40B", kModelMediumFormat | kModelHostCountOnRelease},
    {"VMZ 200", kModelMediumFormat | kModelHostCountOnRelease},
    {"K-N1", kModelHostCountOnRelease},
    {"K-Rel2", kModelHostCountOnRelease},
    {"K-Rel3", kModelHostCountOnRelease},
    {"K-M3", kModelHostCountOnRelease},
    {"K-M2", kModelHostCountOnRelease | kModelWarningFallback},
    {"K-M1", kModelOwnWarningWording | kModelMediaRecordAsIs},
};

// True when `model` is listed with every bit of `traits`. Pure; any thread.
constexpr bool ModelHas(std::string_view model, uint32_t traits) {
  for (const CameraModel& listed : kCameraModels) {
    if (model == listed.name) return (listed.traits & traits) == traits;
  }
  return false;
}

// The first listed model with every bit of `traits`, or null. Pure; any thread.
constexpr const char* FirstModelWith(uint32_t traits) {
  for (const CameraModel& listed : kCameraModels) {
    if ((listed.traits & traits) == traits) return listed.name;
  }
  return nullptr;
}

}  // namespace brelon
