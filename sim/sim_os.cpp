// Windows and POSIX implementations of the simulator's OS services (lock, environment, files,
// clock, raised exception). Kept apart so the simulation itself is free of #ifdefs.
#include "sim_os.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "zepa/zepasim.h"

namespace zepasim {

#ifdef _WIN32
SimLock::SimLock() {
  InitializeCriticalSection(&section_);
}
SimLock::~SimLock() {
  DeleteCriticalSection(&section_);
}
void SimLock::lock() {
  EnterCriticalSection(&section_);
}
void SimLock::unlock() {
  LeaveCriticalSection(&section_);
}
#else
SimLock::SimLock() = default;
SimLock::~SimLock() = default;
void SimLock::lock() {
  mutex_.lock();
}
void SimLock::unlock() {
  mutex_.unlock();
}
#endif

namespace {
// Constructed when the library is loaded, before any entry point can run.
SimLock g_lock;
}  // namespace

SimLock& GlobalLock() {
  return g_lock;
}

#ifdef _WIN32
OsString GetEnvironment(const char* name) {
  std::wstring wideName(name, name + strlen(name));
  DWORD needed = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (needed == 0) return {};
  std::wstring value(needed, L'\0');
  DWORD got = GetEnvironmentVariableW(wideName.c_str(), value.data(), needed);
  value.resize(got < needed ? got : 0);
  return value;
}

std::string OsToUtf8(const OsString& text) {
  if (text.empty()) return {};
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                  0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes,
                      nullptr, nullptr);
  return out;
}

FILE* OpenFile(const OsString& path, const char* mode) {
  std::wstring wideMode(mode, mode + strlen(mode));
  return _wfopen(path.c_str(), wideMode.c_str());
}
#else
OsString GetEnvironment(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

std::string OsToUtf8(const OsString& text) {
  return text;
}

FILE* OpenFile(const OsString& path, const char* mode) {
  return fopen(path.c_str(), mode);
}
#endif

bool ReadWholeFile(const OsString& path, std::string& out) {
  FILE* file = OpenFile(path, "rb");
  if (!file) return false;
  out.clear();
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) out.append(chunk, got);
  bool ok = !ferror(file);
  fclose(file);
  return ok;
}

void AppendLine(const OsString& path, const std::string& line) {
  FILE* file = OpenFile(path, "ab");
  if (!file) return;
  fwrite(line.data(), 1, line.size(), file);
  fputc('\n', file);
  fclose(file);
}

int64_t MonotonicMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void RaiseSdkException(const char* function) {
#ifdef _WIN32
  (void)function;
  RaiseException(ZEPASIM_SEH_CPP_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  // A non-continuable exception does not come back; should a debugger resume it anyway,
  // stop rather than return into a caller that was promised an exception.
  abort();
#else
  throw std::runtime_error(std::string(function) + ": simulated SDK exception");
#endif
}

}  // namespace zepasim
