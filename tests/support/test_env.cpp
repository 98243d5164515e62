// Environment and scratch-folder helpers for tests; the only test code that meets the OS
// directly, so that suites stay portable between Linux and Windows builds.
#include "support/test_env.h"

#include <cstdlib>
#include <filesystem>
#include <atomic>

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
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() /
                 ("brelon-test-" + tag + "-" + std::to_string(counter++) + "-" +
                  std::to_string(std::rand()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

std::string CorpusDir() { return BRELON_TEST_CORPUS_DIR; }
std::string DataDir() { return BRELON_TEST_DATA_DIR; }

}  // namespace brelon::test
