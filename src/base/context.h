// PluginContext, the one state block per Init, and the process-wide state every part shares:
// the option word, the process-wide locks and the live-context claim. Field
// names are the ones the rest of the plug-in and its log texts use.
#pragma once

#include <cstdint>
#include <cstring>

#include "brelon/brelon.h"
#include "platform/platform.h"

namespace brelon {

class CTavelSDK;

constexpr uint32_t kPreviewSlotBytes = 1048576;
constexpr int kPropTextUnits = 256;

struct PluginContext {
  CTavelSDK* pSdk;
  int32_t lConnected;            // guarded by ConnectionLock
  DeviceInformation DeviceInfo;  // guarded by DeviceInfoLock
  int32_t hCamera;
  _BRELON_PROPERTY Property;
  // Word-aligned so that the record's 32-bit fields, all at multiples of 4 inside it, are too.
  alignas(4) BrelonCondition Condition;  // guarded by CameraNameLock
  plat::Thread* hSessionThread;
  plat::Event* hStopEvent;
  int32_t lUseSerialTag;
  HostEventCallback pfnCallback;
  void* pCallbackData;
  int32_t lPriorityMode;
  int32_t lMode3301;
  int32_t lRearm3301;
  int32_t lHostValue;
  uint8_t PreviewBuffer[2][kPreviewSlotBytes];
  int32_t lPreviewSize[2];
  int32_t lPreviewIndex;
  char16_t szPropText[3][kPropTextUnits];
  int32_t lImageWait;
  int32_t lWaitFrameNumber;
  plat::Event* hImageWaitEvent;
  int32_t lHostCount;
  int32_t lAlwaysOne;
  int32_t lConnectKind;
  uint8_t bHostFlag;
  int32_t lCapacityA;
  int32_t lCapacityB;
  int32_t lOpenMode;
  int32_t lSavedDriveValue;
  int32_t lJpegDiscardCount;
  int32_t lRawDiscardCount;
  uint8_t bDiscardWarned;
};

// Process-wide locks, created when the library is loaded and deleted when it is unloaded.
struct ProcessLocks {
  plat::Lock* releaseTiming;
  plat::Lock* settings;
  plat::Lock* connection;
  plat::Lock* deviceInfo;
  plat::Lock* cameraName;
  plat::Lock* mediaRecord;
  plat::Lock* host[2];
};
const ProcessLocks& Locks();

// HostOptionFlags: written only through the interface object; read by the session thread and
// the output-folder composition.
constexpr uint32_t kOptionAcceptMode4 = 0x01;       // bit 0
constexpr uint32_t kOptionMediumFormatOnly = 0x10;  // bit 4
uint32_t HostOptionFlags();
void SetHostOptionFlags(uint32_t flags);

// One live context per process: the timed release reaches its loader through a process-wide
// pointer and the session claims the camera, so a second context would take both from the
// first. Init claims before it makes anything (false while another context holds the claim),
// then names its context or gives the claim up; the named context's Exit gives it up. Any
// thread; race-free.
bool ClaimLiveContext();
void NameLiveContext(const PluginContext* ctx);
bool IsLiveContext(const void* ctx);  // false for null
void ReleaseLiveContext();

// Reads the context out of the host's variable; null when either is null.
inline PluginContext* ContextFrom(void** handle) {
  return handle ? static_cast<PluginContext*>(*handle) : nullptr;
}

// Whether `ctx` (may be null) has a camera connected, read under ConnectionLock; when it has,
// its handle goes to `*camera` (may be null) and, with `info` (may be null), a copy of its device
// record, taken under DeviceInfoLock while the connection cannot change. Nothing is written
// without a camera; each caller turns that into its own result. Any thread; the locks are held
// only for the reads, so an SDK call that follows runs unlocked.
inline bool CameraConnected(const PluginContext* ctx, int32_t* camera,
                            DeviceInformation* info = nullptr) {
  if (!ctx) return false;
  // The session thread changes the connection state under this lock while host threads read it.
  plat::LockGuard connection(Locks().connection);
  if (ctx->lConnected != 1) return false;
  if (camera) *camera = ctx->hCamera;
  if (info) {
    plat::LockGuard deviceInfo(Locks().deviceInfo);
    std::memcpy(info, &ctx->DeviceInfo, sizeof(DeviceInformation));
  }
  return true;
}

// The loader to call the connected camera through, its handle in `*camera`; null when no camera
// is connected or the context has no loader. The loader changes only in Init and Exit.
inline CTavelSDK* ConnectedSdk(const PluginContext* ctx, int32_t* camera) {
  return CameraConnected(ctx, camera) ? ctx->pSdk : nullptr;
}

// Raises a host event when a callback is registered. Host threads raise events too, while the
// session thread may be changing hCamera; the handle is read under ConnectionLock, which is not
// held during the callback so that the host may call back into the exports.
inline void RaiseEvent(PluginContext* ctx, int32_t event) {
  if (!ctx || !ctx->pfnCallback) return;
  int32_t camera = 0;
  {
    plat::LockGuard connection(Locks().connection);
    camera = ctx->hCamera;
  }
  ctx->pfnCallback(camera, event, ctx->pCallbackData);
}

}  // namespace brelon
