// Whole-file operations for Windows through the C runtime, which takes narrow paths in the
// ANSI code page. The log goes to the product's fixed location; the plug-in never creates its
// folder, so logging to file stays off unless a developer makes it.
#include <windows.h>

#include "platform/platform.h"
#include "platform/stdio_files.h"

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
  // Text mode: each "\n" lands as CR LF.
  return stdio_files::WritePieces(path ? std::fopen(path, "at") : nullptr, pieces, count);
}

bool FileWriteBinary(const char* path, const void* data, size_t size) {
  return stdio_files::WriteBytes(path ? std::fopen(path, "w+b") : nullptr, data, size);
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
  return stdio_files::ReadAll(path, out, size);
}

}  // namespace plat
