// A child process for tests that run a program of the build: started with extra environment
// entries, its stdout and stderr captured into one file, interruptible as by Ctrl-C.
// One backend per platform: child_process_posix.cpp and child_process_win32.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

constexpr int kChildAbnormalExit = -1;  // ended by a signal, or not waited for

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();  // kills a child still running, so that a failed test leaves none behind

  // `env` holds NAME=VALUE entries added to (or replacing in) the inherited environment. The
  // output goes to a file, on which a chatty child cannot block as on a pipe.
  bool Start(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, const std::filesystem::path& outputFile);
  bool Interrupt();  // SIGINT; on Windows CTRL_BREAK_EVENT to the child's own process group
  int Wait();        // the exit code, or kChildAbnormalExit

 private:
  intptr_t process_ = 0;  // pid, or the process HANDLE
  uint32_t id_ = 0;       // Windows: the group id for the interrupt
  bool running_ = false;
};

std::filesystem::path CurrentExecutableDir();
void SleepRealMs(int milliseconds);  // the child runs on the real clock, whatever the time scale

}  // namespace testsupport
