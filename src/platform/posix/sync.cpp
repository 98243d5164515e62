// Recursive locks and Win32-style events for POSIX. An event is a flag under a mutex with a
// condition variable on the monotonic clock, so clock adjustments never stretch a timed wait.
#include <pthread.h>

#include <cerrno>
#include <new>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace plat {

struct Lock {
  pthread_mutex_t mutex;
};

Lock* LockCreate() {
  auto* lock = new (std::nothrow) Lock;
  if (!lock) return nullptr;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  int rc = pthread_mutex_init(&lock->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    delete lock;
    return nullptr;
  }
  return lock;
}

void LockDestroy(Lock* lock) {
  if (!lock) return;
  pthread_mutex_destroy(&lock->mutex);
  delete lock;
}

void LockEnter(Lock* lock) {
  pthread_mutex_lock(&lock->mutex);
}

void LockLeave(Lock* lock) {
  pthread_mutex_unlock(&lock->mutex);
}

struct Event {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool manualReset;
  bool signalled;
};

Event* EventCreate(bool manualReset, bool initiallySignalled) {
  auto* event = new (std::nothrow) Event;
  if (!event) return nullptr;
  event->manualReset = manualReset;
  event->signalled = initiallySignalled;
  if (pthread_mutex_init(&event->mutex, nullptr) != 0) {
    delete event;
    return nullptr;
  }
  if (posix::InitMonotonicCond(&event->cond) != 0) {
    pthread_mutex_destroy(&event->mutex);
    delete event;
    return nullptr;
  }
  return event;
}

void EventClose(Event* event) {
  if (!event) return;
  pthread_cond_destroy(&event->cond);
  pthread_mutex_destroy(&event->mutex);
  delete event;
}

void EventSet(Event* event) {
  if (!event) return;
  pthread_mutex_lock(&event->mutex);
  event->signalled = true;
  // An auto-reset event is consumed by the first waiter that sees it, so waking more than one
  // would only make the others go back to sleep.
  if (event->manualReset) {
    pthread_cond_broadcast(&event->cond);
  } else {
    pthread_cond_signal(&event->cond);
  }
  pthread_mutex_unlock(&event->mutex);
}

void EventReset(Event* event) {
  if (!event) return;
  pthread_mutex_lock(&event->mutex);
  event->signalled = false;
  pthread_mutex_unlock(&event->mutex);
}

WaitResult EventWait(Event* event, uint32_t timeoutMs) {
  if (!event) return WaitResult::kFailed;
  const posix::Deadline deadline = posix::StartWait(timeoutMs);
  pthread_mutex_lock(&event->mutex);
  WaitResult result = posix::WaitForFlag(&event->cond, &event->mutex, event->signalled, deadline);
  if (result == WaitResult::kSignalled && !event->manualReset) event->signalled = false;
  pthread_mutex_unlock(&event->mutex);
  return result;
}

namespace posix {

int InitMonotonicCond(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  int rc = pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
  return rc;
}

WaitResult WaitForFlag(pthread_cond_t* cond, pthread_mutex_t* mutex, const bool& flag,
                       const Deadline& deadline) {
  while (!flag) {
    int rc = 0;
    if (deadline.ns < 0) {
      rc = pthread_cond_wait(cond, mutex);
    } else if (deadline.ns == 0) {
      rc = ETIMEDOUT;
    } else {
      rc = pthread_cond_timedwait(cond, mutex, &deadline.at);
    }
    if (rc == ETIMEDOUT) return WaitResult::kTimeout;
    if (rc != 0) return WaitResult::kFailed;
  }
  return WaitResult::kSignalled;
}

}  // namespace posix

}  // namespace plat
