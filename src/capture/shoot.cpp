// Shoot: fires the connected camera's shutter once, in one or two presses chosen from the release
// modes the camera lists, after leaving the 0x3301 state and taking over the priority mode.
// The picture itself is fetched later by ReadImage, which also undoes those two changes.
#include <cstring>
#include <string_view>

#include "base/context.h"
#include "base/log.h"
#include "brelon/brelon.h"
#include "capture/release_modes.h"
#include "sdk/camera_codes.h"
#include "sdk/camera_models.h"
#include "sdk/loader.h"

namespace brelon {
namespace {

constexpr char kShootFunction[] = "Shoot";

constexpr char kMsgGetPriorityMode[] =
    "    m_pfnGetPriorityMode error lAPICode=[0x%08x] lErrCode=[0x%08x]";
constexpr char kMsgSetPriorityMode[] =
    "    brnShoot:m_pfnSetPriorityMode error lAPICode=[0x%08x] lErrCode=[0x%08x]";
constexpr char kMsgHalfPress[] =
    "    brnShoot:m_pfnRelease with S1ON error lAPICode=[0x%08x] lErrCode=[0x%08x]";
constexpr char kMsgFullPress[] =
    "    brnShoot:m_pfnRelease with S2 error lAPICode=[0x%08x] lErrCode=[0x%08x]";
constexpr char kMsgOneStep[] =
    "    brnShoot:m_pfnRelease error lAPICode=[0x%08x] lErrCode=[0x%08x]";

constexpr size_t kModelBytes = sizeof(DeviceInformation::model);

int32_t PressGroup(int32_t mode) {
  return (mode >> kReleaseGroupShift) & kReleaseGroupMask;
}

// One call's view of the camera: the entry table and the handle read under ConnectionLock.
struct ShootRun {
  CTavelSDK& sdk;
  int32_t camera;
  // Filled by each release except the fallback; the SDK wants somewhere to write, nobody reads.
  int32_t output1 = 0;
  int32_t output2 = 0;

  int32_t Release(int32_t mode) {
    return sdk.m_pfnRelease(camera, mode, reinterpret_cast<ZepkArg>(&output1),
                            reinterpret_cast<ZepkArg>(&output2));
  }
  int32_t FreshRelease(int32_t mode) {
    output1 = 0;
    output2 = 0;
    return Release(mode);
  }

