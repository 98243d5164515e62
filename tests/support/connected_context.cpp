// The portable test support: scratch folders, the simulator session (library paths, environment,
// JSONL trace), ConnectedContext on it, and the environment a child starts with.
#include "support/connected_context.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <random>

#include "support/child_process.h"
#include "zepa/zepasim.h"

namespace brelon::test {
namespace {

namespace fs = std::filesystem;
using SavedVariables = std::vector<std::pair<std::string, std::optional<std::string>>>;

constexpr int kLibraryMissing = -1000;  // Control() result when the library cannot be loaded
constexpr uint32_t kSizeUntouched = 0xFFFFFFFFu;
constexpr size_t kNameUnits = 261;  // the host's name buffers

void RemoveQuietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

void SaveAndSet(SavedVariables& saved, const char* name, const char* value) {
  const char* old = std::getenv(name);
  saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  SetEnv(name, value);
}
void Restore(const SavedVariables& saved) {  // backwards: a variable set twice gets its first value
  for (auto it = saved.rbegin(); it != saved.rend(); ++it)
    SetEnv(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
}

TraceCall ReadCall(const std::string& line) {
  try {
    const nlohmann::json json = nlohmann::json::parse(line);
    TraceCall call{json.at("fn"), {}, json.value("ret", int64_t{0}), json.value("throw", false)};
    for (const nlohmann::json& arg : json.value("args", nlohmann::json::array()))
      arg.is_string() ? call.args.emplace_back(arg.get<std::string>())
                      : call.args.emplace_back(arg.get<int64_t>());
    return call;
  } catch (const nlohmann::json::exception&) {
    return {"<unreadable> " + line, {}};
  }
}

}  // namespace

std::string TempDir(const std::string& tag) {
  static const struct Root {  // one per process (ctest runs them side by side), gone at its exit
    fs::path path =
        fs::temp_directory_path() / ("brelon-" + std::to_string(std::random_device{}()));
    ~Root() { RemoveQuietly(path); }
  } root;
  static std::atomic<int> counter{0};
  const fs::path dir = root.path / (tag + "-" + std::to_string(counter++));
  fs::create_directories(dir);
  // Private whatever the umask: the plug-in writes its log only into such a folder.
  fs::permissions(dir, fs::perms::owner_all);
  return dir.string();
}

std::string SimLibraryPath() {
  return (testsupport::CurrentExecutableDir() / plat::SdkLibraryFileName()).string();
}

SimLibrary::SimLibrary(const std::string& path)
    : handle_(plat::LibraryLoad(fs::path(path).u16string().c_str())) {}

SimSession::SimSession(const std::string& configJson)
    : dir_(TempDir("sim")), tracePath_(dir_ + "/trace.jsonl"), library_(SimLibraryPath()) {
  const std::string configPath = dir_ + "/config.json";
  if (!configJson.empty()) std::ofstream(configPath, std::ios::binary) << configJson;
  SetVariable("ZEPA_SIM_CONFIG", configJson.empty() ? nullptr : configPath.c_str());
  ClearTrace();
  SetVariable("ZEPA_SIM_TRACE", tracePath_.c_str());
#ifndef _WIN32
  SetVariable("BRELON_ZEPA_PATH", SimLibraryPath().c_str());
  // Not behind the machine-wide lock of a test process running in parallel.
  if (std::getenv("BRELON_LOCK_DIR") == nullptr) SetVariable("BRELON_LOCK_DIR", dir_.c_str());
#endif
}

SimSession::~SimSession() {
  Restore(saved_);
  RemoveQuietly(dir_);
}

void SimSession::SetVariable(const char* name, const char* value) {
  SaveAndSet(saved_, name, value);
}

int SimSession::Control(const std::string& json) {
  auto control = reinterpret_cast<ZEPASIM_ControlFn>(library_.Symbol("ZEPASIM_Control"));
  return control ? control(json.c_str()) : kLibraryMissing;
}

std::vector<TraceCall> SimSession::Trace() const {
  std::vector<TraceCall> calls;
  std::ifstream in(tracePath_, std::ios::binary);
  // Only whole lines: the simulator may be appending one while another thread reads.
  for (std::string line; std::getline(in, line) && !in.eof();)
    if (!line.empty()) calls.push_back(ReadCall(line));
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
  const int n = std::snprintf(text, sizeof(text), raw ? "%08d.QRW" : "%08d.JPG", frame);
  return std::u16string(text, text + n);
}

ConnectedContext::ConnectedContext(const std::string& configJson, uint32_t timeoutMs, bool traced)
    : sim_(configJson), lock_(plat::LockCreate()) {
  if (!traced) sim_.SetVariable("ZEPA_SIM_TRACE", nullptr);
  // POSIX follows BRELON_LOG_DIR; Windows keeps its fixed folder, made here if it is missing.
  sim_.SetVariable("BRELON_LOG_DIR", sim_.Dir().c_str());
  logPath_ = plat::LogFilePath();
  std::error_code ignored;
  fs::create_directories(fs::path(logPath_).parent_path(), ignored);
  initResult_ = Init(&handle_, &ConnectedContext::OnEvent, this);
  if (initResult_ == BRELON_OK && timeoutMs != kNoWait)
    connected_ = WaitEvent(BRELON_EV_CONNECTED, 1, timeoutMs);
}

ConnectedContext::~ConnectedContext() {
  Exit(&handle_);
  RemoveQuietly(logPath_);
  plat::LockDestroy(lock_);
}

int32_t BRELON_CDECL ConnectedContext::OnEvent(int32_t camera, int32_t event, void* self) {
  auto* me = static_cast<ConnectedContext*>(self);
  // The trace is read outside the lock: the simulator may be writing it.
  const bool first = event == BRELON_EV_CONNECTED && me->Count(event) == 0;
  const size_t lines = first ? me->sim_.Trace().size() : 0;
  if (first) me->traceAtConnect_ = lines;
  plat::LockGuard guard(me->lock_);
  me->events_.push_back({camera, event});
  return 0;
}

std::vector<std::string> ConnectedContext::LogLines(const std::string& text) const {
  std::vector<std::string> lines;
  std::ifstream in(logPath_, std::ios::binary);
  for (std::string line; std::getline(in, line);)
    if (line.find(text) != std::string::npos) lines.push_back(line);
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

void ConnectedContext::FetchOne(TransferLog& log) {
  uint32_t size = kSizeUntouched;
  uint8_t isRaw = 0;
  int32_t variant = 0;
  log.results.push_back(
      ReadImage(&handle_, nullptr, &size, &isRaw, &variant, nullptr, nullptr, nullptr));
  if (log.results.back() != BRELON_OK || size == kSizeUntouched || size == 0) return;
  std::vector<uint8_t> buffer(size);
  char16_t names[3][kNameUnits] = {};
  log.results.push_back(
      ReadImage(&handle_, buffer.data(), &size, &isRaw, &variant, names[0], names[1], names[2]));
  if (log.results.back() == BRELON_OK && names[0][0] != 0) log.names.emplace_back(names[0]);
}

TransferLog ConnectedContext::FetchPending(int maxPairs) {
  TransferLog log;
  for (int i = 0; i < maxPairs && Pending() > 0; ++i) FetchOne(log);
  return log;
}

}  // namespace brelon::test

namespace testsupport {

std::filesystem::path CurrentExecutableDir() {
  char16_t path[4096];
  if (!plat::ExecutablePath(path, std::size(path))) return std::filesystem::current_path();
  return std::filesystem::path(std::u16string(path)).parent_path();
}

void SleepRealMs(int milliseconds) {
  brelon::test::RealSleepMs(static_cast<uint32_t>(milliseconds));
}

// The child inherits `env`, set here for the moment of its start.
bool ChildProcess::Start(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env,
                         const std::filesystem::path& outputFile) {
  if (running_) return false;
  brelon::test::SavedVariables saved;
  for (const std::string& entry : env) {
    const std::string name = entry.substr(0, entry.find('='));
    brelon::test::SaveAndSet(saved, name.c_str(),
                             entry.c_str() + std::min(entry.size(), name.size() + 1));
  }
  running_ = Spawn(program, args, outputFile);
  brelon::test::Restore(saved);
  return running_;
}

}  // namespace testsupport
