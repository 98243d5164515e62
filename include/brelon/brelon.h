/* Brelon host ABI: the exported functions, the records that cross the boundary, the event and
 * result codes, and the calling-convention macros. Every record is byte-packed and its size and
 * offsets are checked at compile time, because hosts built with other compilers rely on them.
 * Host-visible texts are UTF-16 (char16_t); SDK texts are single-byte. */
#ifndef BRELON_BRELON_H
#define BRELON_BRELON_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

/* Calling conventions: the exports are cdecl, interface members thiscall (what MSVC hosts use
 * on 32-bit x86). Elsewhere there is a single convention and the macros are empty. */
#if defined(__i386__) || defined(_M_IX86)
#define BRELON_CDECL __attribute__((cdecl))
#define BRELON_THISCALL __attribute__((thiscall))
#else
#define BRELON_CDECL
#define BRELON_THISCALL
#endif

#ifndef BRELON_EXPORT
#define BRELON_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes (int32). One list for the whole plug-in. --------------------------------- */
enum BrelonResult {
  BRELON_OK = 0,
  BRELON_E_SDK = -1,              /* SDK unusable, camera not connected, or withheld image */
  BRELON_E_BUFFER_TOO_SMALL = -2, /* the host's buffer cannot take the data (preview) */
  BRELON_E_THREAD = -3,           /* session thread could not be started */
  BRELON_E_NO_CONTEXT = -4,       /* no context, or no camera connected */
  BRELON_E_SDK_CALL = -5,         /* an SDK call failed (not with the busy error number) */
  BRELON_E_IMAGE_DATA = -6,       /* image data or its metadata unreadable */
  BRELON_E_NO_MEMORY = -7,        /* an object could not be allocated (CreateIF) */
  BRELON_E_SETTINGS_KEY = -12,    /* the settings key can neither be opened nor created */
  BRELON_E_IMAGE_DELETED = -14,   /* image deleted in the camera instead of transferred */
  BRELON_E_BUSY = -100            /* an SDK call failed with error number 0x1006 */
};

/* SDK results and error numbers the plug-in singles out. */
enum BrelonSdkCode {
  ZEPK_OK = 0,
  ZEPK_FAILED = -1,
  ZEPK_ERR_BUSY = 0x1006,          /* camera busy: not a lost camera */
  ZEPK_ERR_WRONG_USB_MODE = 0x1015,/* camera answered in a mode that forbids remote shooting */
  BRELON_RELEASE_TIMEOUT = 0x2002  /* the timed release waited without the buffer changing */
};

/* ---- Host events: HostEventCallback(camera handle, code, user data) ------------------------- */
enum BrelonEvent {
  BRELON_EV_PREVIEW = 3,
  BRELON_EV_DISCONNECTED = 7,
  BRELON_EV_CONNECTED = 100,
  BRELON_EV_SETTINGS_WRITTEN = 103,
  BRELON_EV_SETTINGS_READ = 104,
  BRELON_EV_RELEASE_MODE_0F = 107,
  BRELON_EV_CAPACITY = 111,
  BRELON_EV_DISCARD_WARNING = 112,
  BRELON_EV_DISCARD_WARNING_OVER = 113
};

/* Called on the session thread and on whichever host thread runs the export that raises the
 * event. The result is ignored. */
typedef int32_t(BRELON_CDECL* HostEventCallback)(int32_t camera, int32_t event, void* userData);

#pragma pack(push, 1)

/* Filled by ZEPK_GetDeviceInfo and copied to the host unchanged. */
typedef struct DeviceInformation {
  char reserved0[256];
  char manufacturer[256]; /* NUL-terminated */
  char model[256];        /* NUL-terminated */
  char reserved1[256];
  char networkAddress[256];
  char reserved2[577];
} DeviceInformation;

/* The camera-condition record: exposure values with their display texts (2120 bytes). */
typedef struct BrelonCondition {
  char16_t cameraName[256];
  char16_t apertureText[256];
  int32_t aperture; /* F-number in hundredths */
  int32_t apertureResult;
  char16_t shutterText[256];
  int32_t shutterCode;
  int32_t shutterResult;
  int32_t sensitivity;
  int32_t sensitivityResult;
  int32_t exposureBias;
  int32_t exposureBiasResult;
  char16_t wbText[256];
  int32_t wbMode;
  int32_t wbModeResult;
  int32_t colorTemp;
  int32_t colorTempResult;
  int32_t bulb;
  int32_t shutterTextKind; /* 0 fraction, 1 seconds mark, 2 other ("BULB") */
  uint8_t reserved[16];
} BrelonCondition;

enum { BRELON_SHORTCUT_COUNT = 29, BRELON_SHORTCUT_UNITS = 64 };

/* The settings record exchanged with the host (10097 bytes). */
typedef struct _BRELON_PROPERTY {
  uint8_t TransferJPEG;
  uint8_t TransferRAW;
  uint8_t CardJPEG;
  uint8_t CardRAW;
  uint8_t Reserved4;
  uint8_t StorageSave;
  char16_t StorageSavePath[261];
  int32_t hgDispMode;
  int32_t lvDispClickOpeMode;
  int32_t lvImageAreaBackColor;
  int32_t ProcessId;
  uint8_t DisplayFramerate;
  int32_t ConnectType;
  int32_t WiFiDetectionMethod;
  char16_t CameraIPAddress[1060];
  char16_t Shortcut[BRELON_SHORTCUT_COUNT][BRELON_SHORTCUT_UNITS];
  char16_t ShortcutDefault[BRELON_SHORTCUT_COUNT][BRELON_SHORTCUT_UNITS];
} _BRELON_PROPERTY;

#pragma pack(pop)

