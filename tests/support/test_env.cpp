// Environment and scratch-folder helpers for tests; the only test code that meets the OS
// directly, so that suites stay portable between Linux and Windows builds.
#include "support/test_env.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace brelon::test {

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
  static std::atomic<int> counter{0};
  // Drawn once per process: test processes that ctest runs side by side must not share (and
  // then delete) each other's folders, which an unseeded std::rand() would make them do.
  static const unsigned processTag = std::random_device{}();
  namespace fs = std::filesystem;
  fs::path dir =
      fs::temp_directory_path() /
      ("brelon-test-" + tag + "-" + std::to_string(counter++) + "-" + std::to_string(processTag));
  fs::remove_all(dir);
  fs::create_directories(dir);
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
