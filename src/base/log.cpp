// WriteLog and its record format: time stamp, fixed-width location block, thread id and
// message, sent to the debugger output and appended to the log file once Init has set its path.
#include "base/log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace brelon {
namespace {

// Both are published once and then only read, so a record on another thread sees either the
// old value or the new one, never a torn one.
std::atomic<plat::Lock*> g_logLock{nullptr};
std::atomic<const char*> g_logFilePath{nullptr};

constexpr char kKeepTail[] = "...";
constexpr size_t kKeptTailChars = logfmt::kMaxFunctionChars - (sizeof(kKeepTail) - 1);

}  // namespace

namespace logfmt {

const char* BaseName(const char* path) {
  if (!path) return "";
  if (const char* back = std::strrchr(path, '\\')) return back + 1;
  if (const char* slash = std::strrchr(path, '/')) return slash + 1;
  return path;
}

void ShortFunctionName(const char* name, char (&out)[kFunctionNameBytes]) {
  if (!name) name = "";
  const char* first = std::strstr(name, "::");
  if (first && std::strstr(first + 2, "::")) {
    const char* last = first;
    for (const char* p = first; (p = std::strstr(p + 2, "::")) != nullptr;) last = p;
    name = last + 2;
  }
  size_t length = std::strlen(name);
  if (length > kMaxFunctionChars) {
    std::snprintf(out, sizeof(out), "%s%s", kKeepTail, name + length - kKeptTailChars);
  } else {
    std::snprintf(out, sizeof(out), "%s", name);
  }
}

void FormatStamp(const plat::LocalTime& time, char (&out)[kStampBytes]) {
  std::snprintf(out, sizeof(out), "%02d/%02d %02d:%02d:%02d.%03d ", time.month, time.day, time.hour,
                time.minute, time.second, time.millisecond);
}

void FormatLocationBlock(const char* sourceFile, int line, const char* functionName,
                         uint32_t threadId, char (&out)[kLocationBlockBytes]) {
  char function[kFunctionNameBytes];
  ShortFunctionName(functionName, function);
  char location[kLocationTextBytes];
  std::snprintf(location, sizeof(location), "%.30s %4d - %s()", BaseName(sourceFile), line,
                function);
  std::snprintf(out, sizeof(out), "|%-80.80s|0x%04x|", location, static_cast<unsigned>(threadId));
}

void FormatLogMessage(char (&out)[kMessageBytes], const char* format, va_list args) {
  out[0] = '\0';
  if (!format) return;
  // vsnprintf stops at the buffer's end and terminates, which is what cuts a long message.
  if (std::vsnprintf(out, sizeof(out), format, args) < 0) out[0] = '\0';
}

}  // namespace logfmt

void InitLog() {
  if (!g_logLock.load()) {
    plat::Lock* lock = plat::LockCreate();
    plat::Lock* expected = nullptr;
    if (lock && !g_logLock.compare_exchange_strong(expected, lock)) plat::LockDestroy(lock);
  }
  g_logFilePath.store(plat::LogFilePath());
}

void WriteLog(const char* sourceFile, const char* functionName, int line, const char* format, ...) {
  // Formatted before the lock, so a slow argument never holds up other threads' records.
  char message[logfmt::kMessageBytes];
  va_list args;
  va_start(args, format);
  logfmt::FormatLogMessage(message, format, args);
  va_end(args);

  plat::LockGuard guard(g_logLock.load());
  char stamp[logfmt::kStampBytes];
  logfmt::FormatStamp(plat::NowLocal(), stamp);
  char block[logfmt::kLocationBlockBytes];
  logfmt::FormatLocationBlock(sourceFile, line, functionName, plat::CurrentThreadId(), block);

  const char* const pieces[] = {stamp, block, message, "\n"};
  for (const char* piece : pieces) plat::DebugOutput(piece);
  const char* path = g_logFilePath.load();
  if (path && *path) plat::FileAppendText(path, pieces, std::size(pieces));
}

}  // namespace brelon
