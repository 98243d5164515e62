// Recursive locks and events for Windows: critical sections and kernel events, with timed
// waits shortened by the test time scale.
#include <windows.h>

#include <new>

#include "platform/platform.h"
#include "platform/win32/internal.h"

namespace plat {

struct Lock {
  CRITICAL_SECTION section;
};

Lock* LockCreate() {
  auto* lock = new (std::nothrow) Lock;
  if (!lock) return nullptr;
  InitializeCriticalSection(&lock->section);
  return lock;
}

void LockDestroy(Lock* lock) {
  if (!lock) return;
  DeleteCriticalSection(&lock->section);
  delete lock;
}

void LockEnter(Lock* lock) {
  EnterCriticalSection(&lock->section);
}

void LockLeave(Lock* lock) {
  LeaveCriticalSection(&lock->section);
}

// The event handle itself stands for the Event.
namespace {
HANDLE AsHandle(Event* event) {
  return reinterpret_cast<HANDLE>(event);
}
}  // namespace

Event* EventCreate(bool manualReset, bool initiallySignalled) {
  return reinterpret_cast<Event*>(CreateEventW(nullptr, manualReset, initiallySignalled, nullptr));
}

void EventClose(Event* event) {
  if (event) CloseHandle(AsHandle(event));
}

void EventSet(Event* event) {
  if (event) SetEvent(AsHandle(event));
}

void EventReset(Event* event) {
  if (event) ResetEvent(AsHandle(event));
}

WaitResult EventWait(Event* event, uint32_t timeoutMs) {
  if (!event) return WaitResult::kFailed;
  return win32::WaitHandle(AsHandle(event), timeoutMs);
}

WaitResult win32::WaitHandle(void* handle, uint32_t timeoutMs) {
  switch (WaitForSingleObject(handle, ScaledTimeoutMs(timeoutMs))) {
    case WAIT_OBJECT_0:
      return WaitResult::kSignalled;
    case WAIT_TIMEOUT:
      return WaitResult::kTimeout;
    default:
      return WaitResult::kFailed;
  }
}

}  // namespace plat
