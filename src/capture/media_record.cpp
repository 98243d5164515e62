// SetMediaRecord: sets the camera's media-record mode from the two card settings, leaving the
// 0x3301 state and holding the host count at 1 around the change where the model needs it.
#include "capture/media_record.h"

#include <string_view>

#include "base/log.h"
#include "base/text.h"
#include "sdk/camera_codes.h"
#include "sdk/camera_models.h"
#include "sdk/loader.h"

namespace brelon {

int32_t SetMediaRecord(PluginContext* ctx, uint8_t cardJpeg, uint8_t cardRaw) {
  {
    plat::LockGuard connection(Locks().connection);
    if (ctx->lConnected == 0 || !(ctx->lOpenMode & kOpenModeRemote)) return 1;
  }
  // Read before MediaRecordLock, which is innermost: nothing else may be taken inside it.
  char maker[sizeof(ctx->DeviceInfo.manufacturer)];
  char model[sizeof(ctx->DeviceInfo.model)];
  {
    plat::LockGuard deviceInfo(Locks().deviceInfo);
    CopySdkText(maker, sizeof(maker), ctx->DeviceInfo.manufacturer, sizeof(maker));
    CopySdkText(model, sizeof(model), ctx->DeviceInfo.model, sizeof(model));
  }

  CTavelSDK* sdk = ctx->pSdk;
  plat::LockGuard mediaRecord(Locks().mediaRecord);
  const int32_t camera = ctx->hCamera;
  int32_t current = 0;
  int32_t result = sdk->m_pfnGetMediaRecord(camera, &current);
  if (result == ZEPK_OK) {
    int32_t wanted = cardJpeg ? (cardRaw ? kMediaRecordBoth : kMediaRecordJpegOnly)
                              : (cardRaw ? kMediaRecordRawOnly : kMediaRecordNone);
    if (current == wanted) return 1;
    if (ctx->lMode3301 == 1) sdk->SetProp(camera, kPropLeaveMode3301, 0);
    // The maker's cameras take the change only while 0x3327 is 1, except those listed otherwise.
    int32_t saved = kHostCountSingle;
    if (!ModelHas(model, kModelMediaRecordAsIs) && std::string_view(maker) == kMakerName) {
      sdk->GetProp(camera, kPropSavedHostCount, 1, &saved);
      if (saved != kHostCountSingle) sdk->SetProp(camera, kPropHostCount, 1, kHostCountSingle);
    }
    result = sdk->m_pfnSetMediaRecord(camera, wanted);
    if (saved != kHostCountSingle) sdk->SetProp(camera, kPropHostCount, 1, saved);
    if (ctx->lMode3301 == 1 && sdk->SetProp(camera, kPropEnterMode3301, 0) == ZEPK_OK) {
      ctx->lRearm3301 = 0;
    }
  }
  if (result == ZEPK_OK) return 1;
  if (result == ZEPK_FAILED) {
    int32_t apiCode = 0;
    int32_t errorNumber = 0;
    sdk->m_pfnGetErrorNumber(camera, &apiCode, &errorNumber);
    WriteLog(kCoreSource, "SetMediaRecord", __LINE__, "SetMediaRecord Failed. ErrorCode=[0x%04x]",
             errorNumber);
    return errorNumber == ZEPK_ERR_BUSY ? 1 : 0;
  }
  return 0;
}

}  // namespace brelon
