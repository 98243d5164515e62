/* The camera SDK contract: the 66 ZEPK_ entry points in the order the plug-in's entry table
 * resolves them, with the argument lists the plug-in passes. Every entry point is cdecl and
 * returns an int32: 0 for success, -1 for failure (then ZEPK_GetErrorNumber tells why).
 * Generic 32-bit arguments that a host may fill with an address are ZepkArg (pointer-sized). */
#ifndef ZEPA_ZEPK_H
#define ZEPA_ZEPK_H

#include <stdint.h>

#include "brelon/brelon.h"

#ifndef ZEPK_API
#define ZEPK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef intptr_t ZepkArg;

/* 60-byte image-information record filled by ZEPK_ReadImageInfo. */
#pragma pack(push, 1)
typedef struct ZepkImageInfo {
  uint8_t reserved0[32];
  uint32_t format; /* 0x001.. raw, 0x007.. JPEG, 0x004.. preview, 0x005 none */
  uint32_t size;   /* bytes */
  uint8_t reserved1[20];
} ZepkImageInfo;
#pragma pack(pop)

/* clang-format off */
/* The one list of the entry points, in entry-table order: E(arg, name, parameter list) with
 * `name` without its "ZEPK_" prefix, so that users can name things after it (the plug-in's
 * m_pfn<name> members); `arg` is handed to E unchanged. */
