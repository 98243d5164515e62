// Operating-system services the simulator needs: its one global lock, environment variables,
// files named by native paths, the monotonic clock and the exception an SDK built with MSVC
// raises. The simulator stands in for a vendor DLL, so it does not use the plug-in's platform
// layer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace zepasim {

// Native path text: UTF-16 on Windows, bytes elsewhere.
#ifdef _WIN32
using OsString = std::wstring;
#else
using OsString = std::string;
#endif

class SimLock {
 public:
  SimLock();
  ~SimLock();
  SimLock(const SimLock&) = delete;
  SimLock& operator=(const SimLock&) = delete;
  void lock();
  void unlock();

 private:
#ifdef _WIN32
  CRITICAL_SECTION section_;
#else
  std::mutex mutex_;
#endif
};

// Guards every piece of simulation state; taken by each SDK entry point and each control call.
SimLock& GlobalLock();

OsString GetEnvironment(const char* name);  // empty when unset
std::string OsToUtf8(const OsString& text);
FILE* OpenFile(const OsString& path, const char* mode);
bool ReadWholeFile(const OsString& path, std::string& out);
// Appends one line and closes the file again, so the text is on disk even if the process dies.
void AppendLine(const OsString& path, const std::string& line);

int64_t MonotonicMicros();

// Leaves the entry point with an exception the caller did not ask for: a C++ exception on
// POSIX, the SEH code of an MSVC C++ throw on Windows.
[[noreturn]] void RaiseSdkException(const char* function);

}  // namespace zepasim
