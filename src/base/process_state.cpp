// Process-wide state of the loaded library: the locks every context shares, the host option
// word and the claim of the one live context. The locks live from load to unload, like static
// data.
#include <atomic>
#include <initializer_list>

#include "base/context.h"

namespace brelon {
namespace {

std::atomic<uint32_t> g_hostOptionFlags{0};
// The live context, or the claim mark between Init's claim and its context's allocation.
std::atomic<const void*> g_liveContext{nullptr};
constexpr char kClaimMark = 0;

struct LockSet {
  ProcessLocks locks{};
  LockSet() {
    locks.releaseTiming = plat::LockCreate();
    locks.settings = plat::LockCreate();
    locks.connection = plat::LockCreate();
    locks.deviceInfo = plat::LockCreate();
    locks.cameraName = plat::LockCreate();
    locks.mediaRecord = plat::LockCreate();
    locks.host[0] = plat::LockCreate();
    locks.host[1] = plat::LockCreate();
  }
  ~LockSet() {
    for (plat::Lock* l : {locks.releaseTiming, locks.settings, locks.connection, locks.deviceInfo,
                          locks.cameraName, locks.mediaRecord, locks.host[0], locks.host[1]}) {
      plat::LockDestroy(l);
    }
  }
};

}  // namespace

const ProcessLocks& Locks() {
  // Built on first use so that static initialisation order across files cannot bite.
  static LockSet set;
  return set.locks;
}

// Created at load time, before any host call can race for the first use.
static const ProcessLocks& g_locksAtLoad = Locks();

uint32_t HostOptionFlags() {
  return g_hostOptionFlags.load(std::memory_order_relaxed);
}
void SetHostOptionFlags(uint32_t flags) {
  g_hostOptionFlags.store(flags, std::memory_order_relaxed);
}

bool ClaimLiveContext() {
  const void* none = nullptr;
  return g_liveContext.compare_exchange_strong(none, &kClaimMark);
}
void NameLiveContext(const PluginContext* ctx) {
  g_liveContext.store(ctx);
}
bool IsLiveContext(const void* ctx) {
  return ctx && g_liveContext.load() == ctx;
}
void ReleaseLiveContext() {
  g_liveContext.store(nullptr);
}

}  // namespace brelon
