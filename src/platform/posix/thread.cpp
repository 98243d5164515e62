// Threads for POSIX. pthread_join has no time limit, so the thread announces its end through a
// flag and condition variable; a timed join waits on that and only then reaps the thread.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace plat {

// Shared by the running thread and the caller's handle; whichever lets go last frees it.
struct Thread {
  pthread_t id;
  ThreadProc proc;
  void* arg;
  pthread_mutex_t mutex;
  pthread_cond_t finishedCond;
  bool finished;  // the thread procedure has returned
  bool reaped;    // pthread_join or pthread_detach has been called
  int references;
};

namespace {

void Release(Thread* thread) {
  pthread_mutex_lock(&thread->mutex);
  bool last = --thread->references == 0;
  pthread_mutex_unlock(&thread->mutex);
  if (!last) return;
  pthread_cond_destroy(&thread->finishedCond);
  pthread_mutex_destroy(&thread->mutex);
  delete thread;
}

void* Trampoline(void* raw) {
  auto* thread = static_cast<Thread*>(raw);
  thread->proc(thread->arg);
  pthread_mutex_lock(&thread->mutex);
  thread->finished = true;
  pthread_cond_broadcast(&thread->finishedCond);
  pthread_mutex_unlock(&thread->mutex);
  Release(thread);
  return nullptr;
}

}  // namespace

Thread* ThreadStart(ThreadProc proc, void* arg) {
  if (!proc) return nullptr;
  auto* thread = new (std::nothrow) Thread;
  if (!thread) return nullptr;
  thread->proc = proc;
  thread->arg = arg;
  thread->finished = false;
  thread->reaped = false;
  thread->references = 2;
  pthread_mutex_init(&thread->mutex, nullptr);
  posix::InitMonotonicCond(&thread->finishedCond);
  if (pthread_create(&thread->id, nullptr, Trampoline, thread) != 0) {
    pthread_cond_destroy(&thread->finishedCond);
    pthread_mutex_destroy(&thread->mutex);
    delete thread;
    return nullptr;
  }
  return thread;
}

WaitResult ThreadJoin(Thread* thread, uint32_t timeoutMs) {
  if (!thread) return WaitResult::kFailed;
  const posix::Deadline deadline = posix::StartWait(timeoutMs);
  pthread_mutex_lock(&thread->mutex);
  WaitResult result =
      posix::WaitForFlag(&thread->finishedCond, &thread->mutex, thread->finished, deadline);
  bool reap = result == WaitResult::kSignalled && !thread->reaped;
  if (reap) thread->reaped = true;
  pthread_mutex_unlock(&thread->mutex);
  // The procedure has returned, so this join only waits for the thread's last few steps.
  if (reap) pthread_join(thread->id, nullptr);
  return result;
}

void ThreadClose(Thread* thread) {
  if (!thread) return;
  pthread_mutex_lock(&thread->mutex);
  bool detach = !thread->reaped;
  thread->reaped = true;
  pthread_mutex_unlock(&thread->mutex);
  if (detach) pthread_detach(thread->id);
  Release(thread);
}

uint32_t CurrentThreadId() {
#if defined(__linux__)
  // Not cached: a cached id would be wrong in the child after fork.
  return static_cast<uint32_t>(syscall(SYS_gettid));
#else
  static std::atomic<uint32_t> next{1};
  thread_local const uint32_t id = next.fetch_add(1);
  return id;
#endif
}

}  // namespace plat
