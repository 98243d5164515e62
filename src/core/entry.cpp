// The host's life-cycle and connection exports: Init creates the context, loads the SDK and
// starts the session thread; Exit undoes all of it; IsCameraConnect and GetDeviceInfo read the
// connection state that the session thread keeps.
#include <new>

#include "base/context.h"
#include "base/log.h"
#include "core/session.h"
#include "sdk/loader.h"

using brelon::ContextFrom;
using brelon::kCoreSource;
using brelon::PluginContext;
using brelon::WriteLog;

namespace {

// Init past its claim of the one live context.
int32_t StartContext(void** context, HostEventCallback callback, void* userData) {
  plat::FileDelete(plat::LogFilePath());  // the file holds one run; a missing file is fine
  brelon::InitLog();
  WriteLog(kCoreSource, "Init", __LINE__, "Init start");
  if (!context) {
    WriteLog(kCoreSource, "Init", __LINE__, "    Init: no context variable");
    return BRELON_E_NO_CONTEXT;
  }

  // Value-initialised: every field, both preview slots included, starts at zero.
  auto* ctx = new (std::nothrow) PluginContext();
  *context = ctx;  // before anything else can fail, so Exit always finds what was made
  if (!ctx) {
    WriteLog(kCoreSource, "Init", __LINE__, "    Init: context allocation failed");
    return BRELON_E_NO_CONTEXT;
  }

  ctx->hImageWaitEvent = plat::EventCreate(/*manualReset=*/true, /*initiallySignalled=*/false);
  if (!ctx->hImageWaitEvent) {
    WriteLog(kCoreSource, "Init", __LINE__, "    Init: image-wait event not created");
  }
  ctx->lAlwaysOne = 1;
  ctx->lPriorityMode = 1;
  ctx->bHostFlag = 1;
  ctx->pfnCallback = callback;
  ctx->pCallbackData = userData;

  ctx->pSdk = new (std::nothrow) brelon::CTavelSDK(callback, userData);
  if (!ctx->pSdk || ctx->pSdk->LoadStatus() != brelon::kLoadOk) {
    WriteLog(kCoreSource, "Init", __LINE__, "    Init: SDK not usable, load status=[%d]",
             ctx->pSdk ? ctx->pSdk->LoadStatus() : brelon::kLoadNoLibrary);
    delete ctx->pSdk;
    ctx->pSdk = nullptr;
    return BRELON_E_SDK;
  }

  ctx->hStopEvent = plat::EventCreate(/*manualReset=*/false, /*initiallySignalled=*/false);
  // Without a stop event the thread could never be told to end, so Exit would wait forever.
  ctx->hSessionThread = ctx->hStopEvent ? plat::ThreadStart(brelon::ThreadSession, ctx) : nullptr;
  if (!ctx->hSessionThread) {
    WriteLog(kCoreSource, "Init", __LINE__, "    Init: session thread not started");
    return BRELON_E_THREAD;
  }
  WriteLog(kCoreSource, "Init", __LINE__, "Init end");
  return BRELON_OK;
}

}  // namespace

extern "C" {

// Host thread; not concurrently with any other export. `context` (in/out, host-owned) receives
// the new context, which the library owns until Exit. `callback` and `userData` are kept and
// handed back with every event, on whichever thread raises it. While another context is live
// the result is -1 and *context receives null, unless it holds the live context, which then
// stays there for its Exit: the live context keeps its SDK and camera either way.
BRELON_EXPORT int32_t BRELON_CDECL Init(void** context, HostEventCallback callback,
                                        void* userData) {
  if (!brelon::ClaimLiveContext()) {
    // Before the log file is started afresh: it belongs to the live context's run.
    if (context && !brelon::IsLiveContext(*context)) *context = nullptr;
    WriteLog(kCoreSource, "Init", __LINE__, "    Init: refused, the plug-in is already started");
    return BRELON_E_SDK;
  }
  const int32_t result = StartContext(context, callback, userData);
  // A context left without SDK holds no loader and no session thread, so it takes nothing
  // from a later context: it is not live, a new Init may follow at once, and its Exit leaves
  // the claim alone. A context that holds a loader is live until its Exit.
  const PluginContext* ctx = ContextFrom(context);
  if (ctx && ctx->pSdk) {
    brelon::NameLiveContext(ctx);
  } else {
    brelon::ReleaseLiveContext();
  }
  return result;
}

// Host thread; not concurrently with any other export. `context` (in/out) may be null or hold
// null; on return it holds null and everything Init made for it is freed.
BRELON_EXPORT int32_t BRELON_CDECL Exit(void** context) {
  PluginContext* ctx = ContextFrom(context);
  if (!ctx) return BRELON_OK;
  WriteLog(kCoreSource, "Exit", __LINE__, "Exit start");

  if (ctx->hImageWaitEvent) plat::EventClose(ctx->hImageWaitEvent);
  ctx->hImageWaitEvent = nullptr;
  if (ctx->hSessionThread) {
    // The thread finishes the cycle in progress and sees the event at its next wait.
    plat::EventSet(ctx->hStopEvent);
    plat::ThreadJoin(ctx->hSessionThread, plat::kInfinite);
    plat::ThreadClose(ctx->hSessionThread);
    ctx->hSessionThread = nullptr;
  }
  // Closed even without a thread: Init may have made the event and then failed to start one.
  if (ctx->hStopEvent) plat::EventClose(ctx->hStopEvent);
  ctx->hStopEvent = nullptr;
  const bool live = brelon::IsLiveContext(ctx);
  delete ctx->pSdk;  // unloads the SDK library; the session thread has already called ZEPK_Exit
  ctx->pSdk = nullptr;

  delete ctx;
  *context = nullptr;
  // Only now, with its loader gone, may another context be made.
  if (live) brelon::ReleaseLiveContext();
  WriteLog(kCoreSource, "Exit", __LINE__, "Exit end");
  return BRELON_OK;
}

// Any host thread. `connected` (out, host-owned) is 1 while a camera connection is open, else
// 0. A null `connected` gets nothing written and the answer is -4.
BRELON_EXPORT int32_t BRELON_CDECL IsCameraConnect(void** context, uint8_t* connected) {
  if (connected) *connected = 0;
  PluginContext* ctx = ContextFrom(context);
  if (!connected || !brelon::CameraConnected(ctx, nullptr)) return BRELON_E_NO_CONTEXT;
  *connected = 1;
  return BRELON_OK;
}

// Any host thread. `out` (out, host-owned, 1857 bytes) receives the open camera's device
// record; it is left untouched when no camera is connected (-4).
BRELON_EXPORT int32_t BRELON_CDECL GetDeviceInfo(void** context, DeviceInformation* out) {
  PluginContext* ctx = ContextFrom(context);
  if (!out || !brelon::CameraConnected(ctx, nullptr, out)) return BRELON_E_NO_CONTEXT;
  return BRELON_OK;
}

}  // extern "C"
