// Whole-file operations for POSIX through stdio. The log and debug-copy locations keep the
// product's fixed names under /tmp; the plug-in never creates their folder, so both stay off
// unless a developer makes /tmp/ovdbg.
#include <sys/stat.h>

#include <cstdlib>
#include <list>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/stdio_files.h"

namespace plat {

// BRELON_LOG_DIR gives the log a folder of its own (tests use a scratch folder, so parallel runs
// never share a file). The log keeps the returned pointer and reads it from any thread, so each
// distinct path is kept for the life of the process.
const char* LogFilePath() {
  const char* dir = std::getenv("BRELON_LOG_DIR");
  if (!dir || dir[0] == '\0') return "/tmp/ovdbg/ov_plugin.log";
  static std::mutex mutex;
  static auto* paths = new std::list<std::string>();  // never freed: see above
  std::lock_guard<std::mutex> hold(mutex);
  std::string wanted = std::string(dir) + "/ov_plugin.log";
  for (const std::string& path : *paths) {
    if (path == wanted) return path.c_str();
  }
  return paths->emplace_back(std::move(wanted)).c_str();
}

const char* DebugImageCopyPath() {
  return "/tmp/ovdbg/raw.jpg";
}

bool FileDelete(const char* path) {
  return path && std::remove(path) == 0;
}

bool FileAppendText(const char* path, const char* const* pieces, size_t count) {
  return stdio_files::AppendText(path, "a", pieces, count);
}

bool FileWriteBinary(const char* path, const void* data, size_t size) {
  return stdio_files::WriteBinary(path, data, size);
}

int64_t FileSize(const char* path) {
  struct stat info {};
  if (!path || stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool FileReadAll(const char* path, void* out, size_t size) {
  return stdio_files::ReadAll(path, out, size);
}

}  // namespace plat
