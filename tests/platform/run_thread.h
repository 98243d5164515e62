// Runs a lambda on a platform thread, so the platform tests need no std::thread (which the
// Windows toolchain does not have) and exercise ThreadStart on every path.
#pragma once

#include <functional>
#include <utility>

#include "platform/platform.h"
#include "platform/testing.h"

namespace brelon::test {

inline uint32_t RunFunction(void* raw) {
  auto* body = static_cast<std::function<void()>*>(raw);
  (*body)();
  delete body;
  return 0;
}

// The thread owns the lambda and frees it when the lambda returns.
inline plat::Thread* StartThread(std::function<void()> body) {
  auto* copy = new std::function<void()>(std::move(body));
  plat::Thread* thread = plat::ThreadStart(RunFunction, copy);
  if (!thread) delete copy;
  return thread;
}

}  // namespace brelon::test
