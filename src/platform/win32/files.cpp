// Whole-file operations for Windows through the C runtime, which takes narrow paths in the
// ANSI code page. The log goes to the product's fixed location; the plug-in never creates its
// folder, so logging to file stays off unless a developer makes it.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace plat {

const char* LogFilePath() {
  return "c:\\ovdbg\\ov_plugin.log";
}

const char* DebugImageCopyPath() {
  return "/tmp/ovdbg/raw.jpg";
}

bool FileDelete(const char* path) {
  return path && DeleteFileA(path) != 0;
}

bool FileAppendText(const char* path, const char* const* pieces, size_t count) {
  if (!path) return false;
  FILE* file = std::fopen(path, "at");  // text mode: each "\n" lands as CR LF
  if (!file) return false;
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    if (pieces[i] && std::fputs(pieces[i], file) < 0) ok = false;
  }
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

bool FileWriteBinary(const char* path, const void* data, size_t size) {
  if (!path) return false;
  FILE* file = std::fopen(path, "w+b");
  if (!file) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

int64_t FileSize(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!path || !GetFileAttributesExA(path, GetFileExInfoStandard, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return -1;
  }
  return (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

bool FileReadAll(const char* path, void* out, size_t size) {
  if (!path) return false;
  FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  bool ok = size == 0 || std::fread(out, 1, size, file) == size;
  std::fclose(file);
  return ok;
}

}  // namespace plat
