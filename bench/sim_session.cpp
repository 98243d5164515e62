// The benchmarks' plug-in session on the simulated camera: environment, simulator loading,
// Init with the connection wait, and cleanup. Settings, documents and the session lock live
// in a private scratch folder, so a test run on the same machine never holds the session up.
#include "sim_session.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace bench {
namespace {

namespace fs = std::filesystem;

constexpr auto kConnectPoll = std::chrono::microseconds(100);

}  // namespace

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<int64_t> SimSession::connectedAt_{0};

int32_t BRELON_CDECL SimSession::OnEvent(int32_t, int32_t event, void*) {
  if (event == BRELON_EV_CONNECTED) connectedAt_ = NowNs();
  return 0;
}

bool SimSession::Prepare(const std::string& name, const std::string& configJson) {
  dir_ = (fs::temp_directory_path() / (name + "-" + std::to_string(getpid()))).string();
  fs::create_directories(dir_);
  const std::string simPath =
      (fs::read_symlink("/proc/self/exe").parent_path() / "libzepa.so").string();
  const std::string config = dir_ + "/sim.json";
  std::ofstream(config) << configJson;
  // No trace (it would write a line per SDK call); settings, documents and lock in the scratch
  // folder.
  setenv("ZEPA_SIM_CONFIG", config.c_str(), 1);
  unsetenv("ZEPA_SIM_TRACE");
  setenv("BRELON_ZEPA_PATH", simPath.c_str(), 1);
  setenv("BRELON_REGISTRY_FILE", (dir_ + "/registry.reg").c_str(), 1);
  setenv("BRELON_LOCK_DIR", dir_.c_str(), 1);
  setenv("HOME", dir_.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");

  const std::u16string wide(simPath.begin(), simPath.end());
  sim_ = plat::LibraryLoad(wide.c_str());
  control_ = sim_
                 ? reinterpret_cast<ZEPASIM_ControlFn>(plat::LibrarySymbol(sim_, "ZEPASIM_Control"))
                 : nullptr;
  if (!control_) std::fprintf(stderr, "simulator not loadable: %s\n", simPath.c_str());
  return control_ != nullptr;
}

int64_t SimSession::Start(int timeoutMs) {
  connectedAt_ = 0;
  const int64_t start = NowNs();
  if (Init(&handle_, OnEvent, nullptr) != BRELON_OK) return -1;
  started_ = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (connectedAt_ == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kConnectPoll);
  }
  if (connectedAt_ == 0) {
    std::fprintf(stderr, "no camera connection within %d ms\n", timeoutMs);
    return -1;
  }
  return connectedAt_ - start;
}

void SimSession::Stop() {
  if (started_) Exit(&handle_);
  started_ = false;
}

void SimSession::Cleanup() {
  Stop();
  if (sim_) plat::LibraryFree(sim_);
  sim_ = nullptr;
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

int SimSession::Pending() const {
  return Control(R"({"cmd":"pending","camera":0})");
}

int SimSession::Queued() const {
  return Control(R"({"cmd":"stats","camera":0,"what":"queued"})");
}

}  // namespace bench
