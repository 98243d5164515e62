// Shared fixture of the session-thread suites: a plug-in context started against the simulated
// SDK under a compressed clock, with its own settings, lock folder and log, a record of the host
// events, and helpers to wait in real time for what the session thread does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "brelon/brelon.h"
#include "core/context.h"
#include "platform/platform.h"
#include "settings/settings_store.h"
#include "support/sim_harness.h"
#include "support/test_env.h"

namespace brelon::test {

// Waits of the session thread run this many times faster than written.
constexpr uint32_t kSessionTimeScale = 50;
// Real milliseconds any single expectation may take to come true.
constexpr uint32_t kRealWaitMs = 10000;

struct HostEvent {
  int32_t camera;
  int32_t code;
};

inline int64_t RealNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Sleeps `ms` real milliseconds whatever the time scale.
inline void RealSleepMs(uint32_t ms) {
  plat::SleepMs(ms * plat::TimeScale());
}

// Polls `condition` until it holds or `limitMs` real milliseconds have passed.
template <typename Condition>
bool Eventually(Condition condition, uint32_t limitMs = kRealWaitMs) {
  const int64_t end = RealNowMs() + limitMs;
  while (RealNowMs() < end) {
    if (condition()) return true;
    RealSleepMs(2);
  }
  return condition();
}

inline void SetDwordSetting(const char16_t* name, uint32_t value) {
  plat::RegKey* key = plat::RegistryOpenKey(kSettingsKey);
  ASSERT_NE(key, nullptr);
  plat::RegistrySet(key, name, plat::kRegDword, &value, sizeof(value));
  plat::RegistryCloseKey(key);
}

inline void SetTextSetting(const char16_t* name, const std::u16string& text) {
  plat::RegKey* key = plat::RegistryOpenKey(kSettingsKey);
  ASSERT_NE(key, nullptr);
  plat::RegistrySet(key, name, plat::kRegSz, text.c_str(),
                    static_cast<uint32_t>((text.size() + 1) * sizeof(char16_t)));
  plat::RegistryCloseKey(key);
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetTimeScale(kSessionTimeScale);
    eventsLock_ = plat::LockCreate();
    // Private lock folder, settings and log: suites run in parallel processes.
    lockDir_ = TempDir("session-lock");
    SetEnv("BRELON_LOCK_DIR", lockDir_.c_str());
    settingsDir_ = TempDir("session-settings");
    SetEnv("BRELON_REGISTRY_FILE", (settingsDir_ + "/registry.reg").c_str());
    logDir_ = TempDir("session-log");
    SetEnv("BRELON_LOG_DIR", logDir_.c_str());
    // Windows logs to a fixed folder that the plug-in never creates.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(plat::LogFilePath()).parent_path(),
                                        ignored);
    SetHostOptionFlags(0);
    UseUsb();
    SetDwordSetting(u"CardJPEG", 1);
    SetDwordSetting(u"CardRAW", 1);
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

  void UseUsb() {
    SetDwordSetting(u"ConnectType", 0x01);
    SetDwordSetting(u"WiFiDetectionMethod", 0);
    SetTextSetting(u"CameraIPAddress", u"");
  }
  void UseIpv4(const std::u16string& address) {
    SetDwordSetting(u"ConnectType", 0x20);
    SetDwordSetting(u"WiFiDetectionMethod", 1);
    SetTextSetting(u"CameraIPAddress", address);
  }
  void UseDiscovery() {
    SetDwordSetting(u"ConnectType", 0x10);
    SetDwordSetting(u"WiFiDetectionMethod", 0);
    SetTextSetting(u"CameraIPAddress", u"");
  }

  // Points the simulator at `configJson` and starts a context; Init must succeed.
  void Start(const std::string& configJson = "") {
    if (!sim_) sim_ = std::make_unique<SimSession>(configJson);
    ASSERT_EQ(Init(&handle_, &SessionTest::OnEvent, this), BRELON_OK);
  }
  // Exit, timed in real milliseconds; no-op when nothing runs.
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
  bool WaitForEvents(int32_t code, size_t count, uint32_t limitMs = kRealWaitMs) {
    return Eventually([&] { return CountEvents(code) >= count; }, limitMs);
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

  // Calls of `fn` in the trace, in call order.
  std::vector<TraceCall> Calls(const std::string& fn) const { return sim_->Calls(fn); }
  size_t CountCalls(const std::string& fn) const { return Calls(fn).size(); }
  bool WaitForCalls(const std::string& fn, size_t count, uint32_t limitMs = kRealWaitMs) {
    return Eventually([&] { return CountCalls(fn) >= count; }, limitMs);
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
  bool WaitForLog(const std::string& text, uint32_t limitMs = kRealWaitMs) {
    return Eventually([&] { return !LogLines(text).empty(); }, limitMs);
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
  std::string lockDir_, settingsDir_, logDir_;
  plat::Lock* eventsLock_ = nullptr;
  std::vector<HostEvent> events_;  // guarded by eventsLock_
};

}  // namespace brelon::test
