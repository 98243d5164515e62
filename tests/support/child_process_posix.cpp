// POSIX backend of the test support: environment variables, and the child process (posix_spawn
// with the output file as stdout and stderr, SIGINT for the interrupt, waitpid).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/sim_harness.h"

extern char** environ;

void brelon::test::SetEnv(const char* name, const char* value) {
  value ? setenv(name, value, 1) : unsetenv(name);
}

namespace testsupport {

constexpr mode_t kOutputMode = 0644;

ChildProcess::~ChildProcess() {
  if (running_) kill(static_cast<pid_t>(process_), SIGKILL);
  Wait();
}

bool ChildProcess::Spawn(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& outputFile) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, outputFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, kOutputMode);
  posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  const bool ok = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&files);
  process_ = pid;
  return ok;
}

bool ChildProcess::Interrupt() {
  return running_ && kill(static_cast<pid_t>(process_), SIGINT) == 0;
}

int ChildProcess::Wait() {
  if (!running_) return kChildAbnormalExit;
  int status = 0;
  const pid_t r = waitpid(static_cast<pid_t>(process_), &status, 0);
  running_ = false;
  return r < 0 || !WIFEXITED(status) ? kChildAbnormalExit : WEXITSTATUS(status);
}

}  // namespace testsupport
