// POSIX backend of the test-side child process: posix_spawn with the output file as stdout and
// stderr, SIGINT for the interrupt, waitpid for the exit code.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/child_process.h"

extern char** environ;

namespace testsupport {

constexpr mode_t kOutputMode = 0644;

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
  std::vector<std::string> argStrings{program.string()}, envStrings;
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  for (char** e = environ; e && *e; ++e) {  // the inherited entries that `env` does not replace
    const std::string entry = *e, name = entry.substr(0, entry.find('=') + 1);
    if (std::none_of(env.begin(), env.end(), [&](auto& x) { return x.rfind(name, 0) == 0; }))
      envStrings.push_back(entry);
  }
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  std::vector<char*> argv, envp;
  for (auto& a : argStrings) argv.push_back(a.data());
  for (auto& e : envStrings) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, outputFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, kOutputMode);
  posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  running_ = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data()) == 0;
  posix_spawn_file_actions_destroy(&files);
  process_ = pid;
  id_ = static_cast<uint32_t>(pid);
  return running_;
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
  return r < 0 || !WIFEXITED(status) ? kChildAbnormalExit : WEXITSTATUS(status);
}

}  // namespace testsupport
