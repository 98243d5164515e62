// Shared by the reliability suites (fault sweep, soak, resource cycles): a watchdog that ends a
// hung run, a host that drives one plug-in context against the simulated camera and records its
// events, the query/read pairs of a transfer, and the process's resident set size.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/context.h"
#include "brelon/brelon.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "support/sim_harness.h"
#include "support/test_env.h"
#include "zepa/zepasim.h"

namespace brelon::test {

constexpr uint32_t kWatchdogMs = 10000;  // real time a single scenario may take at most
constexpr uint32_t kPollSliceMs = 5;     // real time between two looks at a condition
constexpr uint32_t kNameUnits = 261;     // the host's name buffers
constexpr uint32_t kSizeUntouched = 0xFFFFFFFFu;

// A wait of `realMs` real milliseconds expressed in the platform's scaled milliseconds.
inline uint32_t RealToScaled(uint32_t realMs) {
  const uint64_t scaled = static_cast<uint64_t>(realMs) * plat::TimeScale();
  return scaled >= plat::kInfinite ? plat::kInfinite - 1 : static_cast<uint32_t>(scaled);
}

// Polls `done` on the real clock until it holds or `realMs` passed; true when it held.
template <typename Condition>
bool WaitUntil(Condition done, uint32_t realMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    plat::SleepMs(RealToScaled(kPollSliceMs));
  }
}

// Ends the process when the guarded scope does not finish in time: a hung plug-in cannot be
// unwound, and a test binary that never returns would only be killed by ctest much later.
class Watchdog {
 public:
  explicit Watchdog(std::string what, uint32_t realMs = kWatchdogMs)
      : what_(std::move(what)), realMs_(realMs), done_(plat::EventCreate(true, false)) {
    thread_ = plat::ThreadStart(&Watchdog::Run, this);
  }
  ~Watchdog() {
    plat::EventSet(done_);
    if (thread_) {
      plat::ThreadJoin(thread_, plat::kInfinite);
      plat::ThreadClose(thread_);
    }
    plat::EventClose(done_);
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static uint32_t Run(void* raw) {
    auto* self = static_cast<Watchdog*>(raw);
    const bool finished = WaitUntil(
        [self] { return plat::EventWait(self->done_, 0) == plat::WaitResult::kSignalled; },
        self->realMs_);
    if (!finished) {
      std::fprintf(stderr, "watchdog: %s did not finish within %u ms\n", self->what_.c_str(),
                   self->realMs_);
      std::fflush(stderr);
      std::abort();
    }
    return 0;
  }

  std::string what_;
  uint32_t realMs_;
  plat::Event* done_;
  plat::Thread* thread_ = nullptr;
};

// One plug-in context (Init .. Exit) against a simulator session of its own, with the log in a
// private folder and every host event counted. The trace length at the first connection event
// tells which SDK calls belong to the connection and which to the watch cycles after it.
class SimHost {
 public:
  // `traced` false: the simulator writes no trace, which long loops would spend most time on.
  explicit SimHost(const std::string& configJson, bool traced = true)
      : logDir_(TempDir("reliability-log")), sim_(configJson) {
    if (!traced) SetEnv("ZEPA_SIM_TRACE", nullptr);  // the session restores it
    const char* saved = std::getenv("BRELON_LOG_DIR");
    hadLogDir_ = saved != nullptr;
    savedLogDir_ = saved ? saved : "";
    SetEnv("BRELON_LOG_DIR", logDir_.c_str());
    lock_ = plat::LockCreate();
    changed_ = plat::EventCreate(false, false);
    initResult_ = Init(&handle_, &SimHost::OnEvent, this);
  }
  ~SimHost() {
    Exit(&handle_);
    SetEnv("BRELON_LOG_DIR", hadLogDir_ ? savedLogDir_.c_str() : nullptr);
    plat::EventClose(changed_);
    plat::LockDestroy(lock_);
    std::error_code ignored;
    std::filesystem::remove_all(logDir_, ignored);
  }
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  int32_t InitResult() const { return initResult_; }
  // A new Init on the same simulator session, after the test called Exit itself.
  int32_t Reinit() { return initResult_ = Init(&handle_, &SimHost::OnEvent, this); }
  void** Handle() { return &handle_; }
  PluginContext* Context() const { return static_cast<PluginContext*>(handle_); }
  SimSession& Sim() { return sim_; }
  int Control(const std::string& json) { return sim_.Control(json); }
  int Pending() { return Control(R"({"cmd":"pending","camera":0})"); }
  int Queued() { return Control(R"({"cmd":"stats","camera":0,"what":"queued"})"); }
  int Shots() { return Control(R"({"cmd":"stats","camera":0,"what":"shots"})"); }
  void SetFrame(int frame) {
    Control(R"({"cmd":"set","camera":0,"key":"frame_number","value":)" + std::to_string(frame) +
            "}");
  }
  // True once every file of the shots taken so far is ready in the camera's buffer.
  bool ShotsReady(uint32_t realMs = kWatchdogMs / 2) {
    return WaitUntil([this] { return Queued() == Pending(); }, realMs);
  }

