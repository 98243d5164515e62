// Simulator harness: library paths beside the test executable, loading by path, the session's
// environment, and the reading of the JSONL trace lines the simulator writes.
#include "support/sim_harness.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "platform/testing.h"
#include "support/test_env.h"
#include "zepa/zepasim.h"

namespace brelon::test {
namespace {

constexpr int kLibraryMissing = -1000;  // Control() result when the library cannot be loaded

std::filesystem::path ExecutableDir() {
  char16_t path[4096];
  if (!plat::ExecutablePath(path, std::size(path))) return std::filesystem::current_path();
  return std::filesystem::path(std::u16string(path)).parent_path();
}

std::filesystem::path LibraryName() {
  return std::u16string(plat::SdkLibraryFileName());
}

// One trace line: "fn", "args" (strings and integers), "ret" and "throw"; none when unreadable.
std::optional<TraceCall> ReadCall(const std::string& line) {
  try {
    const nlohmann::json json = nlohmann::json::parse(line);
    TraceCall call{json.at("fn"), {}, json.value("ret", int64_t{0}), json.value("throw", false)};
    for (const nlohmann::json& arg : json.value("args", nlohmann::json::array())) {
      if (arg.is_string()) {
        call.args.emplace_back(arg.get<std::string>());
      } else {
        call.args.emplace_back(arg.get<int64_t>());
      }
    }
    return call;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::string SimLibraryPath() {
  return (ExecutableDir() / LibraryName()).string();
}

std::string SimVariantPath(const std::string& name) {
  return (ExecutableDir() / "variants" / name / LibraryName()).string();
}

SimLibrary::SimLibrary(const std::string& path)
    : handle_(plat::LibraryLoad(std::filesystem::path(path).u16string().c_str())) {}

SimLibrary::~SimLibrary() {
  plat::LibraryFree(static_cast<plat::Library*>(handle_));
}

void* SimLibrary::Symbol(const char* name) const {
  return plat::LibrarySymbol(static_cast<plat::Library*>(handle_), name);
}

void SimSession::SetVariable(const char* name, const char* value) {
  const char* old = std::getenv(name);
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  SetEnv(name, value);
}

SimSession::SimSession(const std::string& configJson)
    : dir_(TempDir("sim")),
      tracePath_((std::filesystem::path(dir_) / "trace.jsonl").string()),
      library_(SimLibraryPath()) {
  const std::string configPath = (std::filesystem::path(dir_) / "config.json").string();
  if (!configJson.empty()) std::ofstream(configPath, std::ios::binary) << configJson;
  SetVariable("ZEPA_SIM_CONFIG", configJson.empty() ? nullptr : configPath.c_str());
  ClearTrace();
  SetVariable("ZEPA_SIM_TRACE", tracePath_.c_str());
#ifndef _WIN32
  SetVariable("BRELON_ZEPA_PATH", SimLibraryPath().c_str());
  // A simulated run must not queue behind the machine-wide session lock of another test
  // process running in parallel; tests that share one lock on purpose set it themselves.
  if (std::getenv("BRELON_LOCK_DIR") == nullptr) SetVariable("BRELON_LOCK_DIR", dir_.c_str());
#endif
}

SimSession::~SimSession() {
  // Backwards, so that a variable set twice gets its first value back.
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    SetEnv(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

int SimSession::Control(const std::string& json) {
  auto control = library_.Entry<ZEPASIM_ControlFn>("ZEPASIM_Control");
  return control ? control(json.c_str()) : kLibraryMissing;
}

std::vector<TraceCall> SimSession::Trace() const {
  std::vector<TraceCall> calls;
  std::ifstream in(tracePath_, std::ios::binary);
  // Only whole lines: the simulator may be appending one while another thread reads.
  for (std::string line; std::getline(in, line) && !in.eof();) {
    if (!line.empty())
      calls.push_back(ReadCall(line).value_or(TraceCall{"<unreadable> " + line, {}}));
  }
  return calls;
}

std::vector<TraceCall> SimSession::Calls(const std::string& fn) const {
  std::vector<TraceCall> selected;
  for (TraceCall& call : Trace()) {
    if (call.fn == fn) selected.push_back(std::move(call));
  }
  return selected;
}

void SimSession::ClearTrace() {
  std::ofstream(tracePath_, std::ios::binary | std::ios::trunc).flush();
}

}  // namespace brelon::test
