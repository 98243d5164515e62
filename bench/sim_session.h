// One plug-in context on the simulated camera for a benchmark program: a scratch folder for
// settings, documents and the session lock, the simulator's configuration and control entry,
// and Init with the wait for the connection event. Steady-clock helpers for the timings.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "brelon/brelon.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "zepa/zepasim.h"

namespace bench {

// Monotonic nanoseconds, independent of the plug-in's scalable clock.
int64_t NowNs();

class SimSession {
 public:
  // Makes the scratch folder `<tmp>/<name>-<pid>`, writes `configJson` as the simulator's
  // configuration, points the plug-in at the simulator beside this executable and loads it for
  // control. False (with a message on stderr) when the simulator cannot be loaded.
  bool Prepare(const std::string& name, const std::string& configJson);
  // Init, then waits up to `timeoutMs` for event 100. Returns the nanoseconds from the call of
  // Init to the event, or -1 when Init failed or no connection came.
  int64_t Start(int timeoutMs);
  void Stop();     // Exit
  void Cleanup();  // Exit when started, unloads the simulator, removes the scratch folder

  bool Started() const { return started_; }
  void** Handle() { return &handle_; }
  void* Context() const { return handle_; }
  int Control(const std::string& json) const { return control_(json.c_str()); }
  int Pending() const;  // ready items in the buffer, preview frames included
  int Queued() const;   // items in the buffer, ready or not

 private:
  static int32_t BRELON_CDECL OnEvent(int32_t, int32_t event, void*);
  static std::atomic<int64_t> connectedAt_;

  void* handle_ = nullptr;
  bool started_ = false;
  ZEPASIM_ControlFn control_ = nullptr;
  plat::Library* sim_ = nullptr;
  std::string dir_;
};

}  // namespace bench