#define ZEPK_ENTRY_LIST(E, arg)                                                                    \
  E(arg, Init, (void* module))                                                                     \
  E(arg, Exit, (void))                                                                             \
  E(arg, Detect, (int32_t flags, const char* address, const char* model, int32_t* count))          \
  E(arg, Open, (const char* name, int32_t* camera))                                                \
  E(arg, Close, (int32_t camera))                                                                  \
  E(arg, PowerOFF, (int32_t camera))                                                               \
  E(arg, GetErrorNumber, (int32_t camera, int32_t* apiCode, int32_t* errorNumber))                 \
  E(arg, GetVersionString, (char* out, int32_t capacity))                                          \
  E(arg, GetDeviceInfo, (int32_t camera, DeviceInformation* out))                                  \
  E(arg, WriteDeviceName, (int32_t camera, const char* name))                                      \
  E(arg, GetFirmwareVersion, (int32_t camera, ZepkArg out))                                        \
  E(arg, GetLensInfo, (int32_t camera, ZepkArg out))                                               \
  E(arg, GetLensVersion, (int32_t camera, ZepkArg out))                                            \
  E(arg, CapPriorityMode, (int32_t camera, int32_t* count, int32_t* modes))                        \
  E(arg, SetPriorityMode, (int32_t camera, int32_t mode))                                          \
  E(arg, GetPriorityMode, (int32_t camera, int32_t* mode))                                         \
  E(arg, CapRelease, (int32_t camera, int32_t* count, int32_t* modes))                             \
  E(arg, Release, (int32_t camera, int32_t mode, ZepkArg out1, ZepkArg out2))                      \
  E(arg, GetReleaseStatus, (int32_t camera, int32_t* status))                                      \
  E(arg, ReadImageInfo, (int32_t camera, ZepkImageInfo* info))                                     \
  E(arg, ReadImage, (int32_t camera, void* buffer, uint32_t capacity))                             \
  E(arg, ReadPreview, (int32_t camera, void* buffer, int32_t capacity))                            \
  E(arg, DeleteImage, (int32_t camera))                                                            \
  E(arg, GetBufferCapacity, (int32_t camera, int32_t* count, int32_t* other))                      \
  E(arg, CapAEMode, (int32_t camera, int32_t* count, int32_t* values))                             \
  E(arg, SetAEMode, (int32_t camera, int32_t value))                                               \
  E(arg, GetAEMode, (int32_t camera, int32_t* value))                                              \
  E(arg, CapShutterSpeed, (int32_t camera, int32_t* count, int32_t* values, ZepkArg extra))        \
  E(arg, SetShutterSpeed, (int32_t camera, int32_t code, int32_t bulb))                            \
  E(arg, GetShutterSpeed, (int32_t camera, int32_t* code, int32_t* bulb))                          \
  E(arg, CapExposureBias, (int32_t camera, int32_t* count, int32_t* values))                       \
  E(arg, SetExposureBias, (int32_t camera, int32_t value))                                         \
  E(arg, GetExposureBias, (int32_t camera, int32_t* value))                                        \
  E(arg, CapDynamicRange, (int32_t camera, int32_t* count, int32_t* values))                       \
  E(arg, SetDynamicRange, (int32_t camera, int32_t value))                                         \
  E(arg, GetDynamicRange, (int32_t camera, int32_t* value))                                        \
  E(arg, CapSensitivity, (int32_t camera, int32_t* count, int32_t* values))                        \
  E(arg, SetSensitivity, (int32_t camera, int32_t value))                                          \
  E(arg, GetSensitivity, (int32_t camera, int32_t* value))                                         \
  E(arg, CapMeteringMode, (int32_t camera, int32_t* count, int32_t* values))                       \
  E(arg, SetMeteringMode, (int32_t camera, int32_t value))                                         \
  E(arg, GetMeteringMode, (int32_t camera, int32_t* value))                                        \
  E(arg, CapLensZoomPos, (int32_t camera, ZepkArg a, ZepkArg b, ZepkArg c, ZepkArg d))             \
  E(arg, GetLensZoomPos, (int32_t camera, int32_t* value))                                         \
  E(arg, SetLensZoomPos, (int32_t camera, int32_t value))                                          \
  E(arg, CapWBMode, (int32_t camera, int32_t* count, int32_t* values))                             \
  E(arg, SetWBMode, (int32_t camera, int32_t value))                                               \
  E(arg, GetWBMode, (int32_t camera, int32_t* value))                                              \
  E(arg, CapWBColorTemp, (int32_t camera, int32_t* count, int32_t* values))                        \
  E(arg, SetWBColorTemp, (int32_t camera, int32_t value))                                          \
  E(arg, GetWBColorTemp, (int32_t camera, int32_t* value))                                         \
  E(arg, CapMediaRecord, (int32_t camera, int32_t* count, int32_t* values))                        \
  E(arg, SetMediaRecord, (int32_t camera, int32_t value))                                          \
  E(arg, GetMediaRecord, (int32_t camera, int32_t* value))                                         \
  E(arg, CapForceMode, (int32_t camera, int32_t* count, int32_t* values))                          \
  E(arg, SetForceMode, (int32_t camera, int32_t value))                                            \
  E(arg, CapAperture, (int32_t camera, int32_t* count, int32_t* values, ZepkArg extra))            \
  E(arg, SetAperture, (int32_t camera, int32_t value))                                             \
  E(arg, GetAperture, (int32_t camera, int32_t* value))                                            \
  E(arg, CapProp, (int32_t camera, int32_t code, int32_t count, ...))                              \
  E(arg, SetProp, (int32_t camera, int32_t code, int32_t count, ...))                              \
  E(arg, GetProp, (int32_t camera, int32_t code, int32_t count, ...))                              \
  E(arg, SetBackupSettings, (int32_t camera, ZepkArg a, ZepkArg b))                                \
  E(arg, GetBackupSettings, (int32_t camera, ZepkArg a, ZepkArg b))                                \
  E(arg, OpenEx, (const char* name, int32_t* camera, int32_t* mode, void* reserved))               \
  E(arg, GetSerialNo, (int32_t index, char* serial, char* model))
/* clang-format on */

/* The same list as X(ZEPK_<name>, parameter list). */
#define ZEPK_ENTRY_WITH_PREFIX(X, name, params) X(ZEPK_##name, params)
#define ZEPK_ENTRY_POINTS(X) ZEPK_ENTRY_LIST(ZEPK_ENTRY_WITH_PREFIX, X)

enum { ZEPK_ENTRY_POINT_COUNT = 66 };

/* Function-pointer types ZEPK_InitFn ... and, for the library itself, the prototypes. */
#define ZEPK_DECLARE_TYPE(name, params) typedef int32_t(BRELON_CDECL* name##Fn) params;
ZEPK_ENTRY_POINTS(ZEPK_DECLARE_TYPE)
#undef ZEPK_DECLARE_TYPE

#define ZEPK_DECLARE_PROTO(name, params) ZEPK_API int32_t BRELON_CDECL name params;
ZEPK_ENTRY_POINTS(ZEPK_DECLARE_PROTO)
#undef ZEPK_DECLARE_PROTO

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(ZepkImageInfo) == 60, "ZepkImageInfo size");
static_assert(offsetof(ZepkImageInfo, format) == 32, "format offset");
static_assert(offsetof(ZepkImageInfo, size) == 36, "size offset");
#endif

#endif /* ZEPA_ZEPK_H */
