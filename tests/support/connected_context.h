// ConnectedContext: the plug-in (Init .. Exit) on a simulator session of its own, with a private
// log, every host event recorded, real-time waits and the host's query/read pairs.
#pragma once

#include <algorithm>
#include <atomic>

#include "base/context.h"
#include "brelon/brelon.h"
#include "platform/testing.h"
#include "support/sim_harness.h"

namespace brelon::test {

constexpr uint32_t kRealWaitMs = 10000;  // real time any one expectation may take

int64_t RealNowMs();
void RealSleepMs(uint32_t ms);  // real time, whatever the time scale
template <typename Condition>
bool Eventually(Condition done, uint32_t realMs = kRealWaitMs) {
  for (const int64_t end = RealNowMs() + realMs; !done(); RealSleepMs(2))
    if (RealNowMs() >= end) return done();
  return true;
}

struct HostEvent {
  int32_t camera, code;
};

struct TransferLog {
  std::vector<int32_t> results;
  std::vector<std::u16string> names;
};
std::u16string ExpectedName(int frame, bool raw);  // "%08d.QRW" / "%08d.JPG"

class ConnectedContext {
 public:
  static constexpr uint32_t kNoWait = 0;

  // Init on a fresh SimSession, then waits for event 100 (kNoWait: not at all).
  explicit ConnectedContext(const std::string& configJson = "", uint32_t timeoutMs = kRealWaitMs,
                            bool traced = true);
  ~ConnectedContext();

  int32_t InitResult() const { return initResult_; }
  bool Connected() const { return connected_; }  // event 100 came within the first wait
  int32_t Reinit() { return initResult_ = Init(&handle_, &OnEvent, this); }  // after an Exit
  void** Handle() { return &handle_; }  // the host's variable, owned here
  PluginContext* Context() const { return static_cast<PluginContext*>(handle_); }
  SimSession& Sim() { return sim_; }
  int Control(const std::string& json) { return sim_.Control(json); }
  std::vector<std::string> LogLines(const std::string& text) const;  // records holding `text`

  std::vector<HostEvent> HostEvents() const;
  std::vector<int32_t> Events() const;
  int Count(int32_t code) const { return static_cast<int>(std::ranges::count(Events(), code)); }
  bool WaitEvent(int32_t code, int times, uint32_t realMs = kRealWaitMs) const {
    return Eventually([&] { return Count(code) >= times; }, realMs);
  }
  size_t TraceAtConnect() const { return traceAtConnect_; }  // trace lines at the first event 100

  int Pending() { return Control(R"({"cmd":"pending","camera":0})"); }  // ready items
  bool ShotsReady() {  // waits until every shot taken so far is ready
    return Eventually(
        [&] { return Control(R"({"cmd":"stats","camera":0,"what":"queued"})") == Pending(); });
  }
  void SetFrame(int frame) {  // the next shot's frame number
    Control(R"({"cmd":"set","camera":0,"key":"frame_number","value":)" + std::to_string(frame) +
            "}");
  }
  void FetchOne(TransferLog& log);  // a query and, when it reports an image, the read
  TransferLog FetchPending(int maxPairs = 16);

 private:
  static int32_t BRELON_CDECL OnEvent(int32_t camera, int32_t event, void* self);

  SimSession sim_;
  std::string logPath_;
  void* handle_ = nullptr;
  int32_t initResult_ = 0;
  bool connected_ = false;
  plat::Lock* lock_;
  std::vector<HostEvent> events_;  // guarded by lock_
  std::atomic<size_t> traceAtConnect_ = 0;
};

}  // namespace brelon::test
