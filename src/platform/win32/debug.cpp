// Debugger output for Windows: every piece goes to OutputDebugStringA, where a debugger or a
// capture tool picks it up; nothing is shown when none is listening.
#include <windows.h>

#include "platform/platform.h"

namespace plat {

void DebugOutput(const char* text) {
  if (text) OutputDebugStringA(text);
}

}  // namespace plat
