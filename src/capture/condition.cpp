// GetCameraCondition: asks the connected camera for its exposure settings, turns them into the
// display texts of the camera-condition record kept in the context, and hands the host a copy.
// Also the text rules for aperture, white balance and shutter-speed kind.
#include <cstdio>
#include <cstring>

#include "base/context.h"
#include "base/log.h"
#include "base/text.h"
#include "brelon/brelon.h"
#include "capture/condition_text.h"
#include "sdk/loader.h"
#include "sdk/shutter_table.h"

namespace brelon {
namespace {

constexpr char kConditionFunction[] = "GetCameraCondition";

// The log records name fixed source lines so that field reports stay comparable across builds.
constexpr int kLineSensitivity = 4255;
constexpr int kLineShutterSpeed = 4293;
constexpr int kLineAperture = 4330;
constexpr int kLineColorTemp = 4374;
constexpr int kLineWbMode = 4394;
constexpr int kLineExposureBias = 4406;

constexpr char kMsgSensitivity[] =
    "  brnGetCameraCondition:m_pfnGetSensitivity error lAPICode=[0x%08x] lErrCode=[0x%08x]";
constexpr char kMsgShutterSpeed[] =
    "  brnGetCameraCondition:m_pfnGetShutterSpeed error lAPICode=[0x%08x] lErrCode=[0x%08x]";
constexpr char kMsgAperture[] =
    "  brnGetCameraCondition:m_pfnGetAperture error lAPICode=[0x%08x] lErrCode=[0x%08x]";
constexpr char kMsgColorTemp[] =
    "  brnGetCameraCondition:m_pfnGetWBColorTemp error lAPICode=[0x%08x] lErrCode=[0x%08x]";
constexpr char kMsgWbMode[] =
    "  brnGetCameraCondition:m_pfnGetWBMode error lAPICode=[0x%08x] lErrCode=[0x%08x]";
constexpr char kMsgExposureBias[] =
    "  brnGetCameraCondition:m_pfnGetExposureBias error lAPICode=[0x%08x] lErrCode=[0x%08x]";

constexpr int32_t kHundredths = 100;
constexpr int32_t kTenths = 10;
// From F10 on a whole F-number is shown without ".0", as photographers write it.
constexpr int32_t kWholeWithoutDecimal = 10;

constexpr char16_t kSlash = u'/';
constexpr char16_t kSecondsMark = u'"';
constexpr char16_t kWbUnknownText[] = u"-";

// The formatted texts here are plain ASCII, so widening unit by unit is exact.
void CopyAscii(char16_t* out, size_t capacity, const char* src) {
  if (capacity == 0) return;
  size_t i = 0;
  for (; src[i] != 0 && i + 1 < capacity; ++i) out[i] = static_cast<char16_t>(src[i]);
  out[i] = 0;
}

// One refresh of the record. The error number survives from getter to getter because only
// ZEPK_GetErrorNumber may change it; the first failure with a non-zero number sets the result.
class ConditionRefresh {
 public:
  ConditionRefresh(CTavelSDK& sdk, int32_t camera, BrelonCondition& record)
      : sdk_(sdk), camera_(camera), record_(record) {}

  int32_t Run() {
    Sensitivity();
    ShutterSpeed();
    Aperture();
    WhiteBalance();
    ExposureBias();
    return result_;
  }

 private:
  // The record is byte-packed inside the context, so its numbers may sit unaligned: the SDK
  // writes into an aligned local that is then stored back, whatever the getter returned.
  using Getter = int32_t(BRELON_CDECL*)(int32_t camera, int32_t* value);
  int32_t Get(Getter getter, int32_t BrelonCondition::*field) {
    int32_t value = record_.*field;
    const int32_t result = getter(camera_, &value);
    record_.*field = value;
    return result;
  }

  void ReportFailure(int line, const char* message) {
    sdk_.m_pfnGetErrorNumber(camera_, &apiCode_, &errorNumber_);
    WriteLog(kCoreSource, kConditionFunction, line, message, static_cast<unsigned>(apiCode_),
             static_cast<unsigned>(errorNumber_));
  }

