// ConnectedContext: Init against the simulator, the wait for the session thread's connection
// event, the per-run log file, and the event record.
#include "support/connected_context.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_env.h"

namespace brelon::test {

ConnectedContext::ConnectedContext(const std::string& configJson, uint32_t timeoutMs)
    : sim_(configJson) {
  connectedEvent_ = plat::EventCreate(true, false);
  eventsLock_ = plat::LockCreate();

  // POSIX follows BRELON_LOG_DIR; Windows keeps its fixed folder, made here if it is missing.
  // The session mutex's lock file goes to the same private folder (BRELON_LOCK_DIR, POSIX), so
  // that test processes running side by side do not wait for each other's camera sessions.
  logDir_ = TempDir("connected-context");
  for (SavedVariable& saved : saved_) {
    const char* value = std::getenv(saved.name);
    saved.wasSet = value != nullptr;
    saved.value = value ? value : "";
    SetEnv(saved.name, logDir_.c_str());
  }
  logPath_ = plat::LogFilePath();
  const std::filesystem::path folder = std::filesystem::path(logPath_).parent_path();
  std::error_code ignored;
  if (!std::filesystem::exists(folder, ignored)) {
    createdLogDir_ = std::filesystem::create_directories(folder, ignored);
  }

  initResult_ = Init(&handle_, &ConnectedContext::OnEvent, this);
  if (initResult_ != BRELON_OK) return;
  // The wait is meant in real time; the platform scales every wait down by the time scale.
  const uint64_t scaled = static_cast<uint64_t>(timeoutMs) * plat::TimeScale();
  const uint32_t wait = scaled >= plat::kInfinite ? plat::kInfinite - 1 : uint32_t(scaled);
  connected_ = plat::EventWait(connectedEvent_, wait) == plat::WaitResult::kSignalled;
}

ConnectedContext::~ConnectedContext() {
  Exit(&handle_);
  std::error_code ignored;
  std::filesystem::remove(logPath_, ignored);
  if (createdLogDir_) {
    std::filesystem::remove(std::filesystem::path(logPath_).parent_path(), ignored);
  }
  std::filesystem::remove_all(logDir_, ignored);
  for (const SavedVariable& saved : saved_) {
    SetEnv(saved.name, saved.wasSet ? saved.value.c_str() : nullptr);
  }
  plat::EventClose(connectedEvent_);
  plat::LockDestroy(eventsLock_);
}

int32_t BRELON_CDECL ConnectedContext::OnEvent(int32_t, int32_t event, void* self) {
  auto* me = static_cast<ConnectedContext*>(self);
  {
    plat::LockGuard guard(me->eventsLock_);
    me->events_.push_back(event);
  }
  if (event == BRELON_EV_CONNECTED) plat::EventSet(me->connectedEvent_);
  return 0;
}

std::string ConnectedContext::LogText() const {
  std::ifstream in(logPath_, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> ConnectedContext::LogLines(const std::string& text) const {
  std::vector<std::string> lines;
  std::istringstream in(LogText());
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::vector<int32_t> ConnectedContext::Events() const {
  plat::LockGuard guard(eventsLock_);
  return events_;
}

}  // namespace brelon::test
