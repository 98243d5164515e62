/* Control interface of the simulated camera SDK (libzepa.so / ZEPA.DLL built from sim/).
 * Tests and the host CLI drive the running simulation with JSON commands; the library also
 * reads ZEPA_SIM_CONFIG (a JSON file) at ZEPK_Init and appends a JSONL line per SDK call to
 * ZEPA_SIM_TRACE. */
#ifndef ZEPA_ZEPASIM_H
#define ZEPA_ZEPASIM_H

#include "zepa/zepk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Commands: unplug, plug, set, fault, press_shutter, preview, reset (see sim/README.md).
 * Returns 0, or a negative code for a command it does not understand. Thread-safe. */
ZEPK_API int32_t BRELON_CDECL ZEPASIM_Control(const char* json);
typedef int32_t(BRELON_CDECL* ZEPASIM_ControlFn)(const char* json);

enum ZepaSimControlResult {
  ZEPASIM_OK = 0,
  ZEPASIM_E_PARSE = -1,     /* not valid JSON */
  ZEPASIM_E_COMMAND = -2,   /* unknown command */
  ZEPASIM_E_ARGUMENT = -3   /* missing or invalid argument */
};

#ifdef __cplusplus
}
#endif

#endif /* ZEPA_ZEPASIM_H */
