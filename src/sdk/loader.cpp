// CTavelSDK: finds the camera SDK library beside the host's executable, resolves its entry
// table from the SDK's one list of entry points, and implements the timed release that waits for
// each picture to reach the camera's buffer.
#include "sdk/loader.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <string_view>
#include <type_traits>

#include "base/context.h"
#include "base/log.h"
#include "sdk/shutter_table.h"

namespace brelon {
namespace {

// The timed release has the SDK's signature and no object, so it finds the loader here. The
// first loader keeps the place until it is destroyed: a later one, made while it lives, can
// never leave the release without its loader or pointing at a freed one.
std::atomic<CTavelSDK*> g_current{nullptr};

constexpr size_t kLibraryPathUnits = 260;           // the host's path buffer (MAX_PATH)
constexpr int64_t kReleaseMarginMicros = 15000000;  // time the camera needs beyond the exposure
constexpr uint32_t kPollIntervalMs = 78;
constexpr int64_t kTicksPerMicro = 10;

// Writes the library's symbol into the entry member `Member`; true when the symbol exists.
template <auto Member>
bool StoreEntry(CTavelSDK& sdk, void* symbol) {
  using Fn = std::remove_reference_t<decltype(sdk.*Member)>;
  sdk.*Member = reinterpret_cast<Fn>(symbol);
  return symbol != nullptr;
}

struct EntryPoint {
  const char* name;
  bool (*store)(CTavelSDK& sdk, void* symbol);  // fills the member this name maps to
  bool optional;
};

// Entries a library may lack: every caller of the property entries checks them first.
constexpr std::string_view kOptionalEntries[] = {"CapProp", "SetProp", "GetProp"};

constexpr bool IsOptionalEntry(std::string_view name) {
  for (std::string_view optional : kOptionalEntries) {
    if (name == optional) return true;
  }
  return false;
}

// The name-to-member table, made from the SDK's one list of entry points. ZEPK_Release lands
// in m_pfnRelease here and moves to m_pfnRawRelease once the table is resolved.
#define BRELON_ENTRY(unused, name, params) \
  {"ZEPK_" #name, &StoreEntry<&CTavelSDK::m_pfn##name>, IsOptionalEntry(#name)},
constexpr EntryPoint kEntryPoints[] = {ZEPK_ENTRY_LIST(BRELON_ENTRY, ~)};
#undef BRELON_ENTRY

static_assert(std::size(kEntryPoints) == ZEPK_ENTRY_POINT_COUNT);

// Every optional name must be an entry point, or the entry it meant would silently be required.
constexpr size_t OptionalEntryCount() {
  size_t count = 0;
  for (const EntryPoint& entry : kEntryPoints) count += entry.optional ? 1 : 0;
  return count;
}
static_assert(OptionalEntryCount() == std::size(kOptionalEntries), "optional entry not listed");

// The executable's folder, the separator and the SDK file name, or the platform's override.
bool BuildLibraryPath(char16_t (&path)[kLibraryPathUnits]) {
  if (plat::SdkLibraryOverride(path, kLibraryPathUnits)) return true;
  if (!plat::ExecutablePath(path, kLibraryPathUnits)) return false;
  const char16_t separator = plat::PathSeparator();
  size_t cut = kLibraryPathUnits;
  for (size_t i = 0; i < kLibraryPathUnits && path[i]; ++i) {
    if (path[i] == separator) cut = i;
  }
  if (cut == kLibraryPathUnits) return false;  // no folder: never load from the search path
  const char16_t* file = plat::SdkLibraryFileName();
  size_t fileUnits = 0;
  while (file[fileUnits]) ++fileUnits;
  if (cut + 1 + fileUnits + 1 > kLibraryPathUnits) return false;
  path[cut] = separator;
  for (size_t i = 0; i <= fileUnits; ++i) path[cut + 1 + i] = file[i];
  return true;
}

int64_t MicrosSince(int64_t ticks) {
  return (plat::NowTicks() - ticks) / kTicksPerMicro;
}

bool IsTimedMode(int32_t mode) {
  return mode == kReleaseHalfPressTimed || mode == kReleaseFullPressTimed ||
         mode == kReleaseTimed0C;
}

}  // namespace

CTavelSDK::CTavelSDK(HostEventCallback callback, void* callbackData)
    : CTavelSDK(callback, callbackData, nullptr, /*besideExecutable=*/true) {}

CTavelSDK::CTavelSDK(HostEventCallback callback, void* callbackData, const char16_t* libraryPath)
    : CTavelSDK(callback, callbackData, libraryPath, /*besideExecutable=*/false) {}

CTavelSDK::CTavelSDK(HostEventCallback callback, void* callbackData, const char16_t* libraryPath,
                     bool besideExecutable) {
  releaseStamp_ = 0;
  sdkLock_ = plat::LockCreate();

  char16_t path[kLibraryPathUnits] = {};
  bool havePath = false;
  if (besideExecutable) {
    havePath = BuildLibraryPath(path);
  } else if (libraryPath) {
    size_t units = 0;
    while (libraryPath[units] && units + 1 < kLibraryPathUnits) {
      path[units] = libraryPath[units];
      ++units;
    }
    havePath = libraryPath[units] == u'\0';  // a path that does not fit is not cut short
  }
  callback_ = callback;
  callbackData_ = callbackData;
  CTavelSDK* none = nullptr;
  g_current.compare_exchange_strong(none, this);
  loadStatus_ = kLoadOk;

  module_ = havePath ? plat::LibraryLoad(path) : nullptr;
  if (!module_) {
    loadStatus_ = kLoadNoLibrary;
    WriteLog(kCoreSource, "CTavelSDK", __LINE__, "    CTavelSDK: SDK library not loaded");
    return;
  }

  bool complete = true;
  for (const EntryPoint& entry : kEntryPoints) {
    if (!entry.store(*this, plat::LibrarySymbol(module_, entry.name)) && !entry.optional) {
      WriteLog(kCoreSource, "CTavelSDK", __LINE__, "    CTavelSDK: %s missing", entry.name);
      complete = false;
    }
  }
  if (!complete) {
    // No entry may point into a library that is no longer loaded.
    for (const EntryPoint& entry : kEntryPoints) entry.store(*this, nullptr);
    plat::LibraryFree(module_);
    module_ = nullptr;
    loadStatus_ = kLoadMissingEntry;
  }
  // Every release goes through the timed one, which calls the library's own.
  m_pfnRawRelease = m_pfnRelease;
  m_pfnRelease = &CTavelSDK::ReleaseAndWait;
}

CTavelSDK::~CTavelSDK() {
  CTavelSDK* self = this;
  g_current.compare_exchange_strong(self, nullptr);
  plat::LockDestroy(sdkLock_);
  sdkLock_ = nullptr;
  if (module_) {
    plat::LibraryFree(module_);
    module_ = nullptr;
  }
}

CTavelSDK* CTavelSDK::Current() {
  return g_current.load();
}

int64_t CTavelSDK::ReleaseStampTicks() const {
  plat::LockGuard guard(Locks().releaseTiming);
  return releaseStamp_;
}

int64_t CTavelSDK::ReleaseTimeoutMicros() const {
  plat::LockGuard guard(Locks().releaseTiming);
  return releaseTimeout_;
}

int32_t CTavelSDK::MissingProp(const char* entry) {
  WriteLog(kCoreSource, "MissingProp", __LINE__, "%s missing", entry ? entry : "");
  return ZEPK_FAILED;
}

int64_t CTavelSDK::ReleaseTimeoutFor(int32_t shutterCode) {
  int64_t exposure = 0;
  if (!ShutterExposureMicros(shutterCode, &exposure)) return 0;
  return 2 * (exposure + kReleaseMarginMicros);
}

bool CTavelSDK::ListsReleaseMode0F(int32_t camera) {
  if (!m_pfnCapRelease) return false;
  int32_t count = 0;
  if (m_pfnCapRelease(camera, &count, nullptr) != ZEPK_OK || count <= 0) return false;
  // The SDK writes as many modes as it reported; a list of more than the buffer holds is
  // refused rather than read, so nothing is ever written past it.
  if (count > kReleaseModeListCapacity) {
    WriteLog(kCoreSource, "ListsReleaseMode0F", __LINE__,
             "    ListsReleaseMode0F: %d release modes, more than %d", count,
             static_cast<int>(kReleaseModeListCapacity));
    return false;
  }
  int32_t modes[kReleaseModeListCapacity] = {};
  if (m_pfnCapRelease(camera, &count, modes) != ZEPK_OK) return false;
  const int32_t listed = count < 0 ? 0 : std::min(count, kReleaseModeListCapacity);
  for (int32_t i = 0; i < listed; ++i) {
    if (modes[i] == kRelease0F) return true;
  }
  return false;
}

int32_t BRELON_CDECL CTavelSDK::ReleaseAndWait(int32_t camera, int32_t mode, ZepkArg a3,
                                               ZepkArg a4) {
  CTavelSDK* self = Current();
  if (!self || !self->m_pfnRawRelease) {
    WriteLog(kCoreSource, "ReleaseAndWait", __LINE__, "    ReleaseAndWait: no SDK loaded");
    return ZEPK_FAILED;
  }
  plat::Lock* timing = Locks().releaseTiming;

  if (!IsTimedMode(mode)) {
    const int32_t result = self->m_pfnRawRelease(camera, mode, a3, a4);
    if (mode == kReleaseStamp500) {
      // An exposure may have started even when the SDK reports a failure.
      plat::LockGuard guard(timing);
      self->releaseStamp_ = plat::NowTicks();
    } else if (result == ZEPK_OK && mode == kRelease0F) {
      plat::LockGuard guard(timing);
      self->releaseTimeout_ = 2 * (MicrosSince(self->releaseStamp_) + kReleaseMarginMicros);
    }
    return result;
  }

  // A failed read before the release: mode 0x0C still releases, so the camera is never left
  // waiting for the second half of a press.
  auto failBeforeRelease = [&](int32_t readResult) {
    if (mode == kReleaseTimed0C) self->m_pfnRawRelease(camera, mode, a3, a4);
    return readResult;
  };
  int32_t before = 0;
  int32_t other = 0;
  int32_t result = self->m_pfnGetBufferCapacity(camera, &before, &other);
  if (result != ZEPK_OK) return failBeforeRelease(result);
  int32_t code = 0;
  int32_t bulb = 0;
  result = self->m_pfnGetShutterSpeed(camera, &code, &bulb);
  if (result != ZEPK_OK) return failBeforeRelease(result);
  {
    plat::LockGuard guard(timing);
    self->releaseTimeout_ = ReleaseTimeoutFor(code);
  }

  result = self->m_pfnRawRelease(camera, mode, a3, a4);
  if (result != ZEPK_OK) return result;
  if (self->ListsReleaseMode0F(camera) && self->callback_) {
    self->callback_(camera, BRELON_EV_RELEASE_MODE_0F, self->callbackData_);
  }

  const int64_t waitStart = plat::NowTicks();
  {
    plat::LockGuard guard(timing);
    if (bulb != 1) {
      self->releaseStamp_ = waitStart;
    } else {
      // A bulb exposure lasts as long as the shutter was held since the last stamp.
      self->releaseTimeout_ = 2 * (MicrosSince(self->releaseStamp_) + kReleaseMarginMicros);
    }
  }

  int32_t current = 0;
  result = self->m_pfnGetBufferCapacity(camera, &current, &other);
  if (result != ZEPK_OK) return result;
  for (;;) {
    if (current != before) return ZEPK_OK;
    plat::SleepMs(kPollIntervalMs);
    int64_t timeout;
    {
      // Re-read each time: a mode 0x0F release on another thread may lengthen it.
      plat::LockGuard guard(timing);
      timeout = self->releaseTimeout_;
    }
    if (MicrosSince(waitStart) >= timeout) {
      WriteLog(kCoreSource, "ReleaseAndWait", __LINE__,
               "    ReleaseAndWait: no new picture within %lld us, mode=[0x%x]",
               static_cast<long long>(timeout), static_cast<unsigned>(mode));
      return BRELON_RELEASE_TIMEOUT;
    }
    result = self->m_pfnGetBufferCapacity(camera, &current, &other);
    if (result != ZEPK_OK) return result;
  }
}

}  // namespace brelon