  void Settle() {
    if (result_ == BRELON_OK && errorNumber_ != 0) {
      result_ = errorNumber_ == ZEPK_ERR_BUSY ? BRELON_E_BUSY : BRELON_E_SDK_CALL;
    }
  }

  void Sensitivity() {
    {
      plat::LockGuard guard(Locks().cameraName);
      record_.sensitivityResult = Get(sdk_.m_pfnGetSensitivity, &BrelonCondition::sensitivity);
      if (record_.sensitivityResult != ZEPK_OK) ReportFailure(kLineSensitivity, kMsgSensitivity);
    }
    Settle();
  }

  void ShutterSpeed() {
    {
      plat::LockGuard guard(Locks().cameraName);
      int32_t code = record_.shutterCode;
      int32_t bulb = record_.bulb;
      record_.shutterResult = sdk_.m_pfnGetShutterSpeed(camera_, &code, &bulb);
      record_.shutterCode = code;
      record_.bulb = bulb;
      if (record_.shutterResult != ZEPK_OK) {
        ReportFailure(kLineShutterSpeed, kMsgShutterSpeed);
      } else if (const ShutterSpeedEntry* entry = FindShutterSpeed(record_.shutterCode)) {
        record_.shutterTextKind = ShutterTextKind(entry->label);
        CopyText(record_.shutterText, kConditionTextUnits, entry->label);
      } else {
        // An unknown code keeps the previous kind: the host still lays the text out the same.
        record_.shutterText[0] = 0;
      }
    }
    Settle();
  }

  void Aperture() {
    {
      plat::LockGuard guard(Locks().cameraName);
      record_.apertureResult = Get(sdk_.m_pfnGetAperture, &BrelonCondition::aperture);
      if (record_.apertureResult != ZEPK_OK) {
        ReportFailure(kLineAperture, kMsgAperture);
      } else {
        FormatApertureText(record_.aperture, record_.apertureText, kConditionTextUnits);
      }
    }
    Settle();
  }

  void WhiteBalance() {
    {
      plat::LockGuard guard(Locks().cameraName);
      CopyText(record_.wbText, kConditionTextUnits, kWbUnknownText);
      record_.wbModeResult = Get(sdk_.m_pfnGetWBMode, &BrelonCondition::wbMode);
      if (record_.wbModeResult != ZEPK_OK) {
        record_.wbText[0] = 0;
        ReportFailure(kLineWbMode, kMsgWbMode);
      } else {
        // Read even when the mode does not show it: the host displays the stored value.
        record_.colorTempResult = Get(sdk_.m_pfnGetWBColorTemp, &BrelonCondition::colorTemp);
        if (record_.wbMode != kWbColorTemperature) {
          CopyText(record_.wbText, kConditionTextUnits, WhiteBalanceLabel(record_.wbMode));
        } else if (record_.colorTempResult == ZEPK_OK) {
          FormatColorTemperature(record_.colorTemp, record_.wbText, kConditionTextUnits);
        } else {
          ReportFailure(kLineColorTemp, kMsgColorTemp);
        }
      }
    }
    Settle();
  }

  void ExposureBias() {
    {
      plat::LockGuard guard(Locks().cameraName);
      record_.exposureBiasResult = Get(sdk_.m_pfnGetExposureBias, &BrelonCondition::exposureBias);
      if (record_.exposureBiasResult != ZEPK_OK) {
        ReportFailure(kLineExposureBias, kMsgExposureBias);
      }
    }
    Settle();
  }

