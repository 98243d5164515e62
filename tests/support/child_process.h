// A child process for tests that run a program of the build: extra environment entries, stdout
// and stderr in one file, interruptible as by Ctrl-C. Backends: child_process_{posix,win32}.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace testsupport {

constexpr int kChildAbnormalExit = -1;  // ended by a signal, or not waited for

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();  // kills a child still running

  // `env`: NAME=VALUE entries replacing inherited ones. Output to a file, on which no child blocks.
  bool Start(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, const std::filesystem::path& outputFile);
  bool Interrupt();  // SIGINT; on Windows CTRL_BREAK_EVENT to the child's own process group
  int Wait();        // the exit code, or kChildAbnormalExit

 private:
  bool Spawn(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& outputFile);  // with this process's environment
  intptr_t process_ = 0;                                // pid, or the process HANDLE
  bool running_ = false;
};

std::filesystem::path CurrentExecutableDir();
void SleepRealMs(int milliseconds);  // the child runs on the real clock, whatever the time scale

}  // namespace testsupport
