// POSIX backend of the test-side child process: fork and execve, output to a file via dup2,
// SIGINT for the interrupt, waitpid for the exit code.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/child_process.h"

extern char** environ;

namespace testsupport {
namespace {

constexpr int kExecFailedCode = 127;  // what a shell reports for a program it could not run
constexpr mode_t kOutputMode = 0644;
constexpr long kNanosPerMilli = 1000000;
constexpr int kMillisPerSecond = 1000;

// The inherited environment with `extra` entries replacing same-named ones.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || x.compare(0, name.size(), name) == 0;
    if (!replaced) merged.push_back(entry);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (running_) {
    kill(static_cast<pid_t>(process_), SIGKILL);
    Wait();
  }
}

bool ChildProcess::Start(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env,
                         const std::filesystem::path& outputFile) {
  if (running_) return false;
  // Everything the child needs is built before fork: only async-signal-safe calls after it.
  std::vector<std::string> envStrings = MergedEnvironment(env);
  std::vector<char*> envp, argv;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string path = program.string();
  std::vector<std::string> argStrings = args;
  argv.push_back(path.data());
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kOutputMode);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || in < 0) {
    if (out >= 0) close(out);
    if (in >= 0) close(in);
    return false;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(kExecFailedCode);
  }
  close(out);
  close(in);
  if (pid < 0) return false;
  process_ = pid;
  id_ = static_cast<uint32_t>(pid);
  running_ = true;
  return true;
}

bool ChildProcess::Interrupt() {
  return running_ && kill(static_cast<pid_t>(process_), SIGINT) == 0;
}

int ChildProcess::Wait() {
  if (!running_) return kChildAbnormalExit;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(static_cast<pid_t>(process_), &status, 0);
  } while (r < 0 && errno == EINTR);
  running_ = false;
  if (r < 0 || !WIFEXITED(status)) return kChildAbnormalExit;
  return WEXITSTATUS(status);
}

std::filesystem::path CurrentExecutableDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

void SleepRealMs(int milliseconds) {
  timespec t{milliseconds / kMillisPerSecond, (milliseconds % kMillisPerSecond) * kNanosPerMilli};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

}  // namespace testsupport
