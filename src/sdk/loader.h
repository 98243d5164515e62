// CTavelSDK: loads the camera SDK library at run time, holds one entry per SDK function and the
// SDK lock, and puts its timed release in place of the library's release entry.
#pragma once

#include <cstdint>

#include "brelon/brelon.h"
#include "platform/platform.h"
#include "zepa/zepk.h"

namespace brelon {

enum LoadStatus : int32_t { kLoadOk = 0, kLoadNoLibrary = -1, kLoadMissingEntry = -2 };

// Release modes the loader and the shutter release single out.
constexpr int32_t kReleaseHalfPressTimed = 0x104;
constexpr int32_t kReleaseFullPressTimed = 0x304;
constexpr int32_t kReleaseTimed0C = 0x0C;
constexpr int32_t kReleaseStamp500 = 0x500;
constexpr int32_t kRelease0F = 0x0F;
constexpr int32_t kReleaseClosing = 4;

// Entries of the release-mode list that ZEPK_CapRelease fills.
constexpr int32_t kReleaseModeListCapacity = 512;

class CTavelSDK {
 public:
  // Init's host thread. `callback` (in, may be null) and `callbackData` (in, host-owned, passed
  // back untouched) are kept for event 107. Loads the SDK library and fills the entry table;
  // never throws: LoadStatus() tells the outcome. Becomes Current() at once, whatever the
  // status, unless another loader is Current() (Init lets only one live context make one).
  CTavelSDK(HostEventCallback callback, void* callbackData);
  // The same, loading the library at `libraryPath` (in, caller-owned, NUL-terminated; null
  // means none) instead of the one beside the executable: for tests and tools that pick a file.
  CTavelSDK(HostEventCallback callback, void* callbackData, const char16_t* libraryPath);
  // Exit's (or a failing Init's) host thread, after the session thread has ended: stops being
  // Current() if it was, deletes the SDK lock and unloads the library. Does not call ZEPK_Exit.
  virtual ~CTavelSDK();
  CTavelSDK(const CTavelSDK&) = delete;
  CTavelSDK& operator=(const CTavelSDK&) = delete;

  int32_t LoadStatus() const { return loadStatus_; }
  plat::Lock* SdkLock() const { return sdkLock_; }
  plat::Library* Module() const { return module_; }
  // The last release stamp (100-ns ticks) and the current release time-out (microseconds),
  // read under the release-timing lock; any thread.
  int64_t ReleaseStampTicks() const;
  int64_t ReleaseTimeoutMicros() const;

  // The loader the timed release works with (it has no object argument); null when none.
  static CTavelSDK* Current();

  // Same signature as ZEPK_Release, reached through m_pfnRelease on any thread (normally with
  // the SDK lock held). `camera` and `mode` are in; `a3` and `a4` go to ZEPK_Release unchanged.
  // In modes 0x104, 0x304 and 0x0C it returns only when the camera's buffer count has changed
  // (0) or the release time-out has passed (0x2002); every SDK failure code passes through.
  // -1 when no loader is alive.
  static int32_t BRELON_CDECL ReleaseAndWait(int32_t camera, int32_t mode, ZepkArg a3, ZepkArg a4);
  // Any thread. True when the camera lists release mode 0x0F. A camera reporting more modes
  // than the list holds (kReleaseModeListCapacity) is not queried for them (false, logged), so
  // the SDK never writes past the list.
  bool ListsReleaseMode0F(int32_t camera);
  // Pure: 2 x (exposure time + 15 s) in microseconds for a shutter code; 0 for an unknown code.
  static int64_t ReleaseTimeoutFor(int32_t shutterCode);

  // Property calls. A library may lack the three property entries; every caller goes through
  // these, which then log once per call and answer -1 instead of calling through null.
  template <typename... Values>
  int32_t CapProp(int32_t camera, int32_t code, int32_t count, Values... values) {
    return m_pfnCapProp ? m_pfnCapProp(camera, code, count, values...)
                        : MissingProp("ZEPK_CapProp");
  }
  template <typename... Values>
  int32_t SetProp(int32_t camera, int32_t code, int32_t count, Values... values) {
    return m_pfnSetProp ? m_pfnSetProp(camera, code, count, values...)
                        : MissingProp("ZEPK_SetProp");
  }
  template <typename... Values>
  int32_t GetProp(int32_t camera, int32_t code, int32_t count, Values... values) {
    return m_pfnGetProp ? m_pfnGetProp(camera, code, count, values...)
                        : MissingProp("ZEPK_GetProp");
  }
  static int32_t MissingProp(const char* entry);  // logs "<entry> missing", returns -1

  // Entry table: one member per SDK entry point, in resolution order, named m_pfn plus the
  // entry's name without "ZEPK_". m_pfnRelease is the timed release; m_pfnRawRelease holds the
  // library's own ZEPK_Release. m_pfnCapProp, m_pfnSetProp and m_pfnGetProp may be null.
#define BRELON_ENTRY_MEMBER(unused, name, params) ZEPK_##name##Fn m_pfn##name = nullptr;
  ZEPK_ENTRY_LIST(BRELON_ENTRY_MEMBER, ~)
#undef BRELON_ENTRY_MEMBER
  ZEPK_ReleaseFn m_pfnRawRelease = nullptr;

 private:
  CTavelSDK(HostEventCallback callback, void* callbackData, const char16_t* libraryPath,
            bool besideExecutable);

  HostEventCallback callback_;
  void* callbackData_;
  int64_t releaseStamp_ = 0;    // 100-ns ticks; guarded by the release-timing lock
  int64_t releaseTimeout_ = 0;  // microseconds; guarded by the release-timing lock
  int32_t loadStatus_ = kLoadOk;
  plat::Lock* sdkLock_ = nullptr;
  plat::Library* module_ = nullptr;
};

}  // namespace brelon
