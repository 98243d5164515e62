// brelon-tether: the few operating-system services the command line needs beyond the standard
// library (terminal test, environment, running a hook program), one backend per system.
#pragma once

#include <string>

namespace tether {

// True when standard error is a terminal, where progress is drawn instead of listed.
bool StderrIsTerminal();

// Sets an environment variable for this process and the libraries it loads.
void SetEnvironment(const char* name, const std::string& value);

// Runs `command` with `file` appended as its last argument and waits for it: through the shell
// on POSIX, as a command line on Windows. Its standard output goes to standard error, so that
// this program's own output stays as documented. True when it exited with 0; otherwise
// `failure` says how it ended ("exit status N", "signal N" or why it could not start).
bool RunHook(const std::string& command, const std::string& file, std::string* failure);

}  // namespace tether
