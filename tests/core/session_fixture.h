// Shared fixture of the session-thread suites: a context started against the simulated SDK under
// a compressed clock, with private settings, lock folder and log, the host events it raised, and
// real-time waits for what the session thread does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/context.h"
#include "brelon/brelon.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "settings/settings_store.h"
#include "settings/test_registry.h"
#include "support/sim_harness.h"
#include "support/test_env.h"

namespace brelon::test {

constexpr uint32_t kSessionTimeScale = 50;  // session waits run this much faster
constexpr uint32_t kRealWaitMs = 10000;     // real time any one expectation may take

struct HostEvent {
  int32_t camera;
  int32_t code;
};

inline int64_t RealNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline void RealSleepMs(uint32_t ms) {
  plat::SleepMs(ms * plat::TimeScale());
}

template <typename Condition>
bool Eventually(Condition condition, uint32_t limitMs = kRealWaitMs) {
  for (const int64_t end = RealNowMs() + limitMs; RealNowMs() < end; RealSleepMs(2)) {
    if (condition()) return true;
  }
  return condition();
}

inline void SetSetting(const char16_t* name, uint32_t value) {
  PutDword(kSettingsKey, name, value);
}
inline void SetSetting(const char16_t* name, const std::u16string& text) {
  PutText(kSettingsKey, name, text);
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetTimeScale(kSessionTimeScale);
    eventsLock_ = plat::LockCreate();
    // Suites run in parallel processes: each gets its own lock folder, settings and log.
    SetEnv("BRELON_LOCK_DIR", TempDir("session-lock").c_str());
    SetEnv("BRELON_REGISTRY_FILE", (TempDir("session-settings") + "/registry.reg").c_str());
    SetEnv("BRELON_LOG_DIR", TempDir("session-log").c_str());
    std::error_code ignored;  // the plug-in never creates the log folder itself
    std::filesystem::create_directories(std::filesystem::path(plat::LogFilePath()).parent_path(),
                                        ignored);
    SetHostOptionFlags(0);
    UseConnection(0x01, 0, u"");
    SetSetting(u"CardJPEG", 1);
    SetSetting(u"CardRAW", 1);
  }

  void TearDown() override {
    Stop();
    sim_.reset();
    SetHostOptionFlags(0);
    plat::SetTimeScale(1);
    for (const char* name : {"BRELON_LOCK_DIR", "BRELON_REGISTRY_FILE", "BRELON_LOG_DIR"}) {
      SetEnv(name, nullptr);
    }
    plat::LockDestroy(eventsLock_);
  }

  // ConnectType 0x01 USB, 0x10 discovery, 0x20 IPv4 (with detection method 1 and an address).
  void UseConnection(uint32_t type, uint32_t method, const std::u16string& address) {
    SetSetting(u"ConnectType", type);
    SetSetting(u"WiFiDetectionMethod", method);
    SetSetting(u"CameraIPAddress", address);
  }
  void UseUsb() { UseConnection(0x01, 0, u""); }
  void UseIpv4(const std::u16string& address) { UseConnection(0x20, 1, address); }

  void Start(const std::string& configJson = "") {
    if (!sim_) sim_ = std::make_unique<SimSession>(configJson);
    ASSERT_EQ(Init(&handle_, &SessionTest::OnEvent, this), BRELON_OK);
  }
  // Exit, timed in real milliseconds.
  int64_t Stop() {
    if (!handle_) return 0;
    const int64_t start = RealNowMs();
    EXPECT_EQ(Exit(&handle_), BRELON_OK);
    return RealNowMs() - start;
  }

  PluginContext* Ctx() const { return static_cast<PluginContext*>(handle_); }
  SimSession& Sim() { return *sim_; }
  int Control(const std::string& json) { return sim_->Control(json); }

  std::vector<HostEvent> Events() const {
    plat::LockGuard guard(eventsLock_);
    return events_;
  }
  size_t CountEvents(int32_t code) const {
    size_t n = 0;
    for (const HostEvent& e : Events()) n += e.code == code ? 1 : 0;
    return n;
  }
  bool WaitForEvents(int32_t code, size_t count) {
    return Eventually([&] { return CountEvents(code) >= count; });
  }

  bool Connected() {
    uint8_t connected = 0;
    return IsCameraConnect(&handle_, &connected) == BRELON_OK && connected == 1;
  }
  int32_t ConnectKind() const {
    plat::LockGuard guard(Locks().connection);
    return Ctx()->lConnectKind;
  }
  std::u16string CameraName() const {
    plat::LockGuard guard(Locks().cameraName);
    return Ctx()->Condition.cameraName;
  }

  std::vector<TraceCall> Calls(const std::string& fn) const { return sim_->Calls(fn); }
  size_t CountCalls(const std::string& fn) const { return Calls(fn).size(); }
  bool WaitForCalls(const std::string& fn, size_t count) {
    return Eventually([&] { return CountCalls(fn) >= count; });
  }
  // True once some call of `fn` satisfies `match`.
  template <typename Match>
  bool WaitForCall(const std::string& fn, Match match) {
    return Eventually([&] {
      for (const TraceCall& call : Calls(fn)) {
        if (match(call)) return true;
      }
      return false;
    });
  }

  // Log records containing `text`.
  std::vector<std::string> LogLines(const std::string& text) const {
    std::ifstream in(plat::LogFilePath(), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (line.find(text) != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  void* handle_ = nullptr;

 private:
  static int32_t BRELON_CDECL OnEvent(int32_t camera, int32_t code, void* self) {
    auto* me = static_cast<SessionTest*>(self);
    plat::LockGuard guard(me->eventsLock_);
    me->events_.push_back({camera, code});
    return 0;
  }

  std::unique_ptr<SimSession> sim_;
  plat::Lock* eventsLock_ = nullptr;
  std::vector<HostEvent> events_;  // guarded by eventsLock_
};

}  // namespace brelon::test
