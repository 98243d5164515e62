// brelon-tether: the operating-system services of system.h, through the Win32 API (CreateProcessW
// for hooks) or POSIX (posix_spawn of the shell).
#include "system.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;
#endif

namespace tether {

#ifdef _WIN32

namespace {

constexpr int kStderrFd = 2;

// Command lines and paths come from the ANSI command line and file system calls.
std::wstring Wide(const std::string& text) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(units > 0 ? static_cast<size_t>(units) : 1, L'\0');
  if (units > 0) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), units);
  return wide;
}

// An inheritable copy of a standard handle (null when there is none), closed on the way out.
struct InheritableHandle {
  explicit InheritableHandle(DWORD which) {
    const HANDLE h = GetStdHandle(which);
    if (h && h != INVALID_HANDLE_VALUE)
      DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &handle, 0, TRUE,
                      DUPLICATE_SAME_ACCESS);
  }
  ~InheritableHandle() {
    if (handle) CloseHandle(handle);
  }
  HANDLE handle = nullptr;
};

}  // namespace

bool StderrIsTerminal() {
  return _isatty(kStderrFd) != 0;
}

void SetEnvironment(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());
}

bool RunHook(const std::string& command, const std::string& file, std::string* failure) {
  std::fflush(nullptr);
  std::wstring line = Wide(command + " \"" + file + "\"");
  InheritableHandle in(STD_INPUT_HANDLE), err(STD_ERROR_HANDLE);
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in.handle;
  si.hStdOutput = err.handle;
  si.hStdError = err.handle;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                      &pi)) {
    *failure = "cannot start it (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (code == 0) return true;
  *failure = "exit status " + std::to_string(code);
  return false;
}

#else

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

void SetEnvironment(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}

bool RunHook(const std::string& command, const std::string& file, std::string* failure) {
  std::fflush(nullptr);
  // The file is passed as a positional parameter, never pasted into the script, so no name
  // can change what the shell runs.
  std::string script = command + " \"$1\"";
  std::string shell = "/bin/sh", flag = "-c", name = "brelon-tether-hook", path = file;
  std::vector<char*> argv = {shell.data(), flag.data(), script.data(),
                             name.data(),  path.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, shell.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    *failure = std::string("cannot start it (") + std::strerror(spawned) + ")";
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      *failure = std::string("cannot wait for it (") + std::strerror(errno) + ")";
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  *failure = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                               : "signal " + std::to_string(WTERMSIG(status));
  return false;
}

#endif

}  // namespace tether