  CTavelSDK& sdk_;
  int32_t camera_;
  BrelonCondition& record_;  // the context's record; touched only under CameraNameLock
  int32_t apiCode_ = 0;
  int32_t errorNumber_ = 0;
  int32_t result_ = BRELON_OK;
};

}  // namespace

// Whole numbers, tenths and hundredths each get their shortest exact form. The hundredths
// 1-9 are zero-padded ("%d.%02d", F1.05 -> "1.05") so that the text never reads as a
// different F-number. Negative values, which no lens reports, keep the sign in front of the
// text of their magnitude instead of scattering it over both parts.
void FormatApertureText(int32_t hundredths, char16_t* out, size_t capacity) {
  char text[32];
  const bool negative = hundredths < 0;
  const int64_t magnitude = negative ? -static_cast<int64_t>(hundredths) : hundredths;
  const char* sign = negative ? "-" : "";
  const int64_t whole = magnitude / kHundredths;
  const int64_t rest = magnitude % kHundredths;
  if (magnitude == 0) {
    std::snprintf(text, sizeof(text), "0");
  } else if (rest == 0 && whole >= kWholeWithoutDecimal) {
    std::snprintf(text, sizeof(text), "%s%lld", sign, static_cast<long long>(whole));
  } else if (rest == 0) {
    std::snprintf(text, sizeof(text), "%s%lld.0", sign, static_cast<long long>(whole));
  } else if (rest % kTenths == 0) {
    std::snprintf(text, sizeof(text), "%s%lld.%lld", sign, static_cast<long long>(whole),
                  static_cast<long long>(rest / kTenths));
  } else {
    std::snprintf(text, sizeof(text), "%s%lld.%02lld", sign, static_cast<long long>(whole),
                  static_cast<long long>(rest));
  }
  CopyAscii(out, capacity, text);
}

const char16_t* WhiteBalanceLabel(int32_t mode) {
  switch (mode) {
    case kWbAuto:
      return u"AUTO";
    case kWbDaylight:
      return u"Daylight";
    case kWbIncandescent:
      return u"INC.";
    case kWbUnderwater:
      return u"UW";
    case kWbFluorescent1:
      return u"FL1";
    case kWbFluorescent2:
      return u"FL2";
    case kWbFluorescent3:
      return u"FL3";
    case kWbShade:
      return u"SHADE";
    case kWbCustom1:
      return u"CUS.1";
    case kWbCustom2:
      return u"CUS.2";
    case kWbCustom3:
      return u"CUS.3";
    default:
      return u"";
  }
}

void FormatColorTemperature(int32_t kelvin, char16_t* out, size_t capacity) {
  char text[32];
  std::snprintf(text, sizeof(text), "%dK", static_cast<int>(kelvin));
  CopyAscii(out, capacity, text);
}

int32_t ShutterTextKind(const char16_t* label) {
  if (!label || label[0] == 0) return kShutterKindOther;
  if (label[1] == kSlash) return kShutterKindFraction;
  size_t length = 0;
  while (label[length] != 0) ++length;
  return label[length - 1] == kSecondsMark ? kShutterKindSeconds : kShutterKindOther;
}

}  // namespace brelon

using brelon::PluginContext;

// Refreshes and copies out the camera-condition record. `context`: in, the host's variable
// filled by Init (borrowed). `out`: out, a caller-owned 2120-byte record, written in every case
// except a null context. Runs on any host thread; takes ConnectionLock for the connection test
// and CameraNameLock once per getter and for the copy, never both at once.
// Returns 0, -4 (no context / not connected), -5 (SDK failure) or -100 (camera busy).
extern "C" BRELON_EXPORT int32_t BRELON_CDECL GetCameraCondition(void** context,
                                                                 BrelonCondition* out) {
  PluginContext* ctx = brelon::ContextFrom(context);
  if (!ctx) return BRELON_E_NO_CONTEXT;

  int32_t camera = 0;
  int32_t result = BRELON_E_NO_CONTEXT;
  if (brelon::CTavelSDK* sdk = brelon::ConnectedSdk(ctx, &camera)) {
    result = brelon::ConditionRefresh(*sdk, camera, ctx->Condition).Run();
  }

  // The record goes to the host connected or not: without a camera it is the one left last.
  plat::LockGuard cameraName(brelon::Locks().cameraName);
  if (out) std::memcpy(out, &ctx->Condition, sizeof(BrelonCondition));
  return result;
}
