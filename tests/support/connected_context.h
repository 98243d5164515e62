// ConnectedContext: a plug-in context (Init) running against the simulated camera SDK, returned
// once the session thread has reported the camera connected (event 100), with a fresh log file
// of its own and a record of every host event. For suites that need a live camera.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/context.h"
#include "brelon/brelon.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "support/sim_harness.h"

namespace brelon::test {

class ConnectedContext {
 public:
  static constexpr uint32_t kDefaultConnectTimeoutMs = 10000;

  // Test thread. Starts a SimSession with `configJson` (empty: the simulator's default camera),
  // points the log and the session mutex at a folder of its own, calls Init and waits up to
  // `timeoutMs` real milliseconds (whatever the time scale) for event 100. Check Connected() before
  // relying on the camera.
  explicit ConnectedContext(const std::string& configJson = "",
                            uint32_t timeoutMs = kDefaultConnectTimeoutMs);
  // Test thread: Exit (waits for the session thread), then removes the log and restores the
  // environment.
  ~ConnectedContext();
  ConnectedContext(const ConnectedContext&) = delete;
  ConnectedContext& operator=(const ConnectedContext&) = delete;

  int32_t InitResult() const { return initResult_; }
  bool Connected() const { return connected_; }
  // The host's variable, as the exports take it. Owned by this object.
  void** Handle() { return &handle_; }
  // The context itself, for tests that set or inspect fields directly; null after a failed Init.
  PluginContext* Context() const { return static_cast<PluginContext*>(handle_); }
  SimSession& Sim() { return sim_; }

  // The log file of this run and its current text ("" while it does not exist).
  const std::string& LogPath() const { return logPath_; }
  std::string LogText() const;
  // Log records (lines) that contain `text`.
  std::vector<std::string> LogLines(const std::string& text) const;

  // Host events received so far, in arrival order (any thread may have raised them).
  std::vector<int32_t> Events() const;

 private:
  static int32_t BRELON_CDECL OnEvent(int32_t camera, int32_t event, void* self);

  struct SavedVariable {
    const char* name;
    bool wasSet = false;
    std::string value;
  };

  SimSession sim_;
  SavedVariable saved_[2] = {{"BRELON_LOG_DIR", false, {}}, {"BRELON_LOCK_DIR", false, {}}};
  std::string logDir_;
  std::string logPath_;
  bool createdLogDir_ = false;
  void* handle_ = nullptr;
  int32_t initResult_ = 0;
  bool connected_ = false;
  plat::Event* connectedEvent_ = nullptr;
  plat::Lock* eventsLock_ = nullptr;
  std::vector<int32_t> events_;  // guarded by eventsLock_
};

}  // namespace brelon::test
