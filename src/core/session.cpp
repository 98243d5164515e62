// The session thread: takes the machine-wide session mutex, initialises the SDK, then cycles —
// re-read the settings, find and open a camera or watch the open one, keep its card-recording
// mode in line — until Exit signals the stop event. It alone writes the connection state.
#include "core/session.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/log.h"
#include "base/text.h"
#include "capture/media_record.h"
#include "core/warning_window.h"
#include "sdk/camera_codes.h"
#include "sdk/camera_models.h"
#include "sdk/loader.h"
#include "settings/settings_store.h"

namespace brelon {
namespace {

constexpr size_t kAddressBytes = 256;
constexpr size_t kOpenNameBytes = 300;  // "IPV4:" or "ENUM:" plus an address or index
constexpr size_t kSdkTextBytes = 256;   // serial and model texts of ZEPK_GetSerialNo
constexpr size_t kNameUnits = 256;      // camera-name field of the condition record

// What one cycle needs from the settings, copied while the settings lock is held so that host
// threads refreshing the same record never race with the reads.
struct SettingsSnapshot {
  int32_t connectType;
  int32_t wifiDetectionMethod;
  uint8_t cardJpeg;
  uint8_t cardRaw;
  char cameraAddress[kAddressBytes];
};

// Locals of the thread that live across cycles.
struct SessionLocals {
  int64_t lastShown = 0;
  plat::Thread* uiThread = nullptr;
  plat::WindowSlot hwnd{nullptr};
  char enumAddress[kAddressBytes] = {};
};

// UTF-16 address to the narrow form the SDK takes, in the ANSI code page. The settings record
// is byte-packed, so its texts may sit at odd addresses: read them through memcpy only.
void WideToNarrow(const char16_t* text, size_t maxUnits, char* out, size_t capacity) {
  char16_t aligned[kAddressBytes] = {};
  const size_t units = maxUnits < kAddressBytes - 1 ? maxUnits : kAddressBytes - 1;
  std::memcpy(aligned, text, units * sizeof(char16_t));
  size_t length = 0;
  while (length < units && aligned[length] != u'\0') ++length;
  plat::WideToAnsi(aligned, length, out, capacity);
}

SettingsSnapshot ReadSettings(PluginContext* ctx) {
  SettingsSnapshot s{};
  plat::LockGuard settings(Locks().settings);
  ReadProperty(&ctx->Property);
  const _BRELON_PROPERTY& p = ctx->Property;
  s.connectType = p.ConnectType;
  s.wifiDetectionMethod = p.WiFiDetectionMethod;
  s.cardJpeg = p.CardJPEG;
  s.cardRaw = p.CardRAW;
  WideToNarrow(p.CameraIPAddress, sizeof(p.CameraIPAddress) / sizeof(char16_t), s.cameraAddress,
               sizeof(s.cameraAddress));
  return s;
}

void SetCameraHandle(PluginContext* ctx, int32_t camera) {
  // Only this thread writes it; the lock lets readers that hold ConnectionLock see it whole.
  plat::LockGuard connection(Locks().connection);
  ctx->hCamera = camera;
}

void ClearCameraName(PluginContext* ctx) {
  plat::LockGuard cameraName(Locks().cameraName);
  ctx->Condition.cameraName[0] = u'\0';
}

// "<maker> <model>" from the device record, converted from the ANSI code page. A name too long
// for the field is cut at its end, never inside a surrogate pair.
void PublishCameraName(PluginContext* ctx, const DeviceInformation& info) {
  constexpr size_t kPartUnits = 255;
  char16_t maker[kPartUnits + 1];
  char16_t model[kPartUnits + 1];
  size_t makerLength = plat::AnsiToWide(
      info.manufacturer, BoundedLength(info.manufacturer, kPartUnits), maker, kPartUnits + 1);
  size_t modelLength =
      plat::AnsiToWide(info.model, BoundedLength(info.model, kPartUnits), model, kPartUnits + 1);
  char16_t name[kNameUnits];
  size_t n = 0;
  auto append = [&](const char16_t* text, size_t length) {
    for (size_t i = 0; i < length && n < kNameUnits - 1; ++i) name[n++] = text[i];
  };
  append(maker, makerLength);
  append(u" ", 1);
  append(model, modelLength);
  bool cutInsidePair = n == kNameUnits - 1 && name[n - 1] >= 0xD800 && name[n - 1] <= 0xDBFF;
  if (cutInsidePair) --n;
  name[n] = u'\0';

  plat::LockGuard cameraName(Locks().cameraName);
  std::memcpy(ctx->Condition.cameraName, name, (n + 1) * sizeof(char16_t));
}

// The camera is gone or unusable: tell the host and close it (after the SDK's settling pause).
// DeviceInfo keeps the last record.
void EndConnection(PluginContext* ctx) {
  {
    plat::LockGuard connection(Locks().connection);
    ctx->lConnected = 0;
    ctx->lOpenMode = 0;
    ctx->lConnectKind = 0;
  }
  ClearCameraName(ctx);
  if (ctx->pfnCallback) {
    RaiseEvent(ctx, BRELON_EV_DISCONNECTED);
    ctx->lHostCount = 1;
  }
  plat::SleepMs(kCloseDelayMs);
  ctx->pSdk->m_pfnClose(ctx->hCamera);
  SetCameraHandle(ctx, 0);
}

// A connection opened under one kind of ConnectType (USB alone, or anything with the network)
// ends when the setting moves to the other kind.
void CheckConnectionSetting(PluginContext* ctx, const SettingsSnapshot& settings) {
  bool usbNow = settings.connectType == kConnectUsb;
  bool changed = (ctx->lConnectKind == 2 && usbNow) || (ctx->lConnectKind == 1 && !usbNow);
  if (!changed) return;
  EndConnection(ctx);
  // Gives the camera time to leave the old interface before it is looked for on the new one.
  plat::SleepMs(kSettingChangePauseMs);
}

// After an open refused for the USB mode: the model whose wording the warning takes, the first
// listed one (only the medium-format ones with kOptionMediumFormatOnly) that a camera answers to.
const char* ProbeWarningModel(PluginContext* ctx, int32_t flags) {
  const bool mediumOnly = (HostOptionFlags() & kOptionMediumFormatOnly) != 0;
  for (const CameraModel& model : kCameraModels) {
    if (mediumOnly && !(model.traits & kModelMediumFormat)) continue;
    int32_t found = 0;
    if (ctx->pSdk->m_pfnDetect(flags, nullptr, model.name, &found) == ZEPK_OK && found > 0) {
      return model.name;
    }
  }
  return FirstModelWith(mediumOnly ? kModelWarningMediumFallback : kModelWarningFallback);
}

void DetectAndOpen(PluginContext* ctx, SessionLocals& locals, const SettingsSnapshot& settings) {
  CTavelSDK* sdk = ctx->pSdk;
  {
    plat::LockGuard cameraName(Locks().cameraName);
    std::memset(&ctx->Condition, 0, sizeof(ctx->Condition));
  }
  int32_t flags = settings.connectType;
  char address[kAddressBytes] = {};
  if (settings.wifiDetectionMethod == 1) {
    CopySdkText(address, sizeof(address), settings.cameraAddress, sizeof(settings.cameraAddress));
  }
  // Back to the camera discovery found last time, by its address.
  if ((flags & kConnectDiscovery) && locals.enumAddress[0] != '\0') {
    flags = kConnectIpv4;
    CopySdkText(address, sizeof(address), locals.enumAddress, sizeof(locals.enumAddress));
  }

  int32_t count = 0;
  int32_t detected;
  if (flags & kConnectIpv4) {
    WriteLog(kCoreSource, "ThreadSession", __LINE__, "ThreadSession:ZEPK_Detect(%ld,IP=[%s]) calll",
             static_cast<long>(flags), address);
    detected = sdk->m_pfnDetect(flags, address, nullptr, &count);
  } else {
    WriteLog(kCoreSource, "ThreadSession", __LINE__, "ThreadSession:ZEPK_Detect(%ld) calll",
             static_cast<long>(flags));
    detected = sdk->m_pfnDetect(flags, nullptr, nullptr, &count);
  }
  if (detected != ZEPK_OK || count <= 0) {
    CloseMtpMessage(&locals.uiThread, &locals.hwnd);
    locals.lastShown = plat::NowSeconds();
    SetCameraHandle(ctx, 0);
    locals.enumAddress[0] = '\0';
    return;
  }

  int32_t errorNumber = 0;
  if (OpenCamera(ctx, flags, address, count, &errorNumber) != ZEPK_OK) {
    WriteLog(kCoreSource, "ThreadSession", __LINE__,
             "ThreadSession:ZEPK_Open Failed. ErrorCode=[0x%04x]", errorNumber);
    if (errorNumber == ZEPK_ERR_WRONG_USB_MODE) {
      const char* model = ProbeWarningModel(ctx, flags);
      WriteLog(kCoreSource, "ThreadSession", __LINE__, "ThreadSession:ZEPK_Open MTPMode");
      ShowMtpMessage(&locals.uiThread, &locals.hwnd, &locals.lastShown, model);
    }
    SetCameraHandle(ctx, 0);
    return;
  }

  CloseMtpMessage(&locals.uiThread, &locals.hwnd);
  DeviceInformation info{};
  WriteLog(kCoreSource, "ThreadSession", __LINE__, "ThreadSession:ZEPK_GetDeviceInfo calll");
  int32_t infoResult = sdk->m_pfnGetDeviceInfo(ctx->hCamera, &info);
  bool refusedModel = (HostOptionFlags() & kOptionAcceptMode4) &&
                      BoundedText(info.model, sizeof(info.model)) == kModelRefusedInMode4;
  if (infoResult != ZEPK_OK || refusedModel) {
    plat::SleepMs(kCloseDelayMs);
    sdk->m_pfnClose(ctx->hCamera);
    SetCameraHandle(ctx, 0);
    return;
  }
  if (flags & kConnectDiscovery) {
    CopySdkText(locals.enumAddress, sizeof(locals.enumAddress), info.networkAddress,
                sizeof(info.networkAddress));
  }

  SettingsSnapshot now = ReadSettings(ctx);
  LoadUseSerialTag(ctx);
  {
    plat::LockGuard deviceInfo(Locks().deviceInfo);
    ctx->DeviceInfo = info;
  }
  PublishCameraName(ctx, info);
  {
    plat::LockGuard connection(Locks().connection);
    ctx->lConnected = 1;
  }
  // The media-record mode is applied by the first watch cycle.
  if (sdk->GetProp(ctx->hCamera, kPropPairText, 2, ctx->szPropText[0], ctx->szPropText[1]) !=
      ZEPK_FAILED) {
    sdk->GetProp(ctx->hCamera, kPropSingleText, 1, ctx->szPropText[2]);
  }
  RaiseEvent(ctx, BRELON_EV_CONNECTED);
  {
    plat::LockGuard connection(Locks().connection);
    ctx->lConnectKind = now.connectType == kConnectUsb ? 1 : 2;
  }
}

void Watch(PluginContext* ctx) {
  CTavelSDK* sdk = ctx->pSdk;
  // The host can hold this lock through the interface object to keep the watch away.
  plat::LockGuard host(Locks().host[0]);
  DeviceInformation scratch{};
  if (sdk->m_pfnGetDeviceInfo(ctx->hCamera, &scratch) == ZEPK_FAILED) {
    int32_t apiCode = 0;
    int32_t errorNumber = 0;
    sdk->m_pfnGetErrorNumber(ctx->hCamera, &apiCode, &errorNumber);
    // A busy camera is still there.
    if (errorNumber != ZEPK_ERR_BUSY) {
      WriteLog(kCoreSource, "ThreadSession", __LINE__,
               "ThreadSession:ZEPK_GetDeviceInfo Failed. ErrorCode=[0x%04x]", errorNumber);
      EndConnection(ctx);
    }
  }
  SettingsSnapshot settings = ReadSettings(ctx);
  if (SetMediaRecord(ctx, settings.cardJpeg, settings.cardRaw) == 0) EndConnection(ctx);
}

// Waits for the stop event for this cycle's interval; true when the thread is to end.
bool WaitForStop(PluginContext* ctx) {
  uint32_t timeout = kUsbCycleMs;
  {
    plat::LockGuard connection(Locks().connection);
    if (ctx->lConnected == 1 && ctx->lConnectKind == 2) timeout = kNetworkCycleMs;
  }
  if (plat::EventWait(ctx->hStopEvent, timeout) != plat::WaitResult::kTimeout) return true;
  return plat::EventWait(ctx->hStopEvent, 0) == plat::WaitResult::kSignalled;
}

void RunCycle(PluginContext* ctx, SessionLocals& locals) {
  SettingsSnapshot settings = ReadSettings(ctx);
  CheckConnectionSetting(ctx, settings);
  int32_t connected;
  {
    plat::LockGuard connection(Locks().connection);
    connected = ctx->lConnected;
  }
  if (connected == 0) {
    DetectAndOpen(ctx, locals, settings);
  } else if (connected == 1) {
    Watch(ctx);
  }
}

}  // namespace

int32_t CallSdkInit(PluginContext* ctx) {
  int32_t result = ZEPK_OK;  // stays when the SDK throws
  plat::CallGuarded(
      [](void* c) {
        CTavelSDK* sdk = static_cast<PluginContext*>(c)->pSdk;
        return sdk->m_pfnInit(sdk->Module());
      },
      ctx, &result);
  return result;
}

plat::NamedMutex* AcquireSessionMutex(PluginContext* ctx) {
  for (;;) {
    bool existed = false;
    plat::NamedMutex* mutex = plat::NamedMutexCreate(kSessionMutexName, &existed);
    if (!existed) return mutex;
    if (mutex) plat::NamedMutexClose(mutex);
    if (plat::EventWait(ctx->hStopEvent, kMutexRetryMs) != plat::WaitResult::kTimeout) {
      return nullptr;
    }
  }
}

int32_t OpenCamera(PluginContext* ctx, int32_t flags, const char* address, int32_t count,
                   int32_t* errorNumber) {
  CTavelSDK* sdk = ctx->pSdk;
  const uint32_t options = HostOptionFlags();
  const int32_t acceptedModes =
      (options & kOptionAcceptMode4) ? kOpenModeRemoteOrMode4 : kOpenModeRemote;
  int32_t result = ZEPK_FAILED;
  *errorNumber = 0;
  char name[kOpenNameBytes];

  // Returns true when the opened camera is kept; otherwise closes it and records the refusal.
  auto acceptOrRefuse = [&](int32_t handle, int32_t mode) {
    if (mode & acceptedModes) {
      plat::LockGuard connection(Locks().connection);
      ctx->lOpenMode = mode;
      ctx->hCamera = handle;
      return true;
    }
    sdk->m_pfnClose(handle);
    result = ZEPK_FAILED;
    *errorNumber = ZEPK_ERR_WRONG_USB_MODE;
    return false;
  };
  auto recordOpenFailure = [&]() {
    int32_t apiCode = 0;
    // The context's handle is still empty here; the SDK reports its last failure for it.
    sdk->m_pfnGetErrorNumber(ctx->hCamera, &apiCode, errorNumber);
  };

  if (flags & kConnectIpv4) {
    int32_t handle = 0;
    int32_t mode = 0;
    std::snprintf(name, sizeof(name), "IPV4:%s", address ? address : "");
    result = sdk->m_pfnOpenEx(name, &handle, &mode, nullptr);
    if (result == ZEPK_OK) {
      bool wanted = true;
      if (options & kOptionMediumFormatOnly) {
        DeviceInformation info{};
        wanted = sdk->m_pfnGetDeviceInfo(handle, &info) == ZEPK_OK &&
                 ModelHas(BoundedText(info.model, sizeof(info.model)), kModelMediumFormat);
        // Success without a camera: the caller's device-information read then fails.
        if (!wanted) sdk->m_pfnClose(handle);
      }
      if (wanted && acceptOrRefuse(handle, mode)) return ZEPK_OK;
    } else {
      recordOpenFailure();
    }
  }

  if (flags & (kConnectUsb | kConnectDiscovery)) {
    for (int32_t i = 0; i < count; ++i) {
      if (options & kOptionMediumFormatOnly) {
        char serial[kSdkTextBytes] = {};
        char model[kSdkTextBytes] = {};
        sdk->m_pfnGetSerialNo(i, serial, model);
        if (!ModelHas(BoundedText(model, sizeof(model)), kModelMediumFormat)) continue;
      }
      int32_t handle = 0;
      int32_t mode = 0;
      std::snprintf(name, sizeof(name), "ENUM:%d", static_cast<int>(i));
      result = sdk->m_pfnOpenEx(name, &handle, &mode, nullptr);
      if (result == ZEPK_OK) {
        if (acceptOrRefuse(handle, mode)) return ZEPK_OK;
      } else {
        recordOpenFailure();
      }
    }
  }
  return result;
}

uint32_t ThreadSession(void* context) {
  auto* ctx = static_cast<PluginContext*>(context);
  {
    plat::LockGuard connection(Locks().connection);
    ctx->lConnected = 0;
    ctx->lOpenMode = 0;
  }
  plat::NamedMutex* sessionMutex = AcquireSessionMutex(ctx);
  if (!sessionMutex) return 0;
  if (CallSdkInit(ctx) != ZEPK_OK) {
    plat::NamedMutexClose(sessionMutex);
    return 0;
  }

  SessionLocals locals;
  // So that the first refused open does not count as a showing within the last 5 s.
  locals.lastShown = plat::NowSeconds() - kWarningReshowSeconds;
  {
    plat::LockGuard connection(Locks().connection);
    ctx->lConnectKind = 0;
  }
  if (plat::EventWait(ctx->hStopEvent, 0) != plat::WaitResult::kSignalled) {
    do {
      RunCycle(ctx, locals);
    } while (!WaitForStop(ctx));
  }

  CloseMtpMessage(&locals.uiThread, &locals.hwnd);
  {
    plat::LockGuard connection(Locks().connection);
    if (ctx->lConnected == 1) {
      plat::SleepMs(kCloseDelayMs);
      ctx->pSdk->m_pfnClose(ctx->hCamera);
      ctx->pSdk->m_pfnExit();
      ctx->lConnected = 0;
      ctx->lOpenMode = 0;
    } else {
      ctx->pSdk->m_pfnExit();
    }
  }
  plat::NamedMutexClose(sessionMutex);
  return 0;
}

}  // namespace brelon
