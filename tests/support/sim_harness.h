// Test access to the simulated camera SDK: library paths, a session pointing the simulator at a
// configuration and a fresh trace, control commands, direct calls and the parsed call trace.
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

// Argument `index` as a number (-999) or text ("") when absent or of the other kind.
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

void SetEnv(const char* name, const char* value);  // value null unsets
std::string TempDir(const std::string& tag);       // a fresh, empty, private folder
inline const auto CorpusDir = [] { return std::string(BRELON_TEST_CORPUS_DIR); };
inline const auto DataDir = [] { return std::string(BRELON_TEST_DATA_DIR); };
std::string SimLibraryPath();  // beside the test executable

class SimLibrary {  // loaded by path for direct calls
 public:
  explicit SimLibrary(const std::string& path);
  ~SimLibrary() { plat::LibraryFree(handle_); }
  SimLibrary(const SimLibrary&) = delete;
  SimLibrary& operator=(const SimLibrary&) = delete;
  void* Symbol(const char* name) const { return plat::LibrarySymbol(handle_, name); }  // or null

 private:
  plat::Library* handle_ = nullptr;
};

// A scratch folder, ZEPA_SIM_CONFIG, a fresh ZEPA_SIM_TRACE and (POSIX) BRELON_ZEPA_PATH until
// the destructor restores them. Control() reaches the instance the plug-in loaded.
class SimSession {
 public:
  explicit SimSession(const std::string& configJson = "");  // empty: the default camera
  ~SimSession();                                            // not copyable, as its library is not

  int Control(const std::string& json);
  void SetVariable(const char* name, const char* value);  // for the session (null unsets)
  const std::string& Dir() const { return dir_; }
  std::vector<TraceCall> Trace() const;
  std::vector<TraceCall> Calls(const std::string& fn) const;  // only that function
  void ClearTrace() { std::ofstream(tracePath_, std::ios::binary | std::ios::trunc).flush(); }

 private:
  std::string dir_, tracePath_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;  // first value each
  SimLibrary library_;
};

}  // namespace brelon::test
