// Whole-file operations for POSIX through stdio. The log and debug-copy locations keep the
// product's fixed names under /tmp; the plug-in never creates their folder, and writes only
// into one that the user owns and no one else may write to, so both stay off unless the user
// makes /tmp/ovdbg, and another user who makes it receives nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/stdio_files.h"

namespace plat {
namespace {

constexpr mode_t kPrivateFileMode = S_IRUSR | S_IWUSR;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

// Opens `path` for writing (`flags` adds O_APPEND or O_TRUNC; `mode` is the matching stdio
// mode), creating it if needed. Its folder must be a real folder, not a link, owned by the
// user and writable by no one else; the folder is held open from that check to the file's
// creation, so it cannot be swapped in between. A link at the file name is not followed. The
// file ends mode 0600 whatever the umask, also when an older one was looser. Null on refusal.
FILE* OpenPrivate(const char* path, int flags, const char* mode) {
  if (!path) return nullptr;
  const char* slash = std::strrchr(path, '/');
  const std::string folder = !slash ? "." : slash == path ? "/" : std::string(path, slash);
  const char* name = slash ? slash + 1 : path;
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return nullptr;
  struct stat info {};
  int fd = -1;
  if (fstat(dir, &info) == 0 && info.st_uid == geteuid() && !(info.st_mode & kWritableByOthers)) {
    fd = openat(dir, name, flags | O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode);
  }
  close(dir);
  if (fd < 0) return nullptr;
  FILE* file = fchmod(fd, kPrivateFileMode) == 0 ? fdopen(fd, mode) : nullptr;
  if (!file) close(fd);
  return file;
}

}  // namespace

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
  return stdio_files::WritePieces(OpenPrivate(path, O_APPEND, "a"), pieces, count);
}

bool FileWriteBinary(const char* path, const void* data, size_t size) {
  return stdio_files::WriteBytes(OpenPrivate(path, O_TRUNC, "wb"), data, size);
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