/* ---- Exports (cdecl, plain names) ------------------------------------------------------------
 * `context` is the address of the host's variable that Init fills; CreateIF alone takes the
 * context itself. All may be called from any host thread except Init and Exit. */
BRELON_EXPORT int32_t BRELON_CDECL Init(void** context, HostEventCallback callback,
                                        void* userData);
BRELON_EXPORT int32_t BRELON_CDECL Exit(void** context);
BRELON_EXPORT int32_t BRELON_CDECL IsCameraConnect(void** context, uint8_t* connected);
BRELON_EXPORT int32_t BRELON_CDECL GetDeviceInfo(void** context, DeviceInformation* out);
BRELON_EXPORT int32_t BRELON_CDECL CreateIF(void* context, int32_t kind, void** object);
BRELON_EXPORT int32_t BRELON_CDECL Shoot(void** context);
BRELON_EXPORT int32_t BRELON_CDECL GetCameraCondition(void** context, BrelonCondition* out);
BRELON_EXPORT int32_t BRELON_CDECL ReadImage(void** context, uint8_t* buffer, uint32_t* size,
                                             uint8_t* isRaw, int32_t* variant,
                                             char16_t* fileName, char16_t* cameraFileName,
                                             char16_t* cameraFolderName);

#ifdef __cplusplus
} /* extern "C" */

/* The two settings exports carry the compiler's decorated C++ name for this signature. */
BRELON_EXPORT int ReadProperty(_BRELON_PROPERTY* property);
BRELON_EXPORT int WriteProperty(_BRELON_PROPERTY* property);

static_assert(sizeof(DeviceInformation) == 1857, "DeviceInformation size");
static_assert(offsetof(DeviceInformation, manufacturer) == 256, "manufacturer");
static_assert(offsetof(DeviceInformation, model) == 512, "model");
static_assert(offsetof(DeviceInformation, networkAddress) == 1024, "networkAddress");

static_assert(sizeof(BrelonCondition) == 2120, "BrelonCondition size");
static_assert(offsetof(BrelonCondition, apertureText) == 512, "apertureText");
static_assert(offsetof(BrelonCondition, aperture) == 1024, "aperture");
static_assert(offsetof(BrelonCondition, apertureResult) == 1028, "apertureResult");
static_assert(offsetof(BrelonCondition, shutterText) == 1032, "shutterText");
static_assert(offsetof(BrelonCondition, shutterCode) == 1544, "shutterCode");
static_assert(offsetof(BrelonCondition, shutterResult) == 1548, "shutterResult");
static_assert(offsetof(BrelonCondition, sensitivity) == 1552, "sensitivity");
static_assert(offsetof(BrelonCondition, sensitivityResult) == 1556, "sensitivityResult");
static_assert(offsetof(BrelonCondition, exposureBias) == 1560, "exposureBias");
static_assert(offsetof(BrelonCondition, exposureBiasResult) == 1564, "exposureBiasResult");
static_assert(offsetof(BrelonCondition, wbText) == 1568, "wbText");
static_assert(offsetof(BrelonCondition, wbMode) == 2080, "wbMode");
static_assert(offsetof(BrelonCondition, wbModeResult) == 2084, "wbModeResult");
static_assert(offsetof(BrelonCondition, colorTemp) == 2088, "colorTemp");
static_assert(offsetof(BrelonCondition, colorTempResult) == 2092, "colorTempResult");
static_assert(offsetof(BrelonCondition, bulb) == 2096, "bulb");
static_assert(offsetof(BrelonCondition, shutterTextKind) == 2100, "shutterTextKind");
static_assert(offsetof(BrelonCondition, reserved) == 2104, "reserved");

static_assert(sizeof(_BRELON_PROPERTY) == 10097, "_BRELON_PROPERTY size");
static_assert(offsetof(_BRELON_PROPERTY, TransferJPEG) == 0, "TransferJPEG");
static_assert(offsetof(_BRELON_PROPERTY, TransferRAW) == 1, "TransferRAW");
static_assert(offsetof(_BRELON_PROPERTY, CardJPEG) == 2, "CardJPEG");
static_assert(offsetof(_BRELON_PROPERTY, CardRAW) == 3, "CardRAW");
static_assert(offsetof(_BRELON_PROPERTY, Reserved4) == 4, "Reserved4");
static_assert(offsetof(_BRELON_PROPERTY, StorageSave) == 5, "StorageSave");
static_assert(offsetof(_BRELON_PROPERTY, StorageSavePath) == 6, "StorageSavePath");
static_assert(offsetof(_BRELON_PROPERTY, hgDispMode) == 528, "hgDispMode");
static_assert(offsetof(_BRELON_PROPERTY, lvDispClickOpeMode) == 532, "lvDispClickOpeMode");
static_assert(offsetof(_BRELON_PROPERTY, lvImageAreaBackColor) == 536, "lvImageAreaBackColor");
static_assert(offsetof(_BRELON_PROPERTY, ProcessId) == 540, "ProcessId");
static_assert(offsetof(_BRELON_PROPERTY, DisplayFramerate) == 544, "DisplayFramerate");
static_assert(offsetof(_BRELON_PROPERTY, ConnectType) == 545, "ConnectType");
static_assert(offsetof(_BRELON_PROPERTY, WiFiDetectionMethod) == 549, "WiFiDetectionMethod");
static_assert(offsetof(_BRELON_PROPERTY, CameraIPAddress) == 553, "CameraIPAddress");
static_assert(offsetof(_BRELON_PROPERTY, Shortcut) == 2673, "Shortcut");
static_assert(offsetof(_BRELON_PROPERTY, ShortcutDefault) == 6385, "ShortcutDefault");
#endif /* __cplusplus */

#endif /* BRELON_BRELON_H */
