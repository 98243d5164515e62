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

/* X(name, return, parameter list) in entry-table order. */
#define ZEPK_ENTRY_POINTS(X)                                                                     \
  X(ZEPK_Init, (void* module))                                                                   \
  X(ZEPK_Exit, (void))                                                                           \
  X(ZEPK_Detect, (int32_t flags, const char* address, const char* model, int32_t* count))        \
  X(ZEPK_Open, (const char* name, int32_t* camera))                                              \
  X(ZEPK_Close, (int32_t camera))                                                                \
  X(ZEPK_PowerOFF, (int32_t camera))                                                             \
  X(ZEPK_GetErrorNumber, (int32_t camera, int32_t* apiCode, int32_t* errorNumber))               \
  X(ZEPK_GetVersionString, (char* out, int32_t capacity))                                        \
  X(ZEPK_GetDeviceInfo, (int32_t camera, DeviceInformation* out))                                \
  X(ZEPK_WriteDeviceName, (int32_t camera, const char* name))                                    \
  X(ZEPK_GetFirmwareVersion, (int32_t camera, ZepkArg out))                                      \
  X(ZEPK_GetLensInfo, (int32_t camera, ZepkArg out))                                             \
  X(ZEPK_GetLensVersion, (int32_t camera, ZepkArg out))                                          \
  X(ZEPK_CapPriorityMode, (int32_t camera, int32_t* count, int32_t* modes))                      \
  X(ZEPK_SetPriorityMode, (int32_t camera, int32_t mode))                                        \
  X(ZEPK_GetPriorityMode, (int32_t camera, int32_t* mode))                                       \
  X(ZEPK_CapRelease, (int32_t camera, int32_t* count, int32_t* modes))                           \
  X(ZEPK_Release, (int32_t camera, int32_t mode, ZepkArg out1, ZepkArg out2))                    \
  X(ZEPK_GetReleaseStatus, (int32_t camera, int32_t* status))                                    \
  X(ZEPK_ReadImageInfo, (int32_t camera, ZepkImageInfo* info))                                   \
  X(ZEPK_ReadImage, (int32_t camera, void* buffer, uint32_t capacity))                           \
  X(ZEPK_ReadPreview, (int32_t camera, void* buffer, int32_t capacity))                          \
  X(ZEPK_DeleteImage, (int32_t camera))                                                          \
  X(ZEPK_GetBufferCapacity, (int32_t camera, int32_t* count, int32_t* other))                    \
  X(ZEPK_CapAEMode, (int32_t camera, int32_t* count, int32_t* values))                           \
  X(ZEPK_SetAEMode, (int32_t camera, int32_t value))                                             \
  X(ZEPK_GetAEMode, (int32_t camera, int32_t* value))                                            \
  X(ZEPK_CapShutterSpeed, (int32_t camera, int32_t* count, int32_t* values, ZepkArg extra))      \
  X(ZEPK_SetShutterSpeed, (int32_t camera, int32_t code, int32_t bulb))                          \
  X(ZEPK_GetShutterSpeed, (int32_t camera, int32_t* code, int32_t* bulb))                        \
  X(ZEPK_CapExposureBias, (int32_t camera, int32_t* count, int32_t* values))                     \
  X(ZEPK_SetExposureBias, (int32_t camera, int32_t value))                                       \
  X(ZEPK_GetExposureBias, (int32_t camera, int32_t* value))                                      \
  X(ZEPK_CapDynamicRange, (int32_t camera, int32_t* count, int32_t* values))                     \
  X(ZEPK_SetDynamicRange, (int32_t camera, int32_t value))                                       \
  X(ZEPK_GetDynamicRange, (int32_t camera, int32_t* value))                                      \
  X(ZEPK_CapSensitivity, (int32_t camera, int32_t* count, int32_t* values))                      \
  X(ZEPK_SetSensitivity, (int32_t camera, int32_t value))                                        \
  X(ZEPK_GetSensitivity, (int32_t camera, int32_t* value))                                       \
  X(ZEPK_CapMeteringMode, (int32_t camera, int32_t* count, int32_t* values))                     \
  X(ZEPK_SetMeteringMode, (int32_t camera, int32_t value))                                       \
  X(ZEPK_GetMeteringMode, (int32_t camera, int32_t* value))                                      \
  X(ZEPK_CapLensZoomPos, (int32_t camera, ZepkArg a, ZepkArg b, ZepkArg c, ZepkArg d))           \
  X(ZEPK_GetLensZoomPos, (int32_t camera, int32_t* value))                                       \
  X(ZEPK_SetLensZoomPos, (int32_t camera, int32_t value))                                        \
  X(ZEPK_CapWBMode, (int32_t camera, int32_t* count, int32_t* values))                           \
  X(ZEPK_SetWBMode, (int32_t camera, int32_t value))                                             \
  X(ZEPK_GetWBMode, (int32_t camera, int32_t* value))                                            \
  X(ZEPK_CapWBColorTemp, (int32_t camera, int32_t* count, int32_t* values))                      \
  X(ZEPK_SetWBColorTemp, (int32_t camera, int32_t value))                                        \
  X(ZEPK_GetWBColorTemp, (int32_t camera, int32_t* value))                                       \
  X(ZEPK_CapMediaRecord, (int32_t camera, int32_t* count, int32_t* values))                      \
  X(ZEPK_SetMediaRecord, (int32_t camera, int32_t value))                                        \
  X(ZEPK_GetMediaRecord, (int32_t camera, int32_t* value))                                       \
  X(ZEPK_CapForceMode, (int32_t camera, int32_t* count, int32_t* values))                        \
  X(ZEPK_SetForceMode, (int32_t camera, int32_t value))                                          \
  X(ZEPK_CapAperture, (int32_t camera, int32_t* count, int32_t* values, ZepkArg extra))          \
  X(ZEPK_SetAperture, (int32_t camera, int32_t value))                                           \
  X(ZEPK_GetAperture, (int32_t camera, int32_t* value))                                          \
  X(ZEPK_CapProp, (int32_t camera, int32_t code, int32_t count, ...))                            \
  X(ZEPK_SetProp, (int32_t camera, int32_t code, int32_t count, ...))                            \
  X(ZEPK_GetProp, (int32_t camera, int32_t code, int32_t count, ...))                            \
  X(ZEPK_SetBackupSettings, (int32_t camera, ZepkArg a, ZepkArg b))                              \
  X(ZEPK_GetBackupSettings, (int32_t camera, ZepkArg a, ZepkArg b))                              \
  X(ZEPK_OpenEx, (const char* name, int32_t* camera, int32_t* mode, void* reserved))             \
  X(ZEPK_GetSerialNo, (int32_t index, char* serial, char* model))

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
