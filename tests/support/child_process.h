// A child process for tests that run a program of the build: started with extra environment
// entries, its stdout and stderr captured into one file, interruptible as by Ctrl-C.
// One backend per platform: child_process_posix.cpp and child_process_win32.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// Exit code that stands for "ended by a signal" or "could not be waited for".
constexpr int kChildAbnormalExit = -1;

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // A child still running here is killed, so a failed test never leaves one behind.
  ~ChildProcess();

  // Starts `program` with `args`. `env` holds NAME=VALUE entries added to (or replacing in)
  // the inherited environment. Output goes to `outputFile`, which is truncated first; the
  // file rather than a pipe keeps a chatty child from blocking while the test only polls.
  bool Start(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, const std::filesystem::path& outputFile);

  // Sends the console interrupt (SIGINT; on Windows CTRL_BREAK_EVENT to the child's own
  // process group). False when it could not be delivered.
  bool Interrupt();

  // Waits for the end and returns the exit code, or kChildAbnormalExit.
  int Wait();

 private:
  intptr_t process_ = 0;  // pid, or the process HANDLE
  uint32_t id_ = 0;       // process id (Windows: the group id for the interrupt)
  bool running_ = false;
};

// The folder of the running executable.
std::filesystem::path CurrentExecutableDir();

// Sleeps the calling thread for real time: the child runs on the real clock.
void SleepRealMs(int milliseconds);

}  // namespace testsupport
