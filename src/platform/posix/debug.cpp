// Debugger output for POSIX. There is no debugger channel, so records go to stderr, and only
// when BRELON_DEBUG=1, because a host's stderr is not the plug-in's to fill.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace plat {

void DebugOutput(const char* text) {
  // Read once: the log calls this for every piece of every record.
  static const bool enabled = [] {
    const char* value = std::getenv("BRELON_DEBUG");
    return value && std::strcmp(value, "1") == 0;
  }();
  if (enabled && text) std::fputs(text, stderr);
}

}  // namespace plat
