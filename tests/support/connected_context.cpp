// The simulator session (library paths beside the test executable, its environment, the JSONL
// trace) and ConnectedContext on it: Init, the wait for the session thread's connection event,
// the per-run log file, the event record, and the host's transfer pairs.
#include "support/connected_context.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/child_process.h"
#include "support/test_env.h"
#include "zepa/zepasim.h"

namespace brelon::test {
namespace {

namespace fs = std::filesystem;

constexpr int kLibraryMissing = -1000;  // Control() result when the library cannot be loaded
constexpr uint32_t kSizeUntouched = 0xFFFFFFFFu;
constexpr size_t kNameUnits = 261;  // the host's name buffers

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
  return (testsupport::CurrentExecutableDir() / plat::SdkLibraryFileName()).string();
}

std::string SimVariantPath(const std::string& name) {
  return (testsupport::CurrentExecutableDir() / "variants" / name / plat::SdkLibraryFileName())
      .string();
}

SimLibrary::SimLibrary(const std::string& path)
    : handle_(plat::LibraryLoad(fs::path(path).u16string().c_str())) {}

SimSession::SimSession(const std::string& configJson)
    : dir_(TempDir("sim")),
      tracePath_((fs::path(dir_) / "trace.jsonl").string()),
      library_(SimLibraryPath()) {
  const std::string configPath = (fs::path(dir_) / "config.json").string();
  if (!configJson.empty()) std::ofstream(configPath, std::ios::binary) << configJson;
  SetVariable("ZEPA_SIM_CONFIG", configJson.empty() ? nullptr : configPath.c_str());
  ClearTrace();
  SetVariable("ZEPA_SIM_TRACE", tracePath_.c_str());
#ifndef _WIN32
  SetVariable("BRELON_ZEPA_PATH", SimLibraryPath().c_str());
  // Not behind the machine-wide session lock of a test process running in parallel; tests
  // that share one lock on purpose set it themselves.
  if (std::getenv("BRELON_LOCK_DIR") == nullptr) SetVariable("BRELON_LOCK_DIR", dir_.c_str());
#endif
}

SimSession::~SimSession() {
  // Backwards, so that a variable set twice gets its first value back.
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    SetEnv(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
  }
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void SimSession::SetVariable(const char* name, const char* value) {
  const char* old = std::getenv(name);
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  SetEnv(name, value);
}

int SimSession::Control(const std::string& json) {
  auto control = reinterpret_cast<ZEPASIM_ControlFn>(library_.Symbol("ZEPASIM_Control"));
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
  std::vector<TraceCall> selected = Trace();
  std::erase_if(selected, [&](const TraceCall& call) { return call.fn != fn; });
  return selected;
}

int64_t RealNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void RealSleepMs(uint32_t ms) {
  plat::SleepMs(static_cast<uint32_t>(
      std::min<uint64_t>(uint64_t{ms} * plat::TimeScale(), plat::kInfinite - 1)));
}

std::u16string ExpectedName(int frame, bool raw) {
  char text[32];
  std::snprintf(text, sizeof(text), raw ? "%08d.QRW" : "%08d.JPG", frame);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

ConnectedContext::ConnectedContext(const std::string& configJson, uint32_t timeoutMs, bool traced)
    : sim_(configJson), lock_(plat::LockCreate()) {
  if (!traced) sim_.SetVariable("ZEPA_SIM_TRACE", nullptr);
  // POSIX follows BRELON_LOG_DIR; Windows keeps its fixed folder, made here if it is missing.
  sim_.SetVariable("BRELON_LOG_DIR", sim_.Dir().c_str());
  logPath_ = plat::LogFilePath();
  std::error_code ignored;
  createdLogDir_ = fs::create_directories(fs::path(logPath_).parent_path(), ignored);
  initResult_ = Init(&handle_, &ConnectedContext::OnEvent, this);
  if (initResult_ == BRELON_OK && timeoutMs != kNoWait) {
    connected_ = WaitEvent(BRELON_EV_CONNECTED, 1, timeoutMs);
  }
}

ConnectedContext::~ConnectedContext() {
  Exit(&handle_);
  std::error_code ignored;
  fs::remove(logPath_, ignored);
  if (createdLogDir_) fs::remove(fs::path(logPath_).parent_path(), ignored);
  plat::LockDestroy(lock_);
}

int32_t BRELON_CDECL ConnectedContext::OnEvent(int32_t camera, int32_t event, void* self) {
  auto* me = static_cast<ConnectedContext*>(self);
  // The trace is read outside the lock: the simulator may be writing it.
  const bool first = event == BRELON_EV_CONNECTED && me->Count(event) == 0;
  const size_t lines = first ? me->sim_.Trace().size() : 0;
  plat::LockGuard guard(me->lock_);
  if (first) me->traceAtConnect_ = lines;
  me->events_.push_back({camera, event});
  return 0;
}

std::vector<std::string> ConnectedContext::LogLines(const std::string& text) const {
  std::vector<std::string> lines;
  std::ifstream in(logPath_, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::vector<HostEvent> ConnectedContext::HostEvents() const {
  plat::LockGuard guard(lock_);
  return events_;
}

std::vector<int32_t> ConnectedContext::Events() const {
  std::vector<int32_t> codes;
  for (const HostEvent& e : HostEvents()) codes.push_back(e.code);
  return codes;
}

int ConnectedContext::Count(int32_t code) const {
  const std::vector<int32_t> codes = Events();
  return static_cast<int>(std::count(codes.begin(), codes.end(), code));
}

size_t ConnectedContext::TraceAtConnect() const {
  plat::LockGuard guard(lock_);
  return traceAtConnect_;
}

bool ConnectedContext::ShotsReady() {
  return Eventually(
      [&] { return Control(R"({"cmd":"stats","camera":0,"what":"queued"})") == Pending(); });
}

void ConnectedContext::SetFrame(int frame) {
  Control(R"({"cmd":"set","camera":0,"key":"frame_number","value":)" + std::to_string(frame) + "}");
}

void ConnectedContext::FetchOne(TransferLog& log) {
  uint32_t size = kSizeUntouched;
  uint8_t isRaw = 0;
  int32_t variant = 0;
  const int32_t query =
      ReadImage(&handle_, nullptr, &size, &isRaw, &variant, nullptr, nullptr, nullptr);
  log.results.push_back(query);
  if (query != BRELON_OK || size == kSizeUntouched || size == 0) return;
  std::vector<uint8_t> buffer(size);
  char16_t names[3][kNameUnits] = {};
  const int32_t read =
      ReadImage(&handle_, buffer.data(), &size, &isRaw, &variant, names[0], names[1], names[2]);
  log.results.push_back(read);
  if (read == BRELON_OK && names[0][0] != 0) log.names.emplace_back(names[0]);
}

TransferLog ConnectedContext::FetchPending(int maxPairs) {
  TransferLog log;
  for (int i = 0; i < maxPairs && Pending() > 0; ++i) FetchOne(log);
  return log;
}

}  // namespace brelon::test