  int Count(int32_t code) const {
    plat::LockGuard guard(lock_);
    return static_cast<int>(std::count(events_.begin(), events_.end(), code));
  }
  bool WaitEvent(int32_t code, int times, uint32_t realMs = kWatchdogMs / 2) const {
    return WaitUntil([&] { return Count(code) >= times; }, realMs);
  }
  // Trace lines written when the first connection event came; 0 before it.
  size_t TraceAtConnect() const {
    plat::LockGuard guard(lock_);
    return traceAtConnect_;
  }

 private:
  static int32_t BRELON_CDECL OnEvent(int32_t, int32_t event, void* raw) {
    auto* self = static_cast<SimHost*>(raw);
    const bool firstConnect = event == BRELON_EV_CONNECTED && self->Count(event) == 0;
    const size_t lines = firstConnect ? self->sim_.Trace().size() : 0;
    plat::LockGuard guard(self->lock_);
    if (firstConnect) self->traceAtConnect_ = lines;
    self->events_.push_back(event);
    plat::EventSet(self->changed_);
    return 0;
  }

  std::string logDir_;
  bool hadLogDir_ = false;
  std::string savedLogDir_;
  SimSession sim_;
  plat::Lock* lock_ = nullptr;
  plat::Event* changed_ = nullptr;
  std::vector<int32_t> events_;  // guarded by lock_
  size_t traceAtConnect_ = 0;    // guarded by lock_
  void* handle_ = nullptr;
  int32_t initResult_ = 0;
};

inline std::u16string ExpectedName(int frame, bool raw) {
  char text[32];
  std::snprintf(text, sizeof(text), raw ? "%08d.QRW" : "%08d.JPG", frame);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

// What the host saw in a series of query/read pairs: every export result in call order, and
// the names of the files delivered (read call 0 with a non-empty name).
struct TransferLog {
  std::vector<int32_t> results;
  std::vector<std::u16string> names;
};

// One query call and, when it reports an image, the read call into a buffer of that size.
inline void FetchOne(void** handle, TransferLog& log) {
  uint32_t size = kSizeUntouched;
  uint8_t isRaw = 0;
  int32_t variant = 0;
  const int32_t query =
      ReadImage(handle, nullptr, &size, &isRaw, &variant, nullptr, nullptr, nullptr);
  log.results.push_back(query);
  if (query != BRELON_OK || size == kSizeUntouched || size == 0) return;
  std::vector<uint8_t> buffer(size);
  char16_t name[kNameUnits] = {};
  char16_t file[kNameUnits] = {};
  char16_t folder[kNameUnits] = {};
  const int32_t read =
      ReadImage(handle, buffer.data(), &size, &isRaw, &variant, name, file, folder);
  log.results.push_back(read);
  if (read == BRELON_OK && name[0] != 0) log.names.emplace_back(name);
}

// Pairs until the camera holds nothing more (at most `maxPairs`, so a stuck item cannot loop).
inline TransferLog FetchPending(SimHost& host, int maxPairs = 16) {
  TransferLog log;
  for (int i = 0; i < maxPairs && host.Pending() > 0; ++i) FetchOne(host.Handle(), log);
  return log;
}

// Resident set size in bytes from the "VmRSS:" line of /proc/self/status (in KiB, whatever the
// page size); -1 where there is no such file.
inline int64_t ResidentBytes() {
  constexpr int64_t kKiB = 1024;
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    if (key == "VmRSS:") {
      int64_t kib = -1;
      return status >> kib ? kib * kKiB : -1;
    }
    status.ignore(1 << 16, '\n');
  }
  return -1;
}

}  // namespace brelon::test
