// ConnectedContext: the one harness of the plug-in on the simulated camera. A context (Init ..
// Exit) on a simulator session of its own, with a private log and lock folder, every host event
// recorded, real-time waits for what the session thread does, and the host's query/read pairs.
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

constexpr uint32_t kRealWaitMs = 10000;  // real time any one expectation may take

int64_t RealNowMs();
void RealSleepMs(uint32_t ms);  // real time, whatever the time scale
// Polls `done` until it holds (true) or `realMs` of real time passed (false).
template <typename Condition>
bool Eventually(Condition done, uint32_t realMs = kRealWaitMs) {
  for (const int64_t end = RealNowMs() + realMs; !done(); RealSleepMs(2)) {
    if (RealNowMs() >= end) return done();
  }
  return true;
}

struct HostEvent {
  int32_t camera;
  int32_t code;
};

// What the host saw in query/read pairs: every export result in call order, and the names of
// the files delivered.
struct TransferLog {
  std::vector<int32_t> results;
  std::vector<std::u16string> names;
};
std::u16string ExpectedName(int frame, bool raw);  // "%08d.QRW" / "%08d.JPG"

class ConnectedContext {
 public:
  static constexpr uint32_t kNoWait = 0;

  // Starts a SimSession with `configJson` (empty: the default camera; `traced` false: no trace,
  // which long loops would spend their time on), calls Init and waits up to `timeoutMs` real
  // milliseconds for event 100 (kNoWait: not at all).
  explicit ConnectedContext(const std::string& configJson = "", uint32_t timeoutMs = kRealWaitMs,
                            bool traced = true);
  ~ConnectedContext();  // Exit (waits for the session thread), then the environment is restored
  ConnectedContext(const ConnectedContext&) = delete;
  ConnectedContext& operator=(const ConnectedContext&) = delete;

  int32_t InitResult() const { return initResult_; }
  bool Connected() const { return connected_; }  // event 100 came within the first wait
  int32_t Reinit() { return initResult_ = Init(&handle_, &OnEvent, this); }  // after an Exit
  void** Handle() { return &handle_; }  // the host's variable, owned here
  PluginContext* Context() const { return static_cast<PluginContext*>(handle_); }
  SimSession& Sim() { return sim_; }
  int Control(const std::string& json) { return sim_.Control(json); }
  std::vector<std::string> LogLines(const std::string& text) const;  // records holding `text`

  // Host events so far in arrival order (any thread may raise them).
  std::vector<HostEvent> HostEvents() const;
  std::vector<int32_t> Events() const;
  int Count(int32_t code) const;
  bool WaitEvent(int32_t code, int times, uint32_t realMs = kRealWaitMs) const {
    return Eventually([&] { return Count(code) >= times; }, realMs);
  }
  size_t TraceAtConnect() const;  // trace lines written when the first event 100 came

  int Pending() { return Control(R"({"cmd":"pending","camera":0})"); }  // ready items
  bool ShotsReady();         // waits until every shot taken so far is ready
  void SetFrame(int frame);  // the next shot's frame number
  // One query and, when it reports an image, the read into a buffer of that size.
  void FetchOne(TransferLog& log);
  // Pairs until the camera holds nothing (at most `maxPairs`, so a stuck item cannot loop).
  TransferLog FetchPending(int maxPairs = 16);

 private:
  static int32_t BRELON_CDECL OnEvent(int32_t camera, int32_t event, void* self);

  SimSession sim_;
  std::string logPath_;
  bool createdLogDir_ = false;
  void* handle_ = nullptr;
  int32_t initResult_ = 0;
  bool connected_ = false;
  plat::Lock* lock_;
  std::vector<HostEvent> events_;  // guarded by lock_
  size_t traceAtConnect_ = 0;      // guarded by lock_
};

}  // namespace brelon::test
