// The session thread of a plug-in context: it owns the camera connection (detect, open, watch,
// lose), the machine-wide session mutex and the USB-mode warning window, and offers its steps
// that can run alone: taking the mutex, opening a camera, initialising the SDK.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "platform/platform.h"

namespace brelon {

// Only one context on the machine, in any process, drives a camera at a time. The session
// thread holds this mutex from its start until it ends, and releases it when it ends (also
// when ZEPK_Init refuses): a later Init in the same process, or another process waiting for the
// camera, takes over at once instead of waiting for the first process to exit.
inline constexpr char16_t kSessionMutexName[] = u"Global\\{F7914321-62A0-412f-B595-8E97C95E053D}";

// Interface bits of the ConnectType setting, as ZEPK_Detect takes them.
constexpr int32_t kConnectUsb = 0x01;
constexpr int32_t kConnectDiscovery = 0x10;
constexpr int32_t kConnectIpv4 = 0x20;

// Waits of the session thread, in (scaled) milliseconds.
constexpr uint32_t kCloseDelayMs = 600;           // before every close of the open camera
constexpr uint32_t kUsbCycleMs = 5000;            // between cycles without a network connection
constexpr uint32_t kNetworkCycleMs = 1000;        // between cycles with a network connection
constexpr uint32_t kSettingChangePauseMs = 5000;  // after a connection ended by a setting change
constexpr uint32_t kMutexRetryMs = 1000;          // between tries for the session mutex

// Thread procedure started by Init on its own thread; `context` (borrowed PluginContext, lives
// until Exit has joined this thread). Returns 0. Ends when ctx->hStopEvent is signalled, having
// closed the open camera, called ZEPK_Exit and released the session mutex.
uint32_t ThreadSession(void* context);

// Session thread. Takes the machine-wide session mutex for `ctx` (borrowed), retrying every
// kMutexRetryMs while another context anywhere holds it. Returns the held mutex (owned by the
// caller, released with plat::NamedMutexClose), or null when creation failed or the stop event
// was signalled during the wait.
plat::NamedMutex* AcquireSessionMutex(PluginContext* ctx);

// Session thread. Opens the camera detection found: "IPV4:" + `address` (borrowed) when
// `flags` has kConnectIpv4, else (or when that is refused) "ENUM:<i>" for i < `count` when
// `flags` has kConnectUsb or kConnectDiscovery. On success sets ctx->hCamera and ctx->lOpenMode
// and returns 0. Otherwise returns the last SDK result (-1 after a refusal by mode or when
// nothing was tried) and sets `*errorNumber` (out) to the last error: ZEPK_ERR_WRONG_USB_MODE
// for a camera in a mode that forbids remote shooting, else the SDK's error number.
int32_t OpenCamera(PluginContext* ctx, int32_t flags, const char* address, int32_t count,
                   int32_t* errorNumber);

// Session thread. Calls ZEPK_Init with the SDK library's module handle. An exception thrown out
// of the SDK is swallowed and counts as success: the camera may still work, and the thread's
// later calls report real failures. Kept as the single call site so that a platform guard for
// foreign exceptions can wrap it.
int32_t CallSdkInit(PluginContext* ctx);

}  // namespace brelon
