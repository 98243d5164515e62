// The diagnostic log: one record per call, to the debugger output and, once Init has run, to
// the fixed log file. Callers pass their own source path, function name and line.
#pragma once

#include <cstdarg>

namespace brelon {

// The source path the plug-in core reports, and the one the SDK call wrapper reports.
inline constexpr const char kCoreSource[] = "..\\Source\\Brelon.cpp";
inline constexpr const char kWrapperSource[] = "..\\Source\\OBJ_Brelon_ZEPKAPI.cpp";

void WriteLog(const char* sourceFile, const char* functionName, int line, const char* format,
              ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// Called by Init: creates a new LogLock and sets the log file path.
void InitLog();

}  // namespace brelon