  // Logs the camera's own reason for a failed call and maps it to the export's result.
  int32_t ReportFailure(int line, const char* message) {
    int32_t apiCode = 0;
    int32_t errorNumber = 0;
    sdk.m_pfnGetErrorNumber(camera, &apiCode, &errorNumber);
    WriteLog(kCoreSource, kShootFunction, line, message, static_cast<unsigned>(apiCode),
             static_cast<unsigned>(errorNumber));
    return errorNumber == ZEPK_ERR_BUSY ? BRELON_E_BUSY : BRELON_E_SDK_CALL;
  }
};

// Everything after the connection test; the caller holds the SDK lock throughout.
int32_t ShootConnected(PluginContext* ctx, ShootRun& run, const char* model) {
  CTavelSDK& sdk = run.sdk;

  // A camera held in the 0x3301 state would refuse the release; ReadImage re-arms it later.
  if (ctx->lMode3301 != 0) {
    sdk.SetProp(run.camera, kPropLeaveMode3301, 0);
    ctx->lRearm3301 = 1;
    if (NeedsHostCountOnRelease(model) && ctx->lHostCount != kHostCountSingle) {
      // Property values are read back as pointer-sized arguments.
      sdk.SetProp(run.camera, kPropHostCount, 1, static_cast<ZepkArg>(kHostCountSingle));
    }
  }

  int32_t priority = 0;
  if (sdk.m_pfnGetPriorityMode(run.camera, &priority) == ZEPK_FAILED) {
    return run.ReportFailure(__LINE__, kMsgGetPriorityMode);
  }
  if (priority == kPriorityModeCamera &&
      sdk.m_pfnSetPriorityMode(run.camera, kPriorityModeHost) == ZEPK_FAILED) {
    return run.ReportFailure(__LINE__, kMsgSetPriorityMode);
  }

  // An unusable list is the camera's normal answer when it cannot shoot remotely: no log. A
  // full list counts as unusable too: the camera may have had more modes than it could report.
  int32_t count = 0;
  if (sdk.m_pfnCapRelease(run.camera, &count, nullptr) == ZEPK_FAILED || count <= 0 ||
      count >= kReleaseModeListCapacity) {
    return BRELON_E_SDK_CALL;
  }
  int32_t modes[kReleaseModeListCapacity] = {};
  if (sdk.m_pfnCapRelease(run.camera, &count, modes) == ZEPK_FAILED) return BRELON_E_SDK_CALL;
  // The second answer is trusted no further than the first one was checked.
  if (count <= 0 || count >= kReleaseModeListCapacity) return BRELON_E_SDK_CALL;

  const ReleaseModeChoice choice = ChooseReleaseModes(modes, count);
  if (choice.oneStep == kReleaseNoOneStep) return BRELON_E_SDK_CALL;

  if (choice.halfPress == kReleaseNone || choice.fullPress == kReleaseNone) {
    if (run.FreshRelease(choice.oneStep) == ZEPK_FAILED) {
      return run.ReportFailure(__LINE__, kMsgOneStep);
    }
    return BRELON_OK;
  }

  if (run.FreshRelease(choice.halfPress) == ZEPK_FAILED) {
    return run.ReportFailure(__LINE__, kMsgHalfPress);
  }
  if (run.FreshRelease(choice.fullPress) == ZEPK_FAILED) {
    int32_t result = run.ReportFailure(__LINE__, kMsgFullPress);
    // The shutter button must not stay half pressed, whatever the full press did.
    if (run.Release(kReleaseClosing) == ZEPK_FAILED) {
      result = run.ReportFailure(__LINE__, kMsgFullPress);
    }
    return result;
  }
  // A camera with an extra mode ends the sequence on its own.
  if (choice.extra != kReleaseNone) return BRELON_OK;
  if (run.FreshRelease(kReleaseClosing) == ZEPK_FAILED) {
    return run.ReportFailure(__LINE__, kMsgFullPress);
  }
  return BRELON_OK;
}

}  // namespace

ReleaseModeChoice ChooseReleaseModes(const int32_t* modes, int32_t count) {
  ReleaseModeChoice choice;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t mode = modes[i];
    switch (PressGroup(mode)) {
      case kReleaseGroupOneStep:
        if (mode < choice.oneStep) choice.oneStep = mode;
        break;
      case kReleaseGroupHalfPress:
        if (choice.halfPress == kReleaseNone || mode < choice.halfPress) choice.halfPress = mode;
        break;
      case kReleaseGroupFullPress:
        if (choice.fullPress == kReleaseNone || mode < choice.fullPress) choice.fullPress = mode;
        break;
      default:
        if (mode & kReleaseExtraBit) choice.extra = mode;
        break;
    }
  }
  return choice;
}

bool NeedsHostCountOnRelease(const char* model) {
  return ModelHas(std::string_view(model, strnlen(model, kModelBytes)), kModelHostCountOnRelease);
}

}  // namespace brelon

using brelon::PluginContext;

// Fires the shutter once. `context`: in, the host's variable filled by Init (borrowed).
// Runs on any host thread; holds the SDK lock for the whole sequence (ConnectionLock and
// DeviceInfoLock only for the connection test), so it never overlaps an image transfer.
// Returns 0, -4 (no context / not connected), -5 (no usable mode, SDK failure) or -100 (busy).
extern "C" BRELON_EXPORT int32_t BRELON_CDECL Shoot(void** context) {
  PluginContext* ctx = brelon::ContextFrom(context);
  // Without a loader no camera can ever have been connected.
  if (!ctx || !ctx->pSdk) return BRELON_E_NO_CONTEXT;

  brelon::CTavelSDK& sdk = *ctx->pSdk;
  plat::LockGuard sdkLock(sdk.SdkLock());

  brelon::ShootRun run{sdk, 0};
  DeviceInformation info;
  if (!brelon::CameraConnected(ctx, &run.camera, &info)) return BRELON_E_NO_CONTEXT;
  return brelon::ShootConnected(ctx, run, info.model);
}
