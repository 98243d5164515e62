// Simulator harness: library paths beside the test executable, loading by path, the session's
// environment, and the reading of the JSONL trace lines the simulator writes.
#include "support/sim_harness.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

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

// One trace line: an object of "fn", "args" (strings and integers), "ret" and "throw". Anything
// else marks the line as unreadable.
bool ReadCall(const std::string& line, TraceCall& call) {
  const nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
  if (!json.is_object()) return false;
  for (const auto& [key, value] : json.items()) {
    if (key == "fn" && value.is_string()) {
      call.fn = value.get<std::string>();
    } else if (key == "args" && value.is_array()) {
      for (const nlohmann::json& arg : value) {
        if (arg.is_string()) {
          call.args.emplace_back(arg.get<std::string>());
        } else if (arg.is_number_integer()) {
          call.args.emplace_back(arg.get<int64_t>());
        } else {
          return false;
        }
      }
    } else if (key == "ret" && value.is_number_integer()) {
      call.ret = value.get<int64_t>();
    } else if (key == "throw" && value.is_boolean()) {
      call.threw = value.get<bool>();
    } else {
      return false;
    }
  }
  return true;
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

void SimSession::Save(const char* name) {
  SavedVariable saved{name, false, ""};
  if (const char* value = std::getenv(name)) {
    saved.wasSet = true;
    saved.value = value;
  }
  saved_.push_back(saved);
}

SimSession::SimSession(const std::string& configJson)
    : dir_(TempDir("sim")),
      tracePath_((std::filesystem::path(dir_) / "trace.jsonl").string()),
      library_(SimLibraryPath()) {
  Save("ZEPA_SIM_CONFIG");
  Save("ZEPA_SIM_TRACE");
  if (configJson.empty()) {
    SetEnv("ZEPA_SIM_CONFIG", nullptr);
  } else {
    const std::string configPath = (std::filesystem::path(dir_) / "config.json").string();
    std::ofstream(configPath, std::ios::binary) << configJson;
    SetEnv("ZEPA_SIM_CONFIG", configPath.c_str());
  }
  std::ofstream(tracePath_, std::ios::binary | std::ios::trunc).flush();
  SetEnv("ZEPA_SIM_TRACE", tracePath_.c_str());
#ifndef _WIN32
  Save("BRELON_ZEPA_PATH");
  SetEnv("BRELON_ZEPA_PATH", SimLibraryPath().c_str());
  // A simulated run must not queue behind the machine-wide session lock of another test
  // process running in parallel; tests that share one lock on purpose set it themselves.
  if (std::getenv("BRELON_LOCK_DIR") == nullptr) {
    Save("BRELON_LOCK_DIR");
    SetEnv("BRELON_LOCK_DIR", dir_.c_str());
  }
#endif
}

SimSession::~SimSession() {
  for (const SavedVariable& saved : saved_) {
    SetEnv(saved.name.c_str(), saved.wasSet ? saved.value.c_str() : nullptr);
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
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  // Only whole lines: the simulator may be appending one while another thread reads.
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (line.empty()) continue;
    TraceCall call;
    if (!ReadCall(line, call)) call.fn = "<unreadable trace line> " + line;
    calls.push_back(call);
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

const std::string& SimSession::TracePath() const {
  return tracePath_;
}

}  // namespace brelon::test
