// The 66 ZEPK_ entry points of the simulated SDK. Each one counts the call, lets a scheduled
// fault take over, runs its simulation step under the global lock, and writes one trace line.
// ZEPASIM_WITHOUT_SERIAL and ZEPASIM_WITHOUT_PROP build the variants that lack some exports.
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "sim_state.h"
#include "zepa/zepasim.h"

namespace zepasim {
namespace {

constexpr size_t kTextField = 256;   // every text field of the device record and serial
constexpr size_t kSerialOffset = 0;  // device record layout
constexpr size_t kDeviceNameOffset = 768;
constexpr int32_t kMaxReleaseModesWritten = 512;  // room the callers provide
constexpr int32_t kMaxPropValues = 16;
constexpr size_t kPropTextUnits = 256;
constexpr int32_t kReleaseTimedFull = 0x104, kReleaseTimedTwoStep = 0x304, kReleaseTimed0C = 0x0C;
constexpr int32_t kPropSetSavedValue = 0x3327, kPropGetSavedValue = 0x3328;
constexpr int32_t kPropSetDrive = 0x4219, kPropGetDrive = 0x4220;
constexpr int32_t kPropTextPair = 0x4046, kPropTextSingle = 0x4044;
constexpr size_t kPropTextSingleIndex = 2;
constexpr char kVersionText[] = "ZEPA simulator 1.0";
constexpr char kEnumPrefix[] = "ENUM:";
constexpr char kIpv4Prefix[] = "IPV4:";

void AddArg(TraceArgs& args, int32_t v) {
  args.emplace_back(int64_t{v});
}
void AddArg(TraceArgs& args, uint32_t v) {
  args.emplace_back(int64_t{v});
}
void AddArg(TraceArgs& args, const char* s) {
  if (s) args.emplace_back(std::string(s));
}
template <typename... T>
TraceArgs Args(T... values) {
  TraceArgs args;
  (AddArg(args, values), ...);
  return args;
}

// When an entry point may run: only between ZEPK_Init and ZEPK_Exit, at any time, or as
// ZEPK_Init itself, which (re)loads the session first.
enum class Frame { kNeedsInit, kAnyTime, kInit };

// The frame of every entry point. Faults win over the simulation; a thrown fault leaves the
// lock first, since the exception will not come back.
template <typename Body>
int32_t Run(EntryId id, const TraceArgs& args, Body&& body, Frame frame = Frame::kNeedsInit) {
  int32_t ret = kSdkFailed;
  bool raise = false;
  {
    std::lock_guard<SimLock> guard(GlobalLock());
    Simulation& sim = Sim();
    if (frame == Frame::kInit) {
      sim.PrepareInit();
    } else {
      sim.EnsureLoaded();
    }
    sim.current = id;
    const FaultHit hit = sim.CountCall(id);
    // A faulted ZEPK_Init still initialises: the fault only changes what the caller sees, so
    // a caller that ignores the failure can go on using the simulator.
    if (frame == Frame::kInit) sim.initialized = sim.configError.empty();
    if (hit.fired) {
      ret = hit.result;
      raise = hit.raise;
    } else if (frame == Frame::kNeedsInit && !sim.initialized) {
      ret = sim.Fail(ZEPASIM_ERR_NOT_INITIALIZED);
    } else {
      try {
        ret = body(sim);
      } catch (...) {
        ret = sim.Fail(ZEPASIM_ERR_INTERNAL);
      }
    }
    sim.Trace(id, args, ret, raise);
  }
  if (raise) RaiseSdkException(EntryName(id));
  return ret;
}

// The frame of the entry points that act on a camera handle: an unknown or dead handle fails
// before the body sees a camera.
template <typename Body>
int32_t RunOnCamera(EntryId id, const TraceArgs& args, int32_t camera, Body&& body) {
  return Run(id, args, [&](Simulation& sim) {
    CameraState* c = sim.Resolve(camera);
    return c ? body(sim, c) : kSdkFailed;
  });
}

// A text into its 256-byte field: terminated when shorter, else filling the field without a
// terminator, as a camera's fixed-size record may.
void CopyText(char* out, const std::string& text) {
  const size_t n = std::min(text.size(), kTextField);
  memcpy(out, text.data(), n);
  if (n < kTextField) out[n] = '\0';
}

bool Contains(const std::vector<int32_t>& list, int32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool Restricted(const CameraConfig& cfg, Setting s) {
  return cfg.caps.count(s) || s == kPriorityMode || s == kMediaRecord;
}

int32_t GetSetting(EntryId id, int32_t camera, Setting s, int32_t* out) {
  return RunOnCamera(id, Args(camera), camera, [&](Simulation& sim, CameraState* c) {
    if (!out) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
    *out = c->cfg.settings[s];
    return kSdkOk;
  });
}

int32_t SetSetting(EntryId id, int32_t camera, Setting s, int32_t value) {
  return RunOnCamera(id, Args(camera, value), camera, [&](Simulation& sim, CameraState* c) {
    if (Restricted(c->cfg, s) && !Contains(c->cfg.CapsFor(s), value)) {
      return sim.Fail(ZEPASIM_ERR_UNSUPPORTED);
    }
    c->cfg.settings[s] = value;
    return kSdkOk;
  });
}

int32_t WriteList(Simulation& sim, const std::vector<int32_t>& list, int32_t* count,
                  int32_t* values, size_t limit) {
  if (!count) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
  *count = static_cast<int32_t>(list.size());
  if (values) {
    const size_t n = std::min(list.size(), limit);
    std::copy(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(n), values);
  }
  return kSdkOk;
}

int32_t CapSetting(EntryId id, int32_t camera, Setting s, int32_t* count, int32_t* values) {
  return RunOnCamera(id, Args(camera), camera, [&](Simulation& sim, CameraState* c) {
    return WriteList(sim, c->cfg.CapsFor(s), count, values, SIZE_MAX);
  });
}

// Entry points that only need a live handle.
int32_t Accept(EntryId id, int32_t camera) {
  return RunOnCamera(id, Args(camera), camera, [](Simulation&, CameraState*) { return kSdkOk; });
}

// Copies the oldest ready item (only preview frames with `preview`) to the caller's buffer and
// removes it from the camera.
int32_t TakeOldest(Simulation& sim, CameraState& c, bool preview, void* buffer, bool capacityValid,
                   uint64_t capacity) {
  const int index = sim.OldestReady(c, preview);
  if (index < 0) return sim.Fail(ZEPASIM_ERR_NO_IMAGE);
  if (!buffer || !capacityValid) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
  PendingItem& item = c.queue[static_cast<size_t>(index)];
  if (capacity < item.size) {
    // A live-view frame is gone once the camera has tried to send it, as a newer one supersedes
    // it; a picture stays for a retry with a larger buffer.
    if (item.kind == PendingItem::Kind::kPreview) c.queue.erase(c.queue.begin() + index);
    return sim.Fail(ZEPASIM_ERR_BUFFER_TOO_SMALL);
  }
  item.CopyTo(buffer);
  c.queue.erase(c.queue.begin() + index);
  return kSdkOk;
}

bool ParseIndex(const char* text, size_t& index) {
  if (!*text) return false;
  size_t value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || value > 1000000) return false;
    value = value * 10 + static_cast<size_t>(*p - '0');
  }
  index = value;
  return true;
}

bool StartsWith(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

bool ReachableByAddress(const CameraConfig& cfg) {
  return (cfg.connect & (ZEPASIM_IF_IPV4 | ZEPASIM_IF_DISCOVERY)) != 0;
}

int32_t OpenCamera(Simulation& sim, const char* name, int32_t* handle, int32_t* mode) {
  if (!name || !handle) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
  CameraState* found = nullptr;
  size_t foundIndex = 0;
  size_t index = 0;
  if (StartsWith(name, kEnumPrefix) && ParseIndex(name + strlen(kEnumPrefix), index)) {
    if (index < sim.detected.size() && sim.Plugged(sim.detected[index])) {
      foundIndex = sim.detected[index];
      found = sim.Plugged(foundIndex);
    }
  } else if (StartsWith(name, kIpv4Prefix)) {
    const std::string address = name + strlen(kIpv4Prefix);
    for (size_t i = 0; i < sim.cameras.size() && !found; ++i) {
      CameraState* c = sim.Plugged(i);
      if (c && ReachableByAddress(c->cfg) && c->cfg.ip == address) {
        found = c;
        foundIndex = i;
      }
    }
  }
  if (!found) return sim.Fail(ZEPASIM_ERR_NO_DEVICE);
  const int32_t id = sim.nextHandle;
  sim.nextHandle = sim.nextHandle == INT32_MAX ? 1 : sim.nextHandle + 1;
  sim.handles[id] = Handle{foundIndex, true};
  *handle = id;
  if (mode) *mode = found->cfg.openMode;
  return kSdkOk;
}

bool IsPictureRelease(int32_t mode) {
  return mode == kReleaseTimedFull || mode == kReleaseTimedTwoStep || mode == kReleaseTimed0C;
}

#ifndef ZEPASIM_WITHOUT_PROP
std::u16string Utf8ToUtf16(const std::string& text) {
  constexpr char16_t kReplacement = 0xFFFD;
  constexpr uint32_t kLastCodePoint = 0x10FFFF, kFirstSupplementary = 0x10000;
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const uint8_t lead = static_cast<uint8_t>(text[i]);
    size_t extra = 0;
    uint32_t cp = lead;
    if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07;
    } else if (lead >= 0x80) {
      cp = kReplacement;
    }
    bool valid = i + extra < text.size();
    for (size_t k = 1; valid && k <= extra; ++k) {
      const uint8_t next = static_cast<uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid || cp > kLastCodePoint) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    i += 1 + extra;
    if (cp >= kFirstSupplementary) {
      cp -= kFirstSupplementary;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

void CopyPropText(char16_t* out, const std::string& text) {
  std::u16string wide = Utf8ToUtf16(text);
  if (wide.size() > kPropTextUnits - 1) wide.resize(kPropTextUnits - 1);
  std::copy(wide.begin(), wide.end(), out);
  out[wide.size()] = u'\0';
}

bool IsTextProp(int32_t code) {
  return code == kPropTextPair || code == kPropTextSingle;
}
// Properties addressed by a sub-index that comes by value before the data.
bool IsKeyedProp(int32_t code) {
  return code == kPropSetDrive || code == kPropGetDrive;
}

bool PropCountValid(int32_t count) {
  return count >= 0 && count <= kMaxPropValues;
}

// The `count` values after the count; none when the count is out of range.
std::vector<ZepkArg> ReadValues(int32_t count, va_list ap) {
  std::vector<ZepkArg> values;
  for (int32_t i = 0; PropCountValid(count) && i < count; ++i)
    values.push_back(va_arg(ap, ZepkArg));
  return values;
}
#endif  // ZEPASIM_WITHOUT_PROP

}  // namespace
}  // namespace zepasim

using namespace zepasim;

extern "C" {

ZEPK_API int32_t BRELON_CDECL ZEPK_Init(void* module) {
  return Run(
      kEntry_ZEPK_Init, {},
      [](Simulation& sim) { return sim.initialized ? kSdkOk : sim.Fail(ZEPASIM_ERR_CONFIG); },
      Frame::kInit);
}

ZEPK_API int32_t BRELON_CDECL ZEPK_Exit(void) {
  return Run(
      kEntry_ZEPK_Exit, {},
      [](Simulation& sim) {
        sim.initialized = false;
        sim.handles.clear();
        return kSdkOk;
      },
      Frame::kAnyTime);
}

ZEPK_API int32_t BRELON_CDECL ZEPK_Detect(int32_t flags, const char* address, const char* model,
                                          int32_t* count) {
  return Run(kEntry_ZEPK_Detect, Args(flags, address, model), [&](Simulation& sim) {
    if (!count) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
    sim.detected.clear();
    for (size_t i = 0; i < sim.cameras.size(); ++i) {
      const CameraState* c = sim.Plugged(i);
      if (!c) continue;
      const uint32_t bits = static_cast<uint32_t>(flags) & c->cfg.connect;
      bool match = (bits & (ZEPASIM_IF_USB | ZEPASIM_IF_DISCOVERY)) != 0;
      if ((flags & ZEPASIM_IF_IPV4) && ReachableByAddress(c->cfg) && address &&
          c->cfg.ip == address) {
        match = true;
      }
      if (model && c->cfg.model != model) match = false;
      if (match) sim.detected.push_back(i);
    }
    *count = static_cast<int32_t>(sim.detected.size());
    return kSdkOk;
  });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_Open(const char* name, int32_t* camera) {
  return Run(kEntry_ZEPK_Open, Args(name),
             [&](Simulation& sim) { return OpenCamera(sim, name, camera, nullptr); });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_OpenEx(const char* name, int32_t* camera, int32_t* mode,
                                          void* reserved) {
  return Run(kEntry_ZEPK_OpenEx, Args(name),
             [&](Simulation& sim) { return OpenCamera(sim, name, camera, mode); });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_Close(int32_t camera) {
  return Run(kEntry_ZEPK_Close, Args(camera), [&](Simulation& sim) {
    auto it = sim.handles.find(camera);
    if (it == sim.handles.end()) return sim.Fail(ZEPASIM_ERR_BAD_HANDLE);
    const bool gone = !it->second.alive || !sim.cameras[it->second.camera].cfg.plugged;
    sim.handles.erase(it);
    return gone ? sim.Fail(ZEPASIM_ERR_DEVICE_GONE) : kSdkOk;
  });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_PowerOFF(int32_t camera) {
  return RunOnCamera(kEntry_ZEPK_PowerOFF, Args(camera), camera,
                     [&](Simulation& sim, CameraState*) {
                       sim.handles.erase(camera);
                       return kSdkOk;
                     });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_GetErrorNumber(int32_t camera, int32_t* apiCode,
                                                  int32_t* errorNumber) {
  return Run(
      kEntry_ZEPK_GetErrorNumber, Args(camera),
      [&](Simulation& sim) {
        if (!apiCode || !errorNumber) return kSdkFailed;  // keeps the error it would report
        *apiCode = sim.lastApi;
        *errorNumber = sim.lastError;
        return kSdkOk;
      },
      Frame::kAnyTime);
}

ZEPK_API int32_t BRELON_CDECL ZEPK_GetVersionString(char* out, int32_t capacity) {
  return Run(
      kEntry_ZEPK_GetVersionString, Args(capacity),
      [&](Simulation& sim) {
        if (!out || capacity <= 0) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
        const size_t n = std::min(strlen(kVersionText), static_cast<size_t>(capacity) - 1);
        memcpy(out, kVersionText, n);
        out[n] = '\0';
        return kSdkOk;
      },
      Frame::kAnyTime);
}

ZEPK_API int32_t BRELON_CDECL ZEPK_GetDeviceInfo(int32_t camera, DeviceInformation* out) {
  return RunOnCamera(kEntry_ZEPK_GetDeviceInfo, Args(camera), camera,
                     [&](Simulation& sim, CameraState* c) {
                       if (!out) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
                       memset(out, 0, sizeof *out);
                       char* record = reinterpret_cast<char*>(out);
                       CopyText(record + kSerialOffset, c->cfg.serial);
                       CopyText(out->manufacturer, c->cfg.manufacturer);
                       CopyText(out->model, c->cfg.model);
                       CopyText(record + kDeviceNameOffset, c->deviceName);
                       CopyText(out->networkAddress, c->cfg.ip);
                       return kSdkOk;
                     });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_WriteDeviceName(int32_t camera, const char* name) {
  return RunOnCamera(kEntry_ZEPK_WriteDeviceName, Args(camera, name), camera,
                     [&](Simulation& sim, CameraState* c) {
                       if (!name) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
                       c->deviceName = name;
                       return kSdkOk;
                     });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_CapRelease(int32_t camera, int32_t* count, int32_t* modes) {
  return RunOnCamera(
      kEntry_ZEPK_CapRelease, Args(camera), camera, [&](Simulation& sim, CameraState* c) {
        return WriteList(sim, c->cfg.releaseModes, count, modes, kMaxReleaseModesWritten);
      });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_Release(int32_t camera, int32_t mode, ZepkArg out1,
                                           ZepkArg out2) {
  return RunOnCamera(kEntry_ZEPK_Release, Args(camera, mode), camera,
                     [&](Simulation& sim, CameraState* c) {
                       if (IsPictureRelease(mode)) sim.TakeShot(*c);
                       return kSdkOk;
                     });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_GetReleaseStatus(int32_t camera, int32_t* status) {
  return RunOnCamera(
      kEntry_ZEPK_GetReleaseStatus, Args(camera), camera, [&](Simulation& sim, CameraState* c) {
        if (!status) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
        *status = sim.QueuedCount(*c) > sim.ReadyCount(*c, true) ? 1 : 0;  // 1 while exposing
        return kSdkOk;
      });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_ReadImageInfo(int32_t camera, ZepkImageInfo* info) {
  return RunOnCamera(kEntry_ZEPK_ReadImageInfo, Args(camera), camera,
                     [&](Simulation& sim, CameraState* c) {
                       if (!info) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
                       memset(info, 0, sizeof *info);
                       const int index = sim.OldestReady(*c, false);
                       if (index < 0) {
                         info->format = ZEPASIM_FORMAT_NONE;
                         return kSdkOk;
                       }
                       const PendingItem& item = c->queue[static_cast<size_t>(index)];
                       info->format = item.format;
                       info->size = static_cast<uint32_t>(item.size);
                       memcpy(info->reserved0, &item.frame, sizeof item.frame);
                       return kSdkOk;
                     });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_ReadImage(int32_t camera, void* buffer, uint32_t capacity) {
  return RunOnCamera(kEntry_ZEPK_ReadImage, Args(camera, capacity), camera,
                     [&](Simulation& sim, CameraState* c) {
                       return TakeOldest(sim, *c, false, buffer, true, capacity);
                     });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_ReadPreview(int32_t camera, void* buffer, int32_t capacity) {
  return RunOnCamera(kEntry_ZEPK_ReadPreview, Args(camera, capacity), camera,
                     [&](Simulation& sim, CameraState* c) {
                       const bool valid = capacity >= 0;
                       return TakeOldest(sim, *c, true, buffer, valid,
                                         valid ? static_cast<uint64_t>(capacity) : 0);
                     });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_DeleteImage(int32_t camera) {
  return RunOnCamera(kEntry_ZEPK_DeleteImage, Args(camera), camera,
                     [&](Simulation& sim, CameraState* c) {
                       const int index = sim.OldestReady(*c, false);
                       if (index < 0) return sim.Fail(ZEPASIM_ERR_NO_IMAGE);
                       c->queue.erase(c->queue.begin() + index);
                       return kSdkOk;
                     });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_GetBufferCapacity(int32_t camera, int32_t* count,
                                                     int32_t* other) {
  return RunOnCamera(kEntry_ZEPK_GetBufferCapacity, Args(camera), camera,
                     [&](Simulation& sim, CameraState* c) {
                       if (!count || !other) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
                       *count = sim.ReadyCount(*c, false);
                       *other = c->cfg.cardCapacity;
                       return kSdkOk;
                     });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_SetShutterSpeed(int32_t camera, int32_t code, int32_t bulb) {
  return RunOnCamera(
      kEntry_ZEPK_SetShutterSpeed, Args(camera, code, bulb), camera,
      [&](Simulation& sim, CameraState* c) {
        if (Restricted(c->cfg, kShutterCode) && !Contains(c->cfg.CapsFor(kShutterCode), code)) {
          return sim.Fail(ZEPASIM_ERR_UNSUPPORTED);
        }
        c->cfg.settings[kShutterCode] = code;
        c->cfg.settings[kBulb] = bulb;
        return kSdkOk;
      });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_GetShutterSpeed(int32_t camera, int32_t* code, int32_t* bulb) {
  return RunOnCamera(kEntry_ZEPK_GetShutterSpeed, Args(camera), camera,
                     [&](Simulation& sim, CameraState* c) {
                       if (!code || !bulb) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
                       *code = c->cfg.settings[kShutterCode];
                       *bulb = c->cfg.settings[kBulb];
                       return kSdkOk;
                     });
}

#ifndef ZEPASIM_WITHOUT_PROP
ZEPK_API int32_t BRELON_CDECL ZEPK_CapProp(int32_t camera, int32_t code, int32_t count, ...) {
  va_list ap;
  va_start(ap, count);
  const std::vector<ZepkArg> values = ReadValues(count, ap);
  va_end(ap);
  TraceArgs args = Args(camera, code, count);
  for (ZepkArg v : values) AddArg(args, static_cast<int32_t>(v));
  return RunOnCamera(kEntry_ZEPK_CapProp, args, camera, [&](Simulation& sim, CameraState*) {
    return PropCountValid(count) ? kSdkOk : sim.Fail(ZEPASIM_ERR_ARGUMENT);
  });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_SetProp(int32_t camera, int32_t code, int32_t count, ...) {
  va_list ap;
  va_start(ap, count);
  const std::vector<ZepkArg> raw = ReadValues(count, ap);
  va_end(ap);
  std::vector<int32_t> values(raw.begin(), raw.end());
  TraceArgs args = Args(camera, code, count);
  for (int32_t v : values) AddArg(args, v);
  return RunOnCamera(kEntry_ZEPK_SetProp, args, camera, [&](Simulation& sim, CameraState* c) {
    if (!PropCountValid(count)) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
    c->cfg.props[code] = values;
    // Set/get pairs of one camera value: what the first sets, the second reads back.
    if (code == kPropSetSavedValue) c->cfg.props[kPropGetSavedValue] = values;
    if (code == kPropSetDrive) c->cfg.props[kPropGetDrive] = values;
    return kSdkOk;
  });
}

ZEPK_API int32_t BRELON_CDECL ZEPK_GetProp(int32_t camera, int32_t code, int32_t count, ...) {
  va_list ap;
  va_start(ap, count);
  const std::vector<ZepkArg> raw = ReadValues(count, ap);
  va_end(ap);
  const size_t byValue = IsKeyedProp(code) && !raw.empty() ? 1 : 0;
  TraceArgs args = Args(camera, code, count);
  for (size_t i = 0; i < byValue; ++i) AddArg(args, static_cast<int32_t>(raw[i]));
  return RunOnCamera(kEntry_ZEPK_GetProp, args, camera, [&](Simulation& sim, CameraState* c) {
    if (!PropCountValid(count)) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
    if (IsTextProp(code)) {
      const size_t first = code == kPropTextSingle ? kPropTextSingleIndex : 0;
      for (size_t i = 0; i < raw.size(); ++i) {
        auto* text = reinterpret_cast<char16_t*>(raw[i]);
        if (!text) continue;
        const size_t which = first + i;
        CopyPropText(text, which < c->cfg.propText.size() ? c->cfg.propText[which] : "");
      }
      return kSdkOk;
    }
    const auto stored = c->cfg.props.find(code);
    for (size_t i = byValue; i < raw.size(); ++i) {
      auto* out = reinterpret_cast<int32_t*>(raw[i]);
      if (!out) continue;
      const bool known = stored != c->cfg.props.end() && i < stored->second.size();
      *out = known ? stored->second[i] : 0;
    }
    return kSdkOk;
  });
}
#endif  // ZEPASIM_WITHOUT_PROP

#ifndef ZEPASIM_WITHOUT_SERIAL
ZEPK_API int32_t BRELON_CDECL ZEPK_GetSerialNo(int32_t index, char* serial, char* model) {
  return Run(kEntry_ZEPK_GetSerialNo, Args(index), [&](Simulation& sim) {
    if (!serial || !model) return sim.Fail(ZEPASIM_ERR_ARGUMENT);
    if (index < 0 || static_cast<size_t>(index) >= sim.detected.size()) {
      return sim.Fail(ZEPASIM_ERR_NO_DEVICE);
    }
    const CameraState* c = sim.Plugged(sim.detected[static_cast<size_t>(index)]);
    if (!c) return sim.Fail(ZEPASIM_ERR_NO_DEVICE);
    CopyText(serial, c->cfg.serial);
    CopyText(model, c->cfg.model);
    return kSdkOk;
  });
}
#endif  // ZEPASIM_WITHOUT_SERIAL

// ---- Entry points generated from tables --------------------------------------------------
// One line each: the settings with a getter, setter and capability list (a capability entry
// with an extra trailing argument is kCapX), and the entries that only check their handle;
// what those write is not part of the contract, so the simulator leaves their buffers alone.
#define ZEPASIM_SETTING_ENTRIES(X)                   \
  X(PriorityMode, kPriorityMode, kCap, kSet, kGet)   \
  X(AEMode, kAeMode, kCap, kSet, kGet)               \
  X(ExposureBias, kExposureBias, kCap, kSet, kGet)   \
  X(DynamicRange, kDynamicRange, kCap, kSet, kGet)   \
  X(Sensitivity, kSensitivity, kCap, kSet, kGet)     \
  X(MeteringMode, kMeteringMode, kCap, kSet, kGet)   \
  X(WBMode, kWbMode, kCap, kSet, kGet)               \
  X(WBColorTemp, kWbColorTemp, kCap, kSet, kGet)     \
  X(MediaRecord, kMediaRecord, kCap, kSet, kGet)     \
  X(Aperture, kAperture, kCapX, kSet, kGet)          \
  X(ShutterSpeed, kShutterCode, kCapX, kNone, kNone) \
  X(LensZoomPos, kLensZoomPos, kNone, kSet, kGet)    \
  X(ForceMode, kForceMode, kCap, kSet, kNone)

#define ZEPASIM_HANDLE_ONLY_ENTRIES(X)                    \
  X(GetFirmwareVersion, (ZepkArg))                        \
  X(GetLensInfo, (ZepkArg))                               \
  X(GetLensVersion, (ZepkArg))                            \
  X(CapLensZoomPos, (ZepkArg, ZepkArg, ZepkArg, ZepkArg)) \
  X(SetBackupSettings, (ZepkArg, ZepkArg))                \
  X(GetBackupSettings, (ZepkArg, ZepkArg))

#define ZEPASIM_kNone(Name, setting)
#define ZEPASIM_CAP(Name, setting, ...)                                                      \
  ZEPK_API int32_t BRELON_CDECL ZEPK_Cap##Name(int32_t camera, int32_t* count,               \
                                               int32_t* values __VA_OPT__(, ) __VA_ARGS__) { \
    return CapSetting(kEntry_ZEPK_Cap##Name, camera, setting, count, values);                \
  }
#define ZEPASIM_kCap(Name, setting) ZEPASIM_CAP(Name, setting)
#define ZEPASIM_kCapX(Name, setting) ZEPASIM_CAP(Name, setting, ZepkArg)
#define ZEPASIM_kSet(Name, setting)                                             \
  ZEPK_API int32_t BRELON_CDECL ZEPK_Set##Name(int32_t camera, int32_t value) { \
    return SetSetting(kEntry_ZEPK_Set##Name, camera, setting, value);           \
  }
#define ZEPASIM_kGet(Name, setting)                                              \
  ZEPK_API int32_t BRELON_CDECL ZEPK_Get##Name(int32_t camera, int32_t* value) { \
    return GetSetting(kEntry_ZEPK_Get##Name, camera, setting, value);            \
  }
#define ZEPASIM_SETTING(Name, setting, cap, set, get) \
  ZEPASIM_##cap(Name, setting) ZEPASIM_##set(Name, setting) ZEPASIM_##get(Name, setting)
ZEPASIM_SETTING_ENTRIES(ZEPASIM_SETTING)

#define ZEPASIM_HANDLE_ONLY(Name, extra)                                            \
  ZEPK_API int32_t BRELON_CDECL ZEPK_##Name(int32_t camera, ZEPASIM_UNPACK extra) { \
    return Accept(kEntry_ZEPK_##Name, camera);                                      \
  }
#define ZEPASIM_UNPACK(...) __VA_ARGS__
ZEPASIM_HANDLE_ONLY_ENTRIES(ZEPASIM_HANDLE_ONLY)

}  // extern "C"
