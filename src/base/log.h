// The diagnostic log: one record per call, to the debugger output and, once Init has run, to
// the fixed log file. Callers pass their own source path, function name and line.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace brelon {

// The source path every part of the plug-in reports, and the one the SDK call wrapper reports.
inline constexpr const char kCoreSource[] = "..\\Source\\Brelon.cpp";
inline constexpr const char kWrapperSource[] = "..\\Source\\OBJ_Brelon_ZEPKAPI.cpp";

// Writes one record. Any thread may call it, before or after Init. All arguments are read-only
// and owned by the caller; null texts are written as empty. A formatted message longer than
// kLogMessageBytes - 1 characters is cut at that length.
void WriteLog(const char* sourceFile, const char* functionName, int line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// Called by Init (host thread, not concurrently with other exports): makes sure LogLock exists
// and sets the log file path, after which records also go to the file. LogLock is created by
// the first call and reused by every later one rather than created anew per Init: a record
// being written on another thread while Init runs again keeps the lock it entered, and no lock
// is lost per Init. It is never destroyed, because a thread may still log while the library
// unloads.
void InitLog();

// The pieces of one record, split out so that their exact bytes can be checked.
namespace logfmt {

constexpr size_t kStampBytes = 32;
constexpr size_t kLocationTextBytes = 256;
constexpr size_t kLocationBlockBytes = 1024;
constexpr size_t kMessageBytes = 10240;
constexpr size_t kMaxFunctionChars = 40;
constexpr size_t kFunctionNameBytes = kMaxFunctionChars + 1;

// The part of `path` after its last backslash, else after its last slash, else all of it.
// Returns a pointer into `path` (null gives "").
const char* BaseName(const char* path);
// The function name as the record shows it: after the last "::" when it holds two or more,
// then cut to "..." plus its last 37 characters when longer than 40. `out` is written.
void ShortFunctionName(const char* name, char (&out)[kFunctionNameBytes]);
// "MM/DD hh:mm:ss.mmm " into `out`.
void FormatStamp(const plat::LocalTime& time, char (&out)[kStampBytes]);
// "|<80 columns of file, line and function>|0x<thread id>|" into `out`.
void FormatLocationBlock(const char* sourceFile, int line, const char* functionName,
                         uint32_t threadId, char (&out)[kLocationBlockBytes]);
// The message, cut to kMessageBytes - 1 characters; empty when `format` is null or invalid.
void FormatLogMessage(char (&out)[kMessageBytes], const char* format, va_list args);

}  // namespace logfmt

}  // namespace brelon
