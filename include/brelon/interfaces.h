/* The three interface objects CreateIF hands out (IBrelon, IBrelon_ZEPKAPI, IBrelon_Property),
 * all derived from IBrelon_OBJ, with a plain-C view of each vtable. Hosts call the members by
 * slot position, so the order and the signatures below are frozen: new operations only ever go
 * into a new interface, never into these. */
#ifndef BRELON_INTERFACES_H
#define BRELON_INTERFACES_H

#include <stddef.h>
#include <stdint.h>

#include "brelon/brelon.h"
#include "zepa/zepk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Common contract ------------------------------------------------------------------------
 * - Objects come only from CreateIF (kinds below) with a reference count of 1; the caller owns
 *   that reference. AddRef adds one, Release drops one and frees the object when the count
 *   reaches 0 or less. The count is a plain integer, not atomic: one object's AddRef/Release must
 *   not run on two threads at once.
 * - An object is a view of the plug-in context passed to CreateIF. It neither owns nor keeps
 *   that context alive: release every object before Exit frees the context.
 * - Members are thiscall on 32-bit x86 (object in ECX, the callee pops its arguments), except the
 *   variadic ones, which are cdecl with the object as first stack argument; on x64 there is one
 *   convention. Every argument occupies one 32-bit word on x86; arguments that may carry an
 *   address are pointer-sized (ZepkArg, pointers) so that the x64 build carries addresses too.
 * - Unless stated otherwise a member may be called from any host thread, and every buffer passed
 *   in is owned by the host and only borrowed for the duration of the call.
 * - An 8-bit text the plug-in itself writes into a host buffer takes at most
 *   BRELON_HOST_TEXT_BYTES bytes, terminator included: a longer text is cut after its last whole
 *   character that fits (never inside a multi-byte character), and the bytes after the
 *   terminator are left as they were. (Buffers that IBrelon_ZEPKAPI hands to the SDK are the
 *   SDK's to fill.) */

/* Size hosts give every 8-bit text buffer (a Windows path's worth). */
enum { BRELON_HOST_TEXT_BYTES = 260 };

/* CreateIF kinds. */
enum BrelonInterfaceKind {
  BRELON_IF_PROPERTY = 1, /* IBrelon_Property */
  BRELON_IF_BRELON = 2,   /* IBrelon */
  BRELON_IF_ZEPKAPI = 3   /* IBrelon_ZEPKAPI */
};

enum BrelonInterfaceSlots {
  BRELON_OBJ_SLOTS = 2,
  BRELON_IBRELON_SLOTS = 36,
  BRELON_IZEPKAPI_SLOTS = 55,
  BRELON_IPROPERTY_SLOTS = 4
};

/* Bit 0 of the argument of IBrelon slot 35: free the object's memory. */
enum { BRELON_DESTROY_FREE = 0x01 };

/* Property values per BRN_CapProp/GetProp/SetProp call: the SDK takes the count word and at most
 * this many values after the camera handle and the property code. */
enum { BRELON_PROP_MAX_VALUES = 10 };

/* IBrelon_ZEPKAPI slots 2..54 in slot order: FIXED(name, words) for a member forwarding `words`
 * arguments to ZEPK_<name> after the camera handle; PROP(name) for the variadic property
 * members. The one table from which the interface, the C view and the implementation are made. */
#define BRELON_ZEPKAPI_METHODS(FIXED, PROP) \
  FIXED(GetPriorityMode, 1)                 \
  FIXED(SetPriorityMode, 1)                 \
  FIXED(CapAEMode, 2)                       \
  FIXED(GetAEMode, 1)                       \
  FIXED(SetAEMode, 1)                       \
  FIXED(CapLensZoomPos, 4)                  \
  FIXED(GetLensZoomPos, 1)                  \
  FIXED(SetLensZoomPos, 1)                  \
  FIXED(CapAperture, 3)                     \
  FIXED(GetAperture, 1)                     \
  FIXED(SetAperture, 1)                     \
  FIXED(CapShutterSpeed, 3)                 \
  FIXED(GetShutterSpeed, 2)                 \
  FIXED(SetShutterSpeed, 2)                 \
  FIXED(CapSensitivity, 2)                  \
  FIXED(GetSensitivity, 1)                  \
  FIXED(SetSensitivity, 1)                  \
  FIXED(CapWBMode, 2)                       \
  FIXED(GetWBMode, 1)                       \
  FIXED(SetWBMode, 1)                       \
  FIXED(CapWBColorTemp, 2)                  \
  FIXED(GetWBColorTemp, 1)                  \
  FIXED(SetWBColorTemp, 1)                  \
  FIXED(CapExposureBias, 2)                 \
  FIXED(GetExposureBias, 1)                 \
  FIXED(SetExposureBias, 1)                 \
  FIXED(CapMeteringMode, 2)                 \
  FIXED(GetMeteringMode, 1)                 \
  FIXED(SetMeteringMode, 1)                 \
  FIXED(CapDynamicRange, 2)                 \
  FIXED(SetDynamicRange, 1)                 \
  FIXED(GetDynamicRange, 1)                 \
  FIXED(CapForceMode, 2)                    \
  FIXED(SetForceMode, 1)                    \
  FIXED(CapRelease, 2)                      \
  FIXED(GetReleaseStatus, 1)                \
  PROP(CapProp)                             \
  PROP(GetProp)                             \
  PROP(SetProp)                             \
  FIXED(ReadImageInfo, 1)                   \
  FIXED(ReadImage, 2)                       \
  FIXED(ReadPreview, 2)                     \
  FIXED(GetErrorNumber, 2)                  \
  FIXED(GetBufferCapacity, 2)               \
  FIXED(CapMediaRecord, 2)                  \
  FIXED(SetMediaRecord, 1)                  \
  FIXED(GetMediaRecord, 1)                  \
  FIXED(GetDeviceInfo, 1)                   \
  FIXED(GetFirmwareVersion, 1)              \
  FIXED(GetLensInfo, 1)                     \
  FIXED(GetLensVersion, 1)                  \
  FIXED(SetBackupSettings, 2)               \
  FIXED(GetBackupSettings, 2)

/* Parameter and argument lists of a FIXED member with n words. */
#define BRELON_WORD_PARAMS_1 ZepkArg a1
#define BRELON_WORD_PARAMS_2 ZepkArg a1, ZepkArg a2
#define BRELON_WORD_PARAMS_3 ZepkArg a1, ZepkArg a2, ZepkArg a3
#define BRELON_WORD_PARAMS_4 ZepkArg a1, ZepkArg a2, ZepkArg a3, ZepkArg a4
#define BRELON_WORD_ARGS_1 a1
#define BRELON_WORD_ARGS_2 a1, a2
#define BRELON_WORD_ARGS_3 a1, a2, a3
#define BRELON_WORD_ARGS_4 a1, a2, a3, a4

/* ---- Plain-C view ----------------------------------------------------------------------------
 * An object is a pointer to its vtable pointer. `self` is the object pointer CreateIF returned.
 * Field i of each Vtbl struct is slot i. */

typedef struct IBrelonVtbl {
  int32_t(BRELON_THISCALL* AddRef)(void* self);
  int32_t(BRELON_THISCALL* Release)(void* self);
  int32_t(BRELON_THISCALL* SetPriorityMode)(void* self, int32_t mode, int32_t timeoutMs);
  void(BRELON_THISCALL* ResetPriorityMode)(void* self);
  int32_t(BRELON_THISCALL* GetPriorityMode)(void* self, int32_t refresh);
  int32_t(BRELON_THISCALL* SetMode3301)(void* self);
  int32_t(BRELON_THISCALL* ClearMode3301)(void* self);
  int32_t(BRELON_THISCALL* GetMode3301)(void* self);
  int32_t(BRELON_THISCALL* GetRearm3301)(void* self);
  void(BRELON_THISCALL* SetMode3301State)(void* self, int32_t mode, int32_t rearm);
  void(BRELON_THISCALL* SetHostValue)(void* self, int32_t value);
  int32_t(BRELON_THISCALL* GetHostValue)(void* self);
  int32_t(BRELON_THISCALL* GetCameraHandle)(void* self);
  void(BRELON_THISCALL* GetCondition)(void* self, BrelonCondition* out);
  int32_t(BRELON_THISCALL* TakePreview)(void* self, void* dst, int32_t* size);
  int32_t(BRELON_THISCALL* ExtractEmbeddedJpeg)(void* self, const uint8_t* raw, intptr_t ignored,
                                                uint8_t* dst, int32_t* size);
  int32_t(BRELON_THISCALL* MakeOutputFolder)(void* self, char16_t* path, int32_t kind);
  int32_t(BRELON_THISCALL* ReleaseShutter)(void* self, int32_t mode, int32_t option);
  void(BRELON_THISCALL* SetPropTexts)(void* self, const char16_t* first, const char16_t* second,
                                      const char16_t* third);
  void(BRELON_THISCALL* GetPropTexts)(void* self, char16_t* first, char16_t* second,
                                      char16_t* third);
  void(BRELON_THISCALL* SetImageWait)(void* self, int32_t armed);
  int32_t(BRELON_THISCALL* GetImageWait)(void* self);
  void*(BRELON_THISCALL* GetImageWaitEvent)(void* self);
  void(BRELON_THISCALL* SetHostCount)(void* self, int32_t count);
  int32_t(BRELON_THISCALL* GetAlwaysOne)(void* self);
  int32_t(BRELON_THISCALL* ReadImageInfoFromFile)(void* self, const char* path, char* fileName,
                                                  char* folderName, int32_t raw);
  void(BRELON_THISCALL* SetHostOptionFlags)(void* self, uint32_t flags);
  int32_t(BRELON_THISCALL* GetConnectKind)(void* self);
  void(BRELON_THISCALL* SetHostFlag)(void* self, uint8_t flag);
  uint8_t(BRELON_THISCALL* GetHostFlag)(void* self);
  void(BRELON_THISCALL* GetCapacity)(void* self, int32_t* a, int32_t* b);
  void(BRELON_THISCALL* SetCapacity)(void* self, int32_t a, int32_t b);
  int32_t(BRELON_THISCALL* GetOpenMode)(void* self);
  void(BRELON_THISCALL* LockHost)(void* self, int32_t index);
  void(BRELON_THISCALL* UnlockHost)(void* self, int32_t index);
  void*(BRELON_THISCALL* Destroy)(void* self, uint8_t flags);
} IBrelonVtbl;

#define BRELON_C_FIXED(name, n) \
  int32_t(BRELON_THISCALL* BRN_##name)(void* self, BRELON_WORD_PARAMS_##n);
#define BRELON_C_PROP(name) \
  int32_t(BRELON_CDECL* BRN_##name)(void* self, int32_t code, int32_t count, ...);
typedef struct IBrelon_ZEPKAPIVtbl {
  int32_t(BRELON_THISCALL* AddRef)(void* self);
  int32_t(BRELON_THISCALL* Release)(void* self);
  BRELON_ZEPKAPI_METHODS(BRELON_C_FIXED, BRELON_C_PROP)
} IBrelon_ZEPKAPIVtbl;
#undef BRELON_C_FIXED
#undef BRELON_C_PROP

typedef struct IBrelon_PropertyVtbl {
  int32_t(BRELON_THISCALL* AddRef)(void* self);
  int32_t(BRELON_THISCALL* Release)(void* self);
  int32_t(BRELON_THISCALL* Write)(void* self, _BRELON_PROPERTY* record);
  int32_t(BRELON_THISCALL* Read)(void* self, _BRELON_PROPERTY* record);
} IBrelon_PropertyVtbl;

typedef struct IBrelonC {
  const IBrelonVtbl* lpVtbl;
} IBrelonC;
typedef struct IBrelon_ZEPKAPIC {
  const IBrelon_ZEPKAPIVtbl* lpVtbl;
} IBrelon_ZEPKAPIC;
typedef struct IBrelon_PropertyC {
  const IBrelon_PropertyVtbl* lpVtbl;
} IBrelon_PropertyC;

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(IBrelonVtbl) == BRELON_IBRELON_SLOTS * sizeof(void*), "IBrelon slots");
static_assert(offsetof(IBrelonVtbl, LockHost) == 33 * sizeof(void*), "IBrelon slot 33");
static_assert(sizeof(IBrelon_ZEPKAPIVtbl) == BRELON_IZEPKAPI_SLOTS * sizeof(void*),
              "IBrelon_ZEPKAPI slots");
static_assert(offsetof(IBrelon_ZEPKAPIVtbl, BRN_CapProp) == 38 * sizeof(void*), "slot 38");
static_assert(offsetof(IBrelon_ZEPKAPIVtbl, BRN_GetBackupSettings) == 54 * sizeof(void*),
              "slot 54");
static_assert(sizeof(IBrelon_PropertyVtbl) == BRELON_IPROPERTY_SLOTS * sizeof(void*),
              "IBrelon_Property slots");

/* ---- C++ interfaces --------------------------------------------------------------------------
 * Pure virtual members only, in slot order; no virtual destructor (it would take two slots with
 * GCC and one with MSVC). The protected destructor keeps code from deleting through an interface:
 * the last Release frees the object. */

// Slots 0 and 1 of every interface.
class IBrelon_OBJ {
 public:
  // Slot 0. Adds a reference; returns the new count. Any thread, not concurrently with another
  // AddRef/Release of the same object.
  virtual int32_t BRELON_THISCALL AddRef() = 0;
  // Slot 1. Drops a reference; at 0 or below frees the object, which the caller must not touch
  // again. Returns the new count. Same threading rule as AddRef.
  virtual int32_t BRELON_THISCALL Release() = 0;

 protected:
  ~IBrelon_OBJ() = default;
};

// The interface object (CreateIF kind 2): context fields, a few direct SDK calls, the preview
// hand-over and the host locks. "Connected" means a camera connection is open; operations that
// need the camera return -1 without calling the SDK when it is not. SDK results pass unchanged.
class IBrelon : public IBrelon_OBJ {
 public:
  // Slot 2. Sets the camera's priority mode (in), retrying while the camera answers busy
  // (0x1006) until `timeoutMs` (in) milliseconds have passed. Mode 2 saves drive value 0x4220 and
  // replaces 6 or 7 of property 0x4219 by 2; mode 1 restores it. 0, -1 not connected, or the
  // SDK's failure. Blocks for up to timeoutMs.
  virtual int32_t BRELON_THISCALL SetPriorityMode(int32_t mode, int32_t timeoutMs) = 0;
  // Slot 3. Forgets the cached priority mode (back to 1) and the saved drive value. No SDK call.
  virtual void BRELON_THISCALL ResetPriorityMode() = 0;
  // Slot 4. The cached priority mode; with `refresh` (in) non-zero and a camera connected it is
  // first read from the camera.
  virtual int32_t BRELON_THISCALL GetPriorityMode(int32_t refresh) = 0;
  // Slots 5 and 6. Sends property 0x3301 (mode on) or 0x3302 (mode off) to the camera and on
  // success records the mode. The SDK's result, or -1 when not connected.
  virtual int32_t BRELON_THISCALL SetMode3301() = 0;
  virtual int32_t BRELON_THISCALL ClearMode3301() = 0;
  // Slots 7 and 8. Whether mode 0x3301 is on, and whether it must be sent again after the next
  // image.
  virtual int32_t BRELON_THISCALL GetMode3301() = 0;
  virtual int32_t BRELON_THISCALL GetRearm3301() = 0;
  // Slot 9. Stores both flags (in) without telling the camera.
  virtual void BRELON_THISCALL SetMode3301State(int32_t mode, int32_t rearm) = 0;
  // Slots 10 and 11. A value the host keeps in the context.
  virtual void BRELON_THISCALL SetHostValue(int32_t value) = 0;
  virtual int32_t BRELON_THISCALL GetHostValue() = 0;
  // Slot 12. The SDK handle of the open camera, 0 when none.
  virtual int32_t BRELON_THISCALL GetCameraHandle() = 0;
  // Slot 13. Copies the last camera-condition record (2120 bytes) to `out` (out, host-owned;
  // null is ignored). Asks the camera nothing.
  virtual void BRELON_THISCALL GetCondition(BrelonCondition* out) = 0;
  // Slot 14. Hands out the waiting preview frame: `*size` (in: capacity of `dst`, out: the
  // frame's size) and `dst` (out, host-owned; null asks for the size only). 0 copied (the next
  // call serves the other slot), -2 buffer too small or null (nothing copied, the frame stays),
  // -1 no frame waiting or a null `size`. Takes the SDK lock.
  virtual int32_t BRELON_THISCALL TakePreview(void* dst, int32_t* size) = 0;
  // Slot 15. Copies the JPEG embedded in a whole raw image `raw` (in, host memory) to `dst`
  // (out, may be null: only the size) with `*size` (in/out, may be null) as limit and count.
  // `ignored` is not used. 0, or -6 when the JPEG's metadata cannot be parsed.
  virtual int32_t BRELON_THISCALL ExtractEmbeddedJpeg(const uint8_t* raw, intptr_t ignored,
                                                      uint8_t* dst, int32_t* size) = 0;
  // Slot 16. Fills `path` (out, host-owned, 260 units) with the default output folder, or its
  // conditions subfolder for `kind` 1, creating missing folders. Non-zero when the folder exists.
  virtual int32_t BRELON_THISCALL MakeOutputFolder(char16_t* path, int32_t kind) = 0;
  // Slot 17. Releases the shutter in `mode` with `option` through the timed release. 0 or
  // 0x2002 (waited without a new image) as the release answered; otherwise the SDK's error
  // number for the failure, or -1 when not connected.
  virtual int32_t BRELON_THISCALL ReleaseShutter(int32_t mode, int32_t option) = 0;
  // Slot 18. Stores three texts (in, borrowed; null = empty), each cut to 255 units.
  virtual void BRELON_THISCALL SetPropTexts(const char16_t* first, const char16_t* second,
                                            const char16_t* third) = 0;
  // Slot 19. Copies the three texts to the arguments that are not null (out, host-owned, 256
  // units each).
  virtual void BRELON_THISCALL GetPropTexts(char16_t* first, char16_t* second, char16_t* third) = 0;
  // Slots 20 to 22. Image wait: arming (1) first resets the event; the next image read clears
  // the flag and signals the event, which stays owned by the plug-in (the host waits on it and
  // never closes it).
  virtual void BRELON_THISCALL SetImageWait(int32_t armed) = 0;
  virtual int32_t BRELON_THISCALL GetImageWait() = 0;
  virtual void* BRELON_THISCALL GetImageWaitEvent() = 0;
  // Slot 23. The host count sent with property 0x3327 by image transfer.
  virtual void BRELON_THISCALL SetHostCount(int32_t count) = 0;
  // Slot 24. 1 for a context made by Init.
  virtual int32_t BRELON_THISCALL GetAlwaysOne() = 0;
  // Slot 25. Reads the camera's file and folder names out of the image file `path` (in, ANSI
  // code page) into `fileName` and `folderName` (out, host-owned, may be null, each written up
  // to BRELON_HOST_TEXT_BYTES bytes with the terminator, cut at a character boundary). `raw`
  // non-zero for a raw file. 1 when a file name was written, else 0.
  virtual int32_t BRELON_THISCALL ReadImageInfoFromFile(const char* path, char* fileName,
                                                        char* folderName, int32_t raw) = 0;
  // Slot 26. Sets the process-wide option word (affects every context in the process).
  virtual void BRELON_THISCALL SetHostOptionFlags(uint32_t flags) = 0;
  // Slot 27. 0 no connection, 1 opened as a USB connection, 2 opened otherwise.
  virtual int32_t BRELON_THISCALL GetConnectKind() = 0;
  // Slots 28 and 29. A byte the host keeps in the context (1 at start).
  virtual void BRELON_THISCALL SetHostFlag(uint8_t flag) = 0;
  virtual uint8_t BRELON_THISCALL GetHostFlag() = 0;
  // Slot 30. The last buffer-capacity pair, written to each argument that is not null (out).
  virtual void BRELON_THISCALL GetCapacity(int32_t* a, int32_t* b) = 0;
  // Slot 31. Stores a buffer-capacity pair.
  virtual void BRELON_THISCALL SetCapacity(int32_t a, int32_t b) = 0;
  // Slot 32. The mode mask the open connection reported, 0 when none.
  virtual int32_t BRELON_THISCALL GetOpenMode() = 0;
  // Slots 33 and 34. Enter and leave host lock 0 (holds off the session thread's camera watch)
  // or 1 (taken by the property object around the card-recording update). Recursive; pair each
  // LockHost with an UnlockHost on the same thread. Any other index does nothing.
  virtual void BRELON_THISCALL LockHost(int32_t index) = 0;
  virtual void BRELON_THISCALL UnlockHost(int32_t index) = 0;
  // Slot 35. Destroys the object and, with BRELON_DESTROY_FREE in `flags`, frees its memory;
  // returns the object pointer. Called by the last Release; a host calls Release instead.
  virtual void* BRELON_THISCALL Destroy(uint8_t flags) = 0;

 protected:
  ~IBrelon() = default;
};

// The guarded SDK interface (CreateIF kind 3). Each BRN_<name> calls ZEPK_<name> with the open
// camera's handle followed by its own arguments, passed unchanged (in or out as ZEPK_<name>
// takes them; buffers are host-owned), and returns the SDK's result. -1 without an SDK call when
// no camera is connected; -1 and a log entry when the SDK throws. Takes no lock.
class IBrelon_ZEPKAPI : public IBrelon_OBJ {
 public:
#define BRELON_IF_FIXED(name, n) \
  virtual int32_t BRELON_THISCALL BRN_##name(BRELON_WORD_PARAMS_##n) = 0;
  // Property members (slots 38-40): `code`, the value count `count`, then `count` words (values
  // or addresses as the property needs). More than BRELON_PROP_MAX_VALUES values, or a negative
  // count, gives -1 without an SDK call and no value is read. cdecl: the caller pops.
#define BRELON_IF_PROP(name) virtual int32_t BRN_##name(int32_t code, int32_t count, ...) = 0;
  BRELON_ZEPKAPI_METHODS(BRELON_IF_FIXED, BRELON_IF_PROP)
#undef BRELON_IF_FIXED
#undef BRELON_IF_PROP

 protected:
  ~IBrelon_ZEPKAPI() = default;
};

// The property object (CreateIF kind 1): the settings record through the registry, with host
// events. `record` (in for Write, out for Read) is host-owned; null gives -1 and does nothing.
class IBrelon_Property : public IBrelon_OBJ {
 public:
  // Slot 2. Stores the settings, hands the card-recording choice to the connected camera (under
  // host lock 1) and raises event 103. 0, or -1 when the camera refused the change or the object
  // has no context (the settings are stored all the same).
  virtual int32_t BRELON_THISCALL Write(_BRELON_PROPERTY* record) = 0;
  // Slot 3. Reads the settings into `record` and raises event 104. 0, or -12 when the settings
  // key is unavailable (defaults returned).
  virtual int32_t BRELON_THISCALL Read(_BRELON_PROPERTY* record) = 0;

 protected:
  ~IBrelon_Property() = default;
};

#endif /* __cplusplus */

#endif /* BRELON_INTERFACES_H */
