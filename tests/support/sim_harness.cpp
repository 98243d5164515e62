// Simulator harness: library paths beside the test executable, loading by path, the session's
// environment, and a small reader for the JSONL trace lines the simulator writes.
#include "support/sim_harness.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_env.h"
#include "zepa/zepasim.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace brelon::test {
namespace {

#ifdef _WIN32
constexpr char kLibraryName[] = "ZEPA.DLL";
#else
constexpr char kLibraryName[] = "libzepa.so";
#endif
constexpr int kLibraryMissing = -1000;  // Control() result when the library cannot be loaded

std::filesystem::path ExecutableDir() {
#ifdef _WIN32
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, n)).parent_path();
#else
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::filesystem::current_path();
  return std::filesystem::path(std::string(path, static_cast<size_t>(n))).parent_path();
#endif
}

// Reader for the one-line JSON objects of the trace: strings, integers, booleans, null and
// arrays of those. Anything else marks the line as unreadable.
class LineReader {
 public:
  explicit LineReader(const std::string& text) : s_(text) {}

  bool ReadCall(TraceCall& call) {
    if (!Expect('{')) return false;
    bool first = true;
    while (!Peek('}')) {
      if (!first && !Expect(',')) return false;
      first = false;
      std::string key;
      if (!String(key) || !Expect(':')) return false;
      if (key == "fn") {
        if (!String(call.fn)) return false;
      } else if (key == "args") {
        if (!Args(call.args)) return false;
      } else if (key == "ret") {
        if (!Integer(call.ret)) return false;
      } else if (key == "throw") {
        if (!Bool(call.threw)) return false;
      } else {
        return false;
      }
    }
    return Expect('}');
  }

 private:
  void Skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  bool Peek(char c) {
    Skip();
    return i_ < s_.size() && s_[i_] == c;
  }
  bool Expect(char c) {
    if (!Peek(c)) return false;
    ++i_;
    return true;
  }
  bool Integer(int64_t& out) {
    Skip();
    size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    if (i_ == start) return false;
    out = std::strtoll(s_.substr(start, i_ - start).c_str(), nullptr, 10);
    return true;
  }
  bool Bool(bool& out) {
    Skip();
    if (s_.compare(i_, 4, "true") == 0) {
      i_ += 4;
      out = true;
      return true;
    }
    if (s_.compare(i_, 5, "false") == 0) {
      i_ += 5;
      out = false;
      return true;
    }
    return false;
  }
  void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(uint32_t& out) {
    if (i_ + 4 > s_.size()) return false;
    out = static_cast<uint32_t>(std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16));
    i_ += 4;
    return true;
  }
  bool String(std::string& out) {
    if (!Expect('"')) return false;
    out.clear();
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(i_, 2, "\\u") == 0) {
            i_ += 2;
            uint32_t low;
            if (!Hex4(low)) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          out += e;
          break;
      }
    }
    return Expect('"');
  }
  bool Args(std::vector<std::variant<int64_t, std::string>>& out) {
    if (!Expect('[')) return false;
    bool first = true;
    while (!Peek(']')) {
      if (!first && !Expect(',')) return false;
      first = false;
      if (Peek('"')) {
        std::string text;
        if (!String(text)) return false;
        out.emplace_back(text);
      } else {
        int64_t n;
        if (!Integer(n)) return false;
        out.emplace_back(n);
      }
    }
    return Expect(']');
  }

  const std::string& s_;
  size_t i_ = 0;
};

}  // namespace

std::string SimLibraryPath() {
  return (ExecutableDir() / kLibraryName).string();
}

std::string SimVariantPath(const std::string& name) {
  return (ExecutableDir() / "variants" / name / kLibraryName).string();
}

SimLibrary::SimLibrary(const std::string& path) {
#ifdef _WIN32
  handle_ = LoadLibraryW(std::filesystem::path(path).wstring().c_str());
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW);
#endif
}

SimLibrary::~SimLibrary() {
  if (!handle_) return;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

void* SimLibrary::Symbol(const char* name) const {
  if (!handle_) return nullptr;
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
  return dlsym(handle_, name);
#endif
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
    if (!LineReader(line).ReadCall(call)) call.fn = "<unreadable trace line> " + line;
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
