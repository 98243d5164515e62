// Threads for Windows. _beginthreadex rather than CreateThread so the C runtime is set up for
// each thread; a small start block carries the portable procedure across the stdcall boundary.
#include <process.h>
#include <windows.h>

#include <new>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace plat {

struct Thread {
  HANDLE handle;
};

namespace {

struct StartBlock {
  ThreadProc proc;
  void* arg;
};

unsigned __stdcall Trampoline(void* raw) {
  StartBlock start = *static_cast<StartBlock*>(raw);
  delete static_cast<StartBlock*>(raw);
  return start.proc(start.arg);
}

}  // namespace

Thread* ThreadStart(ThreadProc proc, void* arg) {
  if (!proc) return nullptr;
  auto* thread = new (std::nothrow) Thread;
  auto* start = new (std::nothrow) StartBlock{proc, arg};
  if (!thread || !start) {
    delete thread;
    delete start;
    return nullptr;
  }
  uintptr_t handle = _beginthreadex(nullptr, 0, Trampoline, start, 0, nullptr);
  if (handle == 0) {
    delete start;  // the thread never ran, so the block is still ours
    delete thread;
    return nullptr;
  }
  thread->handle = reinterpret_cast<HANDLE>(handle);
  return thread;
}

WaitResult ThreadJoin(Thread* thread, uint32_t timeoutMs) {
  if (!thread) return WaitResult::kFailed;
  return win32::WaitHandle(thread->handle, timeoutMs);
}

void ThreadClose(Thread* thread) {
  if (!thread) return;
  CloseHandle(thread->handle);
  delete thread;
}

uint32_t CurrentThreadId() {
  return GetCurrentThreadId();
}

}  // namespace plat
