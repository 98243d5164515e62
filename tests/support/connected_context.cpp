// ConnectedContext: Init against the simulator, the wait for the session thread's connection
// event, the per-run log file, the event record, and the host's transfer pairs.
#include "support/connected_context.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_env.h"

namespace brelon::test {

constexpr uint32_t kSizeUntouched = 0xFFFFFFFFu;
constexpr size_t kNameUnits = 261;  // the host's name buffers

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
  createdLogDir_ =
      std::filesystem::create_directories(std::filesystem::path(logPath_).parent_path(), ignored);
  initResult_ = Init(&handle_, &ConnectedContext::OnEvent, this);
  if (initResult_ == BRELON_OK && timeoutMs != kNoWait) {
    connected_ = WaitEvent(BRELON_EV_CONNECTED, 1, timeoutMs);
  }
}

ConnectedContext::~ConnectedContext() {
  Exit(&handle_);
  std::error_code ignored;
  std::filesystem::remove(logPath_, ignored);
  if (createdLogDir_)
    std::filesystem::remove(std::filesystem::path(logPath_).parent_path(), ignored);
  plat::LockDestroy(lock_);
}

int32_t ConnectedContext::Reinit() {
  return initResult_ = Init(&handle_, &ConnectedContext::OnEvent, this);
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

std::string ConnectedContext::LogText() const {
  std::stringstream all;
  all << std::ifstream(logPath_, std::ios::binary).rdbuf();
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

bool ConnectedContext::WaitEvent(int32_t code, int times, uint32_t realMs) const {
  return Eventually([&] { return Count(code) >= times; }, realMs);
}

size_t ConnectedContext::TraceAtConnect() const {
  plat::LockGuard guard(lock_);
  return traceAtConnect_;
}

int ConnectedContext::Pending() {
  return Control(R"({"cmd":"pending","camera":0})");
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
