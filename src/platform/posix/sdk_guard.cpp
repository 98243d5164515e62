// The POSIX guard around calls into the camera SDK: a shared library built with the same C++
// runtime throws ordinary C++ exceptions, so a catch-all around the call is the whole guard.
#include <cxxabi.h>

#include "platform/platform.h"

namespace plat {

bool CallGuarded(int32_t (*fn)(void* ctx), void* ctx, int32_t* result) {
  try {
    *result = fn(ctx);
    return true;
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation unwinds through here and must reach the thread's start
  } catch (...) {
    return false;
  }
}

}  // namespace plat
