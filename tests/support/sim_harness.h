// Test access to the simulated camera SDK: where the library and its variants lie, a session
// that points the simulator at a configuration and a fresh trace file, control commands, direct
// calls into the library's exports, and the parsed call trace.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/platform.h"

namespace brelon::test {

struct TraceCall {
  std::string fn;
  std::vector<std::variant<int64_t, std::string>> args;
  int64_t ret = 0;
  bool threw = false;  // the call raised an exception after it was traced
};

// Argument `index` of a traced call as a number (-999) or text ("") when absent or of the
// other kind; IntArgs gives them all as numbers.
inline int64_t IntArg(const TraceCall& call, size_t index) {
  const auto* value = index < call.args.size() ? std::get_if<int64_t>(&call.args[index]) : nullptr;
  return value ? *value : -999;
}
inline std::string TextArg(const TraceCall& call, size_t index) {
  const auto* text =
      index < call.args.size() ? std::get_if<std::string>(&call.args[index]) : nullptr;
  return text ? *text : "";
}
inline std::vector<int64_t> IntArgs(const TraceCall& call) {
  std::vector<int64_t> out;
  for (size_t i = 0; i < call.args.size(); ++i) out.push_back(IntArg(call, i));
  return out;
}

std::string SimLibraryPath();  // bin/libzepa.so or bin/ZEPA.DLL beside the test exe
std::string SimVariantPath(const std::string& name);  // "no_serial", "no_prop"

// A library loaded by path (the simulator or one of its variants) for direct calls.
class SimLibrary {
 public:
  explicit SimLibrary(const std::string& path);
  ~SimLibrary() { plat::LibraryFree(static_cast<plat::Library*>(handle_)); }
  SimLibrary(const SimLibrary&) = delete;
  SimLibrary& operator=(const SimLibrary&) = delete;
  void* Symbol(const char* name) const {  // null when absent or not loaded
    return plat::LibrarySymbol(static_cast<plat::Library*>(handle_), name);
  }

 private:
  void* handle_ = nullptr;
};

// One simulated run: configJson (empty: the default camera) in a scratch folder, ZEPA_SIM_CONFIG,
// a fresh ZEPA_SIM_TRACE and (POSIX) BRELON_ZEPA_PATH set until the destructor restores them.
// Control() reaches the library instance the plug-in loaded, by loading the same path.
class SimSession {
 public:
  explicit SimSession(const std::string& configJson = "");
  ~SimSession();
  SimSession(const SimSession&) = delete;
  SimSession& operator=(const SimSession&) = delete;

  int Control(const std::string& json);
  void SetVariable(const char* name, const char* value);      // for the session (null unsets)
  const std::string& Dir() const { return dir_; }             // the session's scratch folder
  std::vector<TraceCall> Trace() const;                       // parsed JSONL
  std::vector<TraceCall> Calls(const std::string& fn) const;  // only that function
  void ClearTrace() { std::ofstream(tracePath_, std::ios::binary | std::ios::trunc).flush(); }

 private:
  std::string dir_;
  std::string tracePath_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;  // first value each
  SimLibrary library_;
};

}  // namespace brelon::test
