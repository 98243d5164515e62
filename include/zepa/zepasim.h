/* Control interface of the simulated camera SDK (libzepa.so / ZEPA.DLL built from sim/).
 * Tests and the host CLI drive the running simulation with JSON commands; the library also
 * reads ZEPA_SIM_CONFIG (a JSON file) at ZEPK_Init and appends a JSONL line per SDK call to
 * ZEPA_SIM_TRACE. sim/README.md documents the commands, the configuration and the trace. */
#ifndef ZEPA_ZEPASIM_H
#define ZEPA_ZEPASIM_H

#include "zepa/zepk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Commands: unplug, plug, set, fault, press_shutter, preview, reset, pending, stats.
 * Returns 0 (a count for the query commands), or a negative code for a command it does not
 * understand. Thread-safe. */
ZEPK_API int32_t BRELON_CDECL ZEPASIM_Control(const char* json);
typedef int32_t(BRELON_CDECL* ZEPASIM_ControlFn)(const char* json);

enum ZepaSimControlResult {
  ZEPASIM_OK = 0,
  ZEPASIM_E_PARSE = -1,   /* not valid JSON, or not an object */
  ZEPASIM_E_COMMAND = -2, /* unknown command */
  ZEPASIM_E_ARGUMENT = -3 /* missing or invalid argument */
};

/* Error numbers the simulator reports through ZEPK_GetErrorNumber after a failed call
 * (besides the numbers a configured fault sets). None of them is the busy number 0x1006. */
enum ZepaSimError {
  ZEPASIM_ERR_NOT_INITIALIZED = 0x1001,  /* called before ZEPK_Init or after ZEPK_Exit */
  ZEPASIM_ERR_ARGUMENT = 0x1002,         /* null output, negative count, bad value */
  ZEPASIM_ERR_UNSUPPORTED = 0x1003,      /* value the camera does not offer */
  ZEPASIM_ERR_NO_DEVICE = 0x1004,        /* unknown device name or index */
  ZEPASIM_ERR_BAD_HANDLE = 0x1005,       /* handle never opened, or already closed */
  ZEPASIM_ERR_DEVICE_GONE = 0x2001,      /* the camera behind the handle was unplugged */
  ZEPASIM_ERR_NO_IMAGE = 0x2003,         /* nothing pending in the camera buffer */
  ZEPASIM_ERR_BUFFER_TOO_SMALL = 0x2004, /* ZEPK_ReadImage capacity below the image size */
  ZEPASIM_ERR_CONFIG = 0x2005,           /* ZEPA_SIM_CONFIG unreadable or invalid */
  ZEPASIM_ERR_INTERNAL = 0x2006          /* out of memory or another internal failure */
};

/* Image-information format codes the simulator delivers. */
enum ZepaSimFormat {
  ZEPASIM_FORMAT_RAW = 0x001,
  ZEPASIM_FORMAT_PREVIEW = 0x004,
  ZEPASIM_FORMAT_NONE = 0x005,
  ZEPASIM_FORMAT_JPEG = 0x007
};

/* Connection interface bits of ZEPK_Detect. */
enum ZepaSimInterface {
  ZEPASIM_IF_USB = 0x01,
  ZEPASIM_IF_DISCOVERY = 0x10,
  ZEPASIM_IF_IPV4 = 0x20
};

/* The exception code a "throw" fault raises on Windows (an MSVC C++ exception). */
#define ZEPASIM_SEH_CPP_EXCEPTION 0xE06D7363u

#ifdef __cplusplus
}
#endif

#endif /* ZEPA_ZEPASIM_H */
