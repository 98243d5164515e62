// Environment, scratch-folder and executable-folder helpers for tests; with the child-process
// backends the only test code that meets the OS directly, so that suites stay portable.
#include "support/test_env.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "platform/platform.h"
#include "support/child_process.h"
#include "support/connected_context.h"

#if defined(_WIN32)
#include <process.h>  // getpid
#else
#include <unistd.h>
#endif

namespace brelon::test {
namespace {

// Every scratch folder goes at the process's exit, also after a failed or aborted test; a
// child that a death test forks leaves them to the process that made them.
class Scratch {
 public:
  void Add(const std::filesystem::path& dir) {
    plat::LockGuard guard(lock_);
    dirs_.push_back(dir);
  }
  ~Scratch() {
    std::error_code ignored;
    for (const auto& dir : dirs_) {
      if (getpid() == owner_) std::filesystem::remove_all(dir, ignored);
    }
  }

 private:
  const int owner_ = getpid();
  plat::Lock* lock_ = plat::LockCreate();  // kept: other statics may still make folders
  std::vector<std::filesystem::path> dirs_;
};

}  // namespace

void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value ? value : "");
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

std::string TempDir(const std::string& tag) {
  static Scratch scratch;
  static std::atomic<int> counter{0};
  // Drawn once per process: test processes that ctest runs side by side must not share (and
  // then delete) each other's folders.
  static const unsigned processTag = std::random_device{}();
  namespace fs = std::filesystem;
  fs::path dir =
      fs::temp_directory_path() /
      ("brelon-test-" + tag + "-" + std::to_string(counter++) + "-" + std::to_string(processTag));
  fs::remove_all(dir);
  fs::create_directories(dir);
  scratch.Add(dir);
  // Private whatever the umask: the plug-in writes its log only into such a folder.
  fs::permissions(dir, fs::perms::owner_all);
  return dir.string();
}

std::string CorpusDir() {
  return BRELON_TEST_CORPUS_DIR;
}
std::string DataDir() {
  return BRELON_TEST_DATA_DIR;
}

}  // namespace brelon::test

namespace testsupport {

std::filesystem::path CurrentExecutableDir() {
  char16_t path[4096];
  if (!plat::ExecutablePath(path, std::size(path))) return std::filesystem::current_path();
  return std::filesystem::path(std::u16string(path)).parent_path();
}

void SleepRealMs(int milliseconds) {
  brelon::test::RealSleepMs(static_cast<uint32_t>(milliseconds));
}

}  // namespace testsupport
